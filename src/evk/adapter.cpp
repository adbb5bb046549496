#include "evk/adapter.h"

#include <cstdio>

#include "evk/config.h"
#include "evk/device_port.h"
#include "lx/byte_order.h"

extern "C" {
LUMOX_API lumox_dev_t *g_lx_dev = nullptr;
}

namespace lumox::evk {
namespace {

constexpr uint32_t kParamChipInfo = 7;
constexpr int kPartTypeEpc660 = 2;
constexpr int kSensorAddress = 32;

bool g_owns_device = false;

uint16_t word_at(const uint8_t *bytes, int offset) { return load_le16(bytes + offset); }

void close_owned_device() {
    if (!g_owns_device) return;
    std::printf("close dev..\n");
    device_port().close(g_lx_dev);
    std::printf("uninit done..\n");
    g_owns_device = false;
}

int bind_device(lumox_dev_t *dev) {
    g_lx_dev = dev;
    g_owns_device = false;
    configSetPartType(kPartTypeEpc660);

    uint8_t value[kParamValueMax] = {};
    uint8_t length = 0;
    if (!device_port().param_get(dev, kParamChipInfo, value, &length)) {
        // The device belongs to its opener, who still uses the library: only the binding goes.
        std::printf("Get chip info failed\n");
        g_lx_dev = nullptr;
        return 0;
    }
    // Bytes the camera did not report stay zero.
    configSetPartVersion(word_at(value, 0));
    configSetIcVersion(word_at(value, 0));
    configSetChipID(word_at(value, 2));
    configSetWaferID(word_at(value, 4));

    configSetDeviceAddress(kSensorAddress);
    configInit(kSensorAddress);
    apiEnableABS(1, kSensorAddress);
    apiSetROI(4, 323, 6, 125, kSensorAddress);
    return 1;
}

int open_standalone() {
    close_owned_device();
    lumox_dev_t *dev = device_port().open_first();
    if (!dev) {
        g_lx_dev = nullptr;
        return 0;
    }
    g_lx_dev = dev;
    g_owns_device = true;
    return 1;
}

}  // namespace

bool adapter_owns_device() { return g_owns_device; }

}  // namespace lumox::evk

extern "C" {

LUMOX_API int epc_adapter_init(lumox_dev_t *dev) noexcept {
    return dev ? lumox::evk::bind_device(dev) : lumox::evk::open_standalone();
}

LUMOX_API void epc_adapter_uninit(void) noexcept {
    lumox::evk::close_owned_device();
    g_lx_dev = nullptr;
}

}  // extern "C"
