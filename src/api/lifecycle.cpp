// Library start and end, library-wide configuration, and the device lifecycle: list, open,
// reset, close. Opening binds the transport connection, the camera's identity, the sensor driver
// and the capture machinery (stream parser, mutex, condition variable) to the device record.

#include "api/lifecycle.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "api/device_state.h"
#include "api/hotplug.h"
#include "api/params.h"
#include "lumox/device.h"
#include "lumox/driver.h"
#include "lumox/log.h"
#include "platform/clock.h"
#include "testing/hooks.h"

namespace lumox::api {
namespace {

// Fixed build stamp shown in the start banner, so that builds are reproducible.
constexpr const char *kBuildDate = "Dec 08 2026";
constexpr const char *kBuildTime = "00:00:00";

constexpr uint32_t kStreamFrames = 10;
constexpr uint32_t kCloseWaitStepMs = 100;
constexpr int kCloseWaitSteps = 30;

lx_cmap g_cmap{};
lumox_dev_t g_default_dev{};
std::atomic<const lumox_ll_op *> g_test_ops{nullptr};
// The open device bound to the EPC driver. Its lens record, its evaluation-kit binding and its
// calibration tables are process-wide, so a second EPC camera cannot be opened beside it.
std::atomic<lumox_dev_t *> g_epc_dev{nullptr};

// Offset and size of the transport location (if_type .. reserved) in both records.
constexpr size_t kLocationSize = 44;
static_assert(offsetof(lumox_ll_dev, reserved) + sizeof(lumox_ll_dev::reserved) -
                  offsetof(lumox_ll_dev, if_type) ==
              kLocationSize);
static_assert(offsetof(lumox_dev_t, reserved) + sizeof(lumox_dev_t::reserved) -
                  offsetof(lumox_dev_t, if_type) ==
              kLocationSize);
static_assert(offsetof(lumox_dev_t, state) == 0);
static_assert(offsetof(lumox_dev_t, product) == offsetof(lumox_dev_t, if_type) + kLocationSize);

void copy_location(lumox_ll_dev &to, const lumox_dev_t &from) {
    std::memcpy(&to.if_type, &from.if_type, kLocationSize);
    to.location_valid = from.location_valid;
}

void copy_location(lumox_dev_t &to, const lumox_ll_dev &from) {
    std::memcpy(&to.if_type, &from.if_type, kLocationSize);
    to.location_valid = from.location_valid;
}

// Copies a parameter value into a fixed field: at most the reported length, the value area and
// the field; the rest of the field is zero.
void store_param(void *field, size_t field_size, const lumox_param_item &item) {
    std::memset(field, 0, field_size);
    const size_t n =
        std::min({static_cast<size_t>(item.param_val_len), field_size, sizeof item.param_val});
    std::memcpy(field, item.param_val, n);
}

// Releases the state after a failed open, and the record when it asks for that.
lumox_dev_t *fail_open(lumox_dev_t *dev) {
    dev->state->open.store(0);
    delete dev->state;
    dev->state = nullptr;
    if (dev->release) std::free(dev);
    return nullptr;
}

lumox_dev_state *new_state(const lumox_dev_t &dev) {
    auto *state = new (std::nothrow) lumox_dev_state();
    if (!state) return nullptr;
    copy_location(state->ll, dev);
    state->ll.ops = g_test_ops.load();
    return state;
}

// Creates the capture signal and the stream. These failures leave the library unable to keep
// its promises about the device, so they end the process.
void create_capture_objects(lumox_dev_state &state) {
    state.cond.reset(new (std::nothrow) std::condition_variable());
    if (!state.cond) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] pthread_cond_init failed\n", "lumox_dev_open");
        std::exit(-1);
    }
    state.mutex.reset(new (std::nothrow) std::mutex());
    if (!state.mutex) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] pthread_mutex_init failed\n", "lumox_dev_open");
        state.cond.reset();
        std::exit(-1);
    }
    const lx_stream_cfg cfg{kStreamFrames};
    state.stream.reset(lx_stream_create(&cfg));
    if (!state.stream) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] lx_stream_create failed\n", "lumox_dev_open");
        std::exit(-1);
    }
}

