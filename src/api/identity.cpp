// Identity of a camera: its serial (the identity text of parameter 2) read at the transport level
// without opening the camera for the application, and finding and opening a camera by serial.

#include <cstdlib>
#include <cstring>
#include <string>

#include "api/device_state.h"
#include "api/lifecycle.h"
#include "api/params.h"
#include "lumox/device.h"
#include "lumox/log.h"
#include "lumox/transport.h"

namespace lumox::api {
namespace {

constexpr int32_t kMaxListed = 32;

// The serial of the listed camera through a transport session of its own, or false when the
// camera did not answer.
bool read_serial(const lumox_dev_t &listed, std::string &serial) {
    lumox_ll_dev ll{};
    ll.if_type = listed.if_type;
    ll.bus = listed.bus;
    ll.port = listed.port;
    ll.addr = listed.addr;
    ll.speed = listed.speed;
    ll.ops = test_transport();
    ll.location_valid = 1;
    if (!lumox_ll_dev_open(&ll)) return false;
    WireParam p{};
    p.id = LUMOX_PARAM_ID2;
    const bool ok = lumox_ll_param_get(&ll, &p, 1);
    lumox_ll_dev_close(&ll);
    if (!ok) return false;
    const size_t n = p.len < sizeof p.val ? p.len : sizeof p.val;
    serial.assign(reinterpret_cast<const char *>(p.val),
                  strnlen(reinterpret_cast<const char *>(p.val), n));
    return true;
}

bool valid_serial(const char *serial) {
    return serial && *serial && strnlen(serial, LUMOX_SERIAL_MAX + 1) <= LUMOX_SERIAL_MAX;
}

}  // namespace
}  // namespace lumox::api

using namespace lumox::api;

extern "C" {

LUMOX_API int32_t lumox_dev_read_serial(const lumox_dev_t *listed, char *serial,
                                        uint32_t len) noexcept {
    if (!listed || !serial || len == 0) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] wrong params: dev=%p, serial=%p, len=%u\n",
               "lumox_dev_read_serial", static_cast<const void *>(listed),
               static_cast<void *>(serial), len);
        return -1;
    }
    serial[0] = '\0';
    std::string text;
    if (!read_serial(*listed, text) || text.size() >= len) return -1;
    std::memcpy(serial, text.c_str(), text.size() + 1);
    return static_cast<int32_t>(text.size());
}

LUMOX_API uint8_t lumox_dev_find_serial(lumox_dev_t *dev, const char *serial) noexcept {
    if (!dev || !valid_serial(serial) || is_open(dev)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] wrong params: dev=%p, serial=%p\n", "lumox_dev_find_serial",
               static_cast<void *>(dev), static_cast<const void *>(serial));
        return 0;
    }
    lumox_dev_t list[kMaxListed];
    const int32_t n = lumox_dev_list(list, kMaxListed);
    for (int32_t i = 0; i < n; ++i) {
        std::string text;
        if (!read_serial(list[i], text) || text != serial) continue;
        dev->if_type = list[i].if_type;
        dev->bus = list[i].bus;
        dev->port = list[i].port;
        dev->addr = list[i].addr;
        dev->speed = list[i].speed;
        dev->location_valid = 1;
        lx_log(LX_LOG_DBG, "DBG", "[%s] serial %s at %u:%u\n", "lumox_dev_find_serial", serial,
               dev->bus, dev->port);
        return 1;
    }
    lx_log(LX_LOG_WRN, "WRN", "[%s] no camera with serial %s\n", "lumox_dev_find_serial", serial);
    return 0;
}

LUMOX_API lumox_dev_t *lumox_dev_open_serial(lumox_dev_t *dev, const char *serial) noexcept {
    if (!lumox_dev_find_serial(dev, serial)) {
        if (dev && !is_open(dev) && dev->release) std::free(dev);
        return nullptr;
    }
    const uint8_t release = dev->release;
    dev->release = 0;  // a mismatch below closes the camera and frees the record only once
    lumox_dev_t *opened = lumox_dev_open(dev);
    if (opened && strncmp(opened->id2, serial, sizeof opened->id2) != 0) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] the camera at %u:%u reports serial %.32s, not %s\n",
               "lumox_dev_open_serial", dev->bus, dev->port, dev->id2, serial);
        lumox_dev_close(dev);
        opened = nullptr;
    }
    dev->release = release;
    if (!opened && release) std::free(dev);
    return opened;
}

}  // extern "C"
