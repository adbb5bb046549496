// Transport dispatch: the lumox_ll_* calls that narrow their arguments to the widths of the wire
// and route them to a slot of the device's operation table. They keep no state and take no lock.

#include "lumox/transport.h"

#include "lumox/log.h"

namespace {

// Register counts travel as 16 bits; a larger count is refused rather than cut to its low bits,
// which would report success for a transfer of the wrong number of registers.
constexpr uint32_t kMaxRegCount = 0xFFFF;

// The transports the library carries, each an operation table: the library-wide slots (init,
// uninit, debug level, listing) run over all of them, a record's slots over its own.
const lumox_ll_op *const kTransports[] = {&ll_op_usb};

// The table a record uses: its own once listed or opened, otherwise the first transport's.
const lumox_ll_op *ops_of(const lumox_ll_dev *dev) { return dev->ops ? dev->ops : kTransports[0]; }

}  // namespace

extern "C" {

LUMOX_API uint8_t lumox_ll_init(void) noexcept {
    uint8_t ok = 1;
    for (int i = 0; const lumox_ll_op *transport : kTransports) {
        if (!transport->init()) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] ll_init failed: ll[%d]\n", "lumox_ll_init", i);
            ok = 0;
        }
        ++i;
    }
    return ok;
}

LUMOX_API void lumox_ll_uninit(void) noexcept {
    for (const lumox_ll_op *transport : kTransports) transport->uninit();
}

LUMOX_API void lumox_ll_set_debug(uint32_t level) noexcept {
    for (const lumox_ll_op *transport : kTransports) transport->set_debug(level);
}

LUMOX_API int32_t lumox_ll_dev_list(lumox_ll_dev *devs, int32_t max) noexcept {
    int32_t found = 0;
    for (const lumox_ll_op *transport : kTransports) {
        if (found >= max) break;
        const int32_t n = transport->dev_list(devs + found, max - found);
        if (n < 0) return found > 0 ? found : n;  // a transport's failure, when none listed any
        found += n;
    }
    return found;
}

LUMOX_API lumox_ll_dev *lumox_ll_dev_open(lumox_ll_dev *dev) noexcept {
    if (!dev) return nullptr;
    return ops_of(dev)->dev_open(dev);
}

LUMOX_API lumox_ll_dev *lumox_ll_dev_open_by_fd(lumox_ll_dev *dev) noexcept {
    if (!dev) return nullptr;
    return ops_of(dev)->dev_open_by_fd(dev);
}

LUMOX_API void lumox_ll_dev_close(lumox_ll_dev *dev) noexcept {
    if (!dev) return;
    ops_of(dev)->dev_close(dev);
}

LUMOX_API uint8_t lumox_ll_dev_reset(lumox_ll_dev *dev, uint32_t target) noexcept {
    if (!dev) return 0;
    return ops_of(dev)->dev_reset(dev, static_cast<uint8_t>(target));
}

LUMOX_API uint8_t lumox_ll_exe_cmd(lumox_ll_dev *dev, uint32_t dir, uint32_t type, uint32_t value,
                                   void *buf, uint32_t len, uint32_t timeout_ms) noexcept {
    if (!dev) return 0;
    return ops_of(dev)->exe_cmd(dev, static_cast<uint8_t>(dir), static_cast<uint8_t>(type),
                                static_cast<uint16_t>(value), buf, len, timeout_ms);
}

LUMOX_API uint8_t lumox_ll_check_last_cmd(lumox_ll_dev *dev, uint32_t type,
                                          uint32_t value) noexcept {
    if (!dev) return 0;
    return ops_of(dev)->check_last_cmd(dev, static_cast<uint8_t>(type),
                                       static_cast<uint8_t>(value));
}

LUMOX_API uint8_t lumox_ll_cap_start(lumox_ll_dev *dev, uint32_t arg, lumox_ll_cap_cb cb,
                                     void *user) noexcept {
    if (!dev) return 0;
    return ops_of(dev)->cap_start(dev, arg, cb, user);
}

LUMOX_API uint8_t lumox_ll_cap_stop(lumox_ll_dev *dev) noexcept {
    if (!dev) return 0;
    return ops_of(dev)->cap_stop(dev);
}

LUMOX_API void lumox_ll_cap_abort(lumox_ll_dev *dev) noexcept {
    if (!dev) return;
    ops_of(dev)->cap_abort(dev);
}

LUMOX_API uint8_t lumox_ll_reg_write(lumox_ll_dev *dev, uint32_t target, uint32_t reg_base,
                                     const uint32_t *values, uint32_t count) noexcept {
    if (!dev || count > kMaxRegCount) return 0;
    return ops_of(dev)->reg_write(dev, static_cast<uint8_t>(target), reg_base, values,
                                  static_cast<uint16_t>(count));
}

LUMOX_API uint8_t lumox_ll_reg_read(lumox_ll_dev *dev, uint32_t target, uint32_t reg_base,
                                    uint32_t *values, uint32_t count) noexcept {
    if (!dev || count > kMaxRegCount) return 0;
    return ops_of(dev)->reg_read(dev, static_cast<uint8_t>(target), reg_base, values,
                                 static_cast<uint16_t>(count));
}

LUMOX_API uint8_t lumox_ll_param_set(lumox_ll_dev *dev, void *records, uint32_t count) noexcept {
    if (!dev) return 0;
    return ops_of(dev)->param_set(dev, records, count);
}

LUMOX_API uint8_t lumox_ll_param_get(lumox_ll_dev *dev, void *records, uint32_t count) noexcept {
    if (!dev) return 0;
    return ops_of(dev)->param_get(dev, records, count);
}

}  // extern "C"