// Guards the step from a record to its state: a call's entry (state present and open, then a
// reference taken) against the close's clearing of the open flag and the release's clearing
// of the record's state pointer.
std::mutex g_state_lock;
// The records opened and not yet closed, so that lumox_uninit can stop their captures. Guarded
// by g_state_lock.
std::vector<lumox_dev_t *> g_open_devices;

void forget_open_device(lumox_dev_t *dev) { std::erase(g_open_devices, dev); }

// The end of a close, run by whoever drops the last reference on the state: closes the
// transport (no call runs on it any more), then releases the state and, when it asks for that,
// the record.
void release_state(lumox_dev_t *dev) {
    lumox_dev_state &state = *dev->state;
    lumox_ll_dev_close(&state.ll);
    state.cond.reset();
    state.mutex.reset();
    if (state.drv && state.drv->ops->uninit) state.drv->ops->uninit(state.drv);
    state.stream.reset();
    lumox_dev_t *self = dev;
    g_epc_dev.compare_exchange_strong(self, nullptr);
    lumox_dev_state *old = nullptr;
    {
        std::lock_guard lock(g_state_lock);
        forget_open_device(dev);
        old = dev->state;
        dev->state = nullptr;
    }
    delete old;
    if (dev->release) std::free(dev);
}

}  // namespace

lx_cmap &library_cmap() { return g_cmap; }

void set_transport_for_tests(const lumox_ll_op *ops) { g_test_ops.store(ops); }

const lumox_ll_op *test_transport() { return g_test_ops.load(); }

bool check_open(const lumox_dev_t *dev, const char *func) {
    if (is_open(dev)) return true;
    lx_log(LX_LOG_ERR, "ERR", kNullDevice, func);
    return false;
}

bool enter_call(lumox_dev_t *dev) {
    if (!dev) return false;
    std::lock_guard lock(g_state_lock);
    lumox_dev_state *state = dev->state;
    if (!state || !state->open.load()) return false;
    state->refs.fetch_add(1);
    return true;
}

void leave_call(lumox_dev_t *dev) {
    if (dev->state->refs.fetch_sub(1) == 1) release_state(dev);
}

}  // namespace lumox::api

using namespace lumox::api;

extern "C" {

LUMOX_API void lumox_log_cfg(uint32_t console_level, uint32_t file_level,
                             uint32_t usb_level) noexcept {
    lx_log_enable(LX_LOG_OUT_CONSOLE, console_level, nullptr);
    lx_log_enable(LX_LOG_OUT_FILE, file_level, nullptr);
    lumox_ll_set_debug(usb_level);
}

LUMOX_API void lumox_init(const char *log_name) noexcept {
    lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_WRN, nullptr);
    lumox_path_cfg(".\\");
    char name[64];
    if (!log_name) {
        const auto now = lumox::platform::local_time_now();
        std::snprintf(name, sizeof name, "lumox_%04u%02u%02u.log", now.year, now.month, now.day);
        log_name = name;
    }
    lx_log_enable(LX_LOG_OUT_FILE, LX_LOG_DBG, log_name);
    lx_log(LX_LOG_INF, "INF", "[%s]  --- %s %s(compile at %s %s) log start -----\n", "lumox_init",
           "LUMOX", LUMOX_VERSION, kBuildDate, kBuildTime);
    lumox_ll_init();
    if (!library_cmap().palette) lx_cmap_init(&library_cmap(), 30000);
}

LUMOX_API void lumox_uninit(void) noexcept {
    lx_log(LX_LOG_DBG, "DBG", "[%s] ----- AL log END ----\n\n", "lumox_uninit");
    // A device left open stays usable until it is closed, but its capture ends here: the
    // transport's event thread that feeds it is going.
    std::vector<lumox_dev_t *> open_devices;
    {
        std::lock_guard lock(g_state_lock);
        for (lumox_dev_t *dev : g_open_devices) {
            if (!dev->state || !dev->state->open.load()) continue;
            dev->state->refs.fetch_add(1);
            open_devices.push_back(dev);
        }
    }
    for (lumox_dev_t *dev : open_devices) {
        if (dev->state->capturing.load()) {
            lx_log(LX_LOG_WRN, "WRN", "[%s] device @ %p still capturing: capture stopped\n",
                   "lumox_uninit", static_cast<void *>(dev));
            lumox_cap_stop(dev);
        }
        leave_call(dev);
    }
    hotplug_shutdown();
    lx_cmap_uninit(&library_cmap());
    lx_log_disable();
    lumox_ll_uninit();
}

