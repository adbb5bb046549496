// The library's handling of the camera's replies on the command channel, through the real libusb
// and the whole USB transport: a virtual camera on an emulated bus answers, and the input decides
// how its replies go wrong (status records with any status, command and text; parameter,
// register and data-information replies with any bytes and length; busy and failing statuses;
// stalls and short replies) and which calls meet them.
//
// The input is a list of 16-byte steps: the first byte picks what the step does (a fault of one
// reply kind, or a call that meets the faults set so far), the other fifteen are its arguments.
// A mutation of a step changes that step only, and every reply kind and call is one byte away
// from any input; run with -len_control=0 so that inputs of many steps are tried from the start.
//
// Checked besides the sanitizers: a call that fails leaves the caller's parameter records as they
// were. The target re-executes itself under the umockdev preload library on start.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/device_state.h"
#include "fuzz_util.h"
#include "lumox/device.h"
#include "lumox/firmware.h"
#include "lumox/transport.h"
#include "testing/hooks.h"
#include "vcam/usb/bus.h"

namespace {

std::unique_ptr<lumox::vcam::VirtualBus> g_bus;
lumox_dev_t g_dev{};

// Opens the camera, faults cleared. The target's command time-outs are short, so one opening can
// miss them on a busy host; a camera that stays shut through several tries is a finding.
void open_camera() {
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::memset(&g_dev, 0, sizeof g_dev);
        if (lumox_dev_open(&g_dev)) return;
        g_bus->camera(0).clear_faults();
    }
    std::fprintf(stderr, "the virtual camera does not open\n");
    std::abort();
}

constexpr int kTypes[] = {-1, 0xB0, 0xC0, 0xC2, 0xCC};

int pick_type(FuzzedDataProvider &in) {
    return kTypes[in.ConsumeIntegralInRange<size_t>(0, std::size(kTypes) - 1)];
}

// An edit of one reply: bytes overwritten at chosen offsets, then a new length.
std::function<void(std::vector<uint8_t> &)> make_edit(FuzzedDataProvider &in) {
    struct Poke {
        uint8_t offset;
        uint8_t value;
    };
    std::vector<Poke> pokes(in.ConsumeIntegralInRange<size_t>(0, 6));
    for (Poke &p : pokes) {
        p.offset = in.ConsumeIntegralInRange<uint8_t>(0, 70);
        p.value = in.ConsumeIntegral<uint8_t>();
    }
    const int resize = in.ConsumeIntegralInRange<int>(-1, 80);
    return [pokes, resize](std::vector<uint8_t> &reply) {
        for (const Poke &p : pokes) {
            if (p.offset < reply.size()) reply[p.offset] = p.value;
        }
        if (resize >= 0) reply.resize(static_cast<size_t>(resize), 0xA5);
    };
}

void check(bool cond, const char *what) {
    if (!cond) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    if (!lumox::vcam::reexec_under_preload(*argc, *argv)) {
        std::fprintf(stderr, "cannot run under the umockdev preload library\n");
        std::exit(1);
    }
    // Commands that never complete are cancelled and abandoned quickly; no prescribed sleep waits.
    lumox::ll::UsbTimeouts t = lumox::ll::usb_timeouts();
    t.cmd_cancel_ms = 20;
    t.cmd_abandon_ms = 60;
    t.reopen_interval_ms = 1;
    t.cmd_busy_ms = 50;
    lumox::ll::set_usb_timeouts(t);
    lumox::platform::set_sleep_hook([](uint32_t) {});
    lumox_path_cfg(lumox::fuzz::scratch_dir().c_str());
    g_bus = std::make_unique<lumox::vcam::VirtualBus>();
    lumox_init((lumox::fuzz::scratch_dir() + "fuzz.log").c_str());
    lumox::fuzz::route_logs_to_null();
    open_camera();
    return 0;
}

