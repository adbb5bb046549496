// lumox list: the cameras attached, with their speed, serial and product. Each camera is opened
// at the transport level only, so listing starts no driver and fetches no calibration.
// lumox list --watch: the cameras plugged in and pulled out, as they come and go.

#include <cstdio>
#include <string>

#include "capture_loop.h"
#include "command.h"
#include "param_format.h"
#include "probe.h"
#include "session.h"

namespace lumox_cli {

namespace {

std::string text_param(TransportProbe &probe, uint8_t id) {
    const auto value = probe.param(id);
    if (!value || value->empty()) return "-";
    return record_field(reinterpret_cast<const char *>(value->data()), value->size());
}

// One line per camera arriving or leaving, the cameras attached first, until Ctrl-C.
int watch() {
    const int32_t handle = lumox_hotplug_register(nullptr, nullptr, LUMOX_HOTPLUG_ENUMERATE);
    if (handle == LUMOX_HOTPLUG_UNSUPPORTED)
        return fail("this system's USB stack cannot report cameras plugged in or pulled out");
    if (handle < 0) return fail("cannot watch the USB bus");
    const StopOnSignal interrupt;
    std::printf("%-8s %-9s %-5s %-7s %s\n", "EVENT", "BUS:PORT", "ADDR", "SPEED", "SERIAL");
    std::fflush(stdout);
    constexpr uint32_t kPollMs = 100;
    lumox_hotplug_event events[16];
    while (!StopOnSignal::requested()) {
        const int32_t n = lumox_hotplug_poll(handle, events, 16, kPollMs);
        if (n < 0) break;
        for (int32_t i = 0; i < n; ++i) {
            const lumox_hotplug_event &e = events[i];
            if (e.lost) std::printf("(%u events lost)\n", e.lost);
            std::printf("%-8s %3u:%-5u %-5u %-7s %s\n",
                        e.kind == LUMOX_HOTPLUG_ARRIVED ? "arrived" : "left", e.bus, e.port, e.addr,
                        speed_word(e.speed), e.serial[0] ? e.serial : "-");
        }
        if (n > 0) std::fflush(stdout);
    }
    lumox_hotplug_deregister(handle);
    return kExitOk;
}

}  // namespace

int cmd_list(const Args &args) {
    Session session(args);
    if (args.has("--watch")) return watch();
    const std::vector<lumox_ll_dev> cameras = transport_list();
    if (cameras.empty()) {
        std::printf("no camera found\n");
        return kExitOk;
    }
    std::printf("%-9s %-5s %-7s %-16s %s\n", "BUS:PORT", "ADDR", "SPEED", "SERIAL", "PRODUCT");
    for (const lumox_ll_dev &d : cameras) {
        TransportProbe probe(d);
        const std::string serial = probe.is_open() ? text_param(probe, LUMOX_PARAM_ID2) : "-";
        const std::string product =
            probe.is_open() ? text_param(probe, LUMOX_PARAM_PRODUCT) : "(cannot open: in use?)";
        std::printf("%3u:%-5u %-5u %-7s %-16s %s\n", d.bus, d.port, d.addr, speed_word(d.speed),
                    serial.c_str(), product.c_str());
    }
    return kExitOk;
}

}  // namespace lumox_cli