LUMOX_API int32_t lumox_dev_list(lumox_dev_t *list, int32_t count) noexcept {
    if (!list || count <= 0) {
        lx_log(LX_LOG_ERR, "ERR", "[%s]   wrong params: dev_list=%p, dev_list_num=%d \n",
               "lumox_dev_list", static_cast<void *>(list), count);
        return 0;
    }
    std::memset(list, 0, sizeof(lumox_dev_t) * static_cast<size_t>(count));
    std::unique_ptr<lumox_ll_dev[]> found(new (std::nothrow) lumox_ll_dev[count]());
    if (!found) return 0;
    const lumox_ll_op *test_ops = g_test_ops.load();
    int32_t n =
        test_ops ? test_ops->dev_list(found.get(), count) : lumox_ll_dev_list(found.get(), count);
    n = std::clamp(n, 0, count);
    for (int32_t i = 0; i < n; ++i) copy_location(list[i], found[i]);
    return n;
}

LUMOX_API lumox_dev_t *lumox_dev_open(lumox_dev_t *dev) noexcept {
    if (!dev) {
        if (g_default_dev.state) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] default device may not close properly!",
                   "lumox_dev_open");
            return nullptr;
        }
        g_default_dev = lumox_dev_t{};
        dev = &g_default_dev;
    }
    if (dev->state && dev->state->close_pending.load()) {
        lx_log(LX_LOG_ERR, "ERR",
               "[%s] device is closing (a call on it, or the callback that closed it, has not "
               "returned)\n",
               "lumox_dev_open");
        return nullptr;
    }
    if (dev->state && dev->state->open.load()) {
        lx_log(LX_LOG_WRN, "WRN", "[%s] device not close correctly. close it..\n",
               "lumox_dev_open");
        const uint8_t release = dev->release;
        dev->release = 0;  // the record itself is reopened, not released
        lumox_dev_close(dev);
        dev->release = release;
        if (dev->state) {
            lx_log(LX_LOG_ERR, "ERR",
                   "[%s] device is closing (a call on it, or the callback that closed it, has not "
                   "returned)\n",
                   "lumox_dev_open");
            return nullptr;
        }
    }
    if (!dev->state) {
        dev->state = new_state(*dev);
        if (!dev->state) {
            if (dev->release) std::free(dev);
            return nullptr;
        }
    }
    lumox_dev_state &state = *dev->state;
    lx_log(LX_LOG_DBG, "DBG", "[%s] open lumox device @ %p\n", "lumox_dev_open",
           static_cast<void *>(dev));

    if (!lumox_ll_dev_open(&state.ll)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] open device failed!\n", "lumox_dev_open");
        return fail_open(dev);
    }
    copy_location(*dev, state.ll);
    dev->calib_path = lumox_path_get();
    state.refs.store(1);  // the open device's own reference, dropped by lumox_dev_close
    state.open.store(1);

    lumox_param_item identity[4] = {};
    identity[0].param_id = LUMOX_PARAM_ID2;
    identity[1].param_id = LUMOX_PARAM_PRODUCT;
    identity[2].param_id = LUMOX_PARAM_ID5;
    identity[3].param_id = LUMOX_PARAM_ID6;
    if (!param_get(&state.ll, identity, 4)) {
        lx_log(LX_LOG_WRN, "WRN", "[%s]  cannot get info of device\n", "lumox_dev_open");
        lumox_ll_dev_close(&state.ll);
        return fail_open(dev);
    }
    store_param(dev->id2, sizeof dev->id2, identity[0]);
    store_param(dev->product, sizeof dev->product, identity[1]);
    store_param(dev->id5_data, sizeof dev->id5_data, identity[2]);
    store_param(dev->id6_data, sizeof dev->id6_data, identity[3]);

    state.drv = lumox_drv_find(dev);
    if (!state.drv) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] cannot find driver for device: product=%.32s\n",
               "lumox_dev_open", dev->product);
        lumox_ll_dev_close(&state.ll);
        return fail_open(dev);
    }

    if (state.drv->ops == &g_lumox_driver_op_epc) {
        lumox_dev_t *none = nullptr;
        if (!g_epc_dev.compare_exchange_strong(none, dev)) {
            lx_log(LX_LOG_ERR, "ERR",
                   "[%s] an EPC camera is already open in this process (the EPC driver serves one "
                   "at a time): close it first\n",
                   "lumox_dev_open");
            state.drv = nullptr;
            lumox_ll_dev_close(&state.ll);
            return fail_open(dev);
        }
    }

    create_capture_objects(state);
    set_busy(dev, false);
    state.capturing.store(0);
    state.stop.store(1);

    state.drv->ops->init(state.drv, dev);
    if (state.drv->ops->calib_load(state.drv, 0, 0, 2) < 0) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] Load calibration data failed\n", "lumox_dev_open");
    }
    {
        std::lock_guard lock(g_state_lock);
        g_open_devices.push_back(dev);
    }
    return dev;
}