constexpr size_t kStepBytes = 16;
constexpr int kSteps = 13;
// Every call is a round trip through the emulated bus: a few per input keep the target fast, and
// the faults set before them still reach every call of the list.
constexpr int kCallsPerInput = 4;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using lumox::vcam::Camera;
    Camera &cam = g_bus->camera(0);
    int calls = 0;
    for (size_t at = 0; at < size && calls < kCallsPerInput; at += kStepBytes) {
        const size_t step_size = std::min(kStepBytes, size - at);
        const int step = data[at] % kSteps;
        FuzzedDataProvider in(data + at + 1, step_size - 1);
        switch (step) {
            case 0:
            case 1: {
                const int type = pick_type(in);
                cam.fault_edit_reply(make_edit(in), type, -1);
                break;
            }
            case 2:
                cam.fault_status_busy(in.ConsumeIntegralInRange<unsigned>(1, 3));
                break;
            case 3:
                cam.fault_fail_next(in.ConsumeRandomLengthString(80), pick_type(in), -1);
                break;
            case 4:
                cam.fault_status_names(in.ConsumeIntegral<uint8_t>(),
                                       in.ConsumeIntegral<uint8_t>());
                break;
            case 5:
                if (in.ConsumeBool()) {
                    cam.fault_short_reply(in.ConsumeIntegralInRange<uint16_t>(1, 70),
                                          pick_type(in));
                } else {
                    cam.fault_control_stall(pick_type(in));
                }
                break;
            case 6: {
                ++calls;
                std::vector<lumox_param_item> items(in.ConsumeIntegralInRange<size_t>(1, 7));
                for (auto &item : items) {
                    item.param_id = in.ConsumeIntegralInRange<uint32_t>(0, 20);
                    item.param_val_len = in.ConsumeIntegral<uint8_t>();
                    std::memset(item.param_val, 0x3C, sizeof item.param_val);
                }
                const std::vector<lumox_param_item> before = items;
                const uint32_t count = static_cast<uint32_t>(items.size());
                if (!lumox_param_batch_get(&g_dev, items.data(), count)) {
                    check(std::memcmp(before.data(), items.data(),
                                      items.size() * sizeof(lumox_param_item)) == 0,
                          "a failed parameter get left the records as they were");
                }
                break;
            }
            case 7: {
                ++calls;
                std::vector<uint32_t> values(in.ConsumeIntegralInRange<size_t>(0, 20));
                lumox_reg_batch_read(&g_dev, in.ConsumeIntegralInRange<uint8_t>(0, 2),
                                     in.ConsumeIntegralInRange<uint32_t>(0, 300), values.data(),
                                     static_cast<uint16_t>(values.size()));
                break;
            }
            case 8: {
                ++calls;
                lumox_param_item item{};
                item.param_id = in.ConsumeIntegralInRange<uint32_t>(10, 13);
                item.param_val_len = 4;
                item.param_val[0] = in.ConsumeIntegralInRange<uint8_t>(1, 60);
                lumox_param_batch_set(&g_dev, &item, 1);
                break;
            }
            case 9: {
                ++calls;
                const uint32_t value = in.ConsumeIntegral<uint8_t>();
                lumox_reg_batch_write(&g_dev, 1, in.ConsumeIntegralInRange<uint32_t>(0, 255),
                                      &value, 1);
                break;
            }
            case 10: {
                ++calls;
                al_data_info info{};
                info.type = in.ConsumeIntegralInRange<uint8_t>(0, 4);
                al_get_data_info(&g_dev.state->ll, AL_ACTION_DATA_INFO, &info, sizeof info);
                break;
            }
            case 11: {
                ++calls;
                const std::string path = lumox::fuzz::scratch_dir() + "upload.bin";
                lumox_bin_data_read(&g_dev.state->ll, in.ConsumeIntegralInRange<uint8_t>(0, 4),
                                    path.c_str());
                std::remove(path.c_str());
                break;
            }
            case 12:
                // Opening reads the identity parameters (strings and byte fields) and runs the
                // driver's set-up: every reply of it may be edited as well.
                if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
                    ++calls;
                    lumox_dev_close(&g_dev);
                    if (!lumox_dev_open(&g_dev)) {
                        cam.clear_faults();
                        open_camera();
                    }
                }
                break;
        }
    }
    cam.clear_faults();
    // A command left hanging by a fault has been abandoned; make sure the camera still answers.
    if (!lumox_dev_get_drv(&g_dev)) open_camera();
    return 0;
}
