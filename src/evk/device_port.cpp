#include "evk/device_port.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "lumox/device.h"
#include "lumox/log.h"

namespace lumox::evk {
namespace {

constexpr uint8_t kSensorTarget = 1;
constexpr uint32_t kStandaloneFrameBuffer = 6144000;

bool lib_reg_read(lumox_dev_t *dev, uint32_t first, uint32_t *values, uint16_t count) {
    return lumox_reg_batch_read(dev, kSensorTarget, first, values, count) != 0;
}

bool lib_reg_write(lumox_dev_t *dev, uint32_t first, const uint32_t *values, uint16_t count) {
    return lumox_reg_batch_write(dev, kSensorTarget, first, values, count) != 0;
}

bool lib_param_get(lumox_dev_t *dev, uint32_t id, uint8_t *value, uint8_t *length) {
    lumox_param_item item{};
    item.param_id = id;
    if (!lumox_param_batch_get(dev, &item, 1)) return false;
    *length = item.param_val_len;
    std::memcpy(value, item.param_val, std::min<size_t>(kParamValueMax, sizeof item.param_val));
    return true;
}

bool lib_param_set(lumox_dev_t *dev, uint32_t id, const uint8_t *value, uint8_t length) {
    lumox_param_item item{};
    item.param_id = id;
    item.param_val_len = length;
    std::memcpy(item.param_val, value, std::min<size_t>(length, sizeof item.param_val));
    return lumox_param_batch_set(dev, &item, 1) != 0;
}

bool lib_reset(lumox_dev_t *dev, int target) {
    return lumox_dev_reset(dev, static_cast<uint32_t>(target)) != 0;
}

bool lib_cap_is_ongoing(lumox_dev_t *dev) { return lumox_cap_is_ongoing(dev) != 0; }
bool lib_cap_start(lumox_dev_t *dev) { return lumox_cap_start(dev) != 0; }
bool lib_cap_stop(lumox_dev_t *dev) { return lumox_cap_stop(dev) != 0; }

int lib_cap_get_frame(lumox_dev_t *dev, void *buffer, uint32_t length, FetchedFrame *frame) {
    lumox_frame_info info{};
    int got = lumox_cap_get_frames(dev, 1, buffer, length, &info);
    if (got == 1 && frame) *frame = {info.frame_idx, info.width, info.height, info.frame_size};
    return got;
}

lumox_dev_t *lib_open_first() {
    lumox_init(nullptr);
    lumox_log_cfg(1, 1, 5);
    lumox_dev_t *dev = lumox_dev_open(nullptr);
    if (!dev) {
        lumox_uninit();
        return nullptr;
    }
    lumox_cap_set_frame_buffer(dev, nullptr, kStandaloneFrameBuffer);
    return dev;
}

void lib_close(lumox_dev_t *dev) {
    lumox_dev_close(dev);
    lumox_uninit();
}

constexpr DevicePort kLibraryPort = {
    lib_reg_read,  lib_reg_write,     lib_param_get, lib_param_set,  lib_reset, lib_cap_is_ongoing,
    lib_cap_start, lib_cap_get_frame, lib_cap_stop,  lib_open_first, lib_close,
};

std::atomic<const DevicePort *> g_port{&kLibraryPort};

}  // namespace

const DevicePort &device_port() { return *g_port.load(); }

const DevicePort *set_device_port(const DevicePort *port) {
    return g_port.exchange(port ? port : &kLibraryPort);
}

}  // namespace lumox::evk