LUMOX_API lumox_dev_t *lumox_dev_open_by_fd(int fd) noexcept {
    (void)fd;
    lx_log(LX_LOG_ERR, "ERR", "[%s] lumox_dev_open_by_fd currently only support in android!\n",
           "lumox_dev_open_by_fd");
    return nullptr;
}

LUMOX_API void lumox_dev_close(lumox_dev_t *dev) noexcept {
    lx_log(LX_LOG_DBG, "DBG", "[%s] close lumox device @ %p\n", "lumox_dev_close",
           static_cast<void *>(dev));
    if (!dev || !dev->state) return;
    lumox_dev_state &state = *dev->state;
    // One close per open: a second one (from a callback, or racing in from another thread)
    // leaves it to the first.
    if (state.close_pending.exchange(1)) return;
    const bool from_callback = polls_here(state);
    if (from_callback) {
        // The polling call that runs the callback still uses the state: the close completes
        // when that call returns.
        lx_log(LX_LOG_DBG, "DBG",
               "[%s] close from a capture callback: completed when the polling call returns\n",
               "lumox_dev_close");
    }
    if (state.capturing.load() && !lumox_cap_stop(dev)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] stop capture failed!\n", "lumox_dev_close");
    }
    {
        // From here no call enters; the ones inside hold references.
        std::lock_guard lock(g_state_lock);
        state.open.store(0);
        forget_open_device(dev);
    }
    // The transport stays open until the calls inside have left (a call running a command
    // would otherwise meet a released transport), and the busy flag is down. They are given
    // 3 s; a call still inside after that completes the close when it returns.
    if (!from_callback) {
        int steps = 0;
        while (state.refs.load() > 1 || is_busy(dev)) {
            if (steps == kCloseWaitSteps) {
                lx_log(LX_LOG_WRN, "WRN", "[%s]  api wait timeout\n", "lumox_dev_close");
                break;
            }
            lumox::platform::sleep_ms(kCloseWaitStepMs);
            ++steps;
        }
    }
    leave_call(dev);
}

LUMOX_API lumox_drv *lumox_dev_get_drv(lumox_dev_t *dev) noexcept {
    if (!check_open(dev, "lumox_dev_get_drv")) return nullptr;
    return dev->state->drv;
}

LUMOX_API uint8_t lumox_dev_reset(lumox_dev_t *dev, uint32_t target) noexcept {
    lx_log(LX_LOG_DBG, "DBG", "[%s] rest device (target=%d)\n", "lumox_dev_reset",
           static_cast<int>(target));
    if (!check_open(dev, "lumox_dev_reset")) return 0;
    if (target > 8) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] wrong reset target: %d\n", "lumox_dev_reset",
               static_cast<int>(target));
        return 0;
    }
    // A reset ends the camera's stream: the capture is stopped first, so that it does not read
    // as running with no frame ever coming.
    if (dev->state->capturing.load()) {
        lx_log(LX_LOG_WRN, "WRN", "[%s] capture stopped for the reset\n", "lumox_dev_reset");
        lumox_cap_stop(dev);
    }
    BusyMark busy(dev);
    if (!busy) return 0;  // closed meanwhile
    return lumox_ll_dev_reset(&dev->state->ll, static_cast<uint8_t>(target));
}

}  // extern "C"
