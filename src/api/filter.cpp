// Switches of the sensor driver's per-frame processing steps (filters).

#include <cstring>

#include "api/device_state.h"
#include "lumox/driver.h"
#include "lumox/frame.h"
#include "lumox/log.h"

namespace lumox::api {
namespace {

constexpr int32_t kNoDriver = -1;

// The device's driver, binding the one its product string names when the device has none yet.
lumox_drv *device_driver(const char *func, lumox_dev_t *dev) {
    lumox_drv *drv = dev->state ? dev->state->drv : nullptr;
    if (drv) return drv;
    drv = lumox_drv_find(dev);
    if (!drv) {
        char product[sizeof dev->product + 1] = {};
        std::memcpy(product, dev->product, sizeof dev->product);
        lx_log(LX_LOG_ERR, "ERR", "[%s] cannot find driver for device: product=%s\n", func,
               product);
        return nullptr;
    }
    if (dev->state) dev->state->drv = drv;
    return drv;
}

}  // namespace
}  // namespace lumox::api

using namespace lumox::api;

extern "C" {

LUMOX_API int32_t lumox_filter_enable(lumox_dev_t *dev, uint32_t filter_id, void *arg,
                                      uint32_t arg_size) noexcept {
    if (!dev) return kNoDriver;
    BusyMark busy(dev);
    lumox_drv *drv = device_driver("lumox_filter_enable", dev);
    // A driver without processing steps (the TI placeholder) has no switch to call.
    if (!drv || !drv->ops->filter_enable) return kNoDriver;
    return drv->ops->filter_enable(drv, filter_id, arg, arg_size) ? 1 : 0;
}

LUMOX_API int32_t lumox_filter_disable(lumox_dev_t *dev, uint32_t filter_id) noexcept {
    if (!dev) return kNoDriver;
    BusyMark busy(dev);
    lumox_drv *drv = device_driver("lumox_filter_disable", dev);
    if (!drv || !drv->ops->filter_disable) return kNoDriver;
    return drv->ops->filter_disable(drv, filter_id) ? 1 : 0;
}

}  // extern "C"
