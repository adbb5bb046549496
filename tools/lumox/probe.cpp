#include "probe.h"

#include <cstring>

namespace lumox_cli {

namespace {

// A parameter as the transport carries it: identifier byte, length byte, value.
struct WireParam {
    uint8_t id;
    uint8_t len;
    uint8_t val[LUMOX_PARAM_VAL_MAX];
};
static_assert(sizeof(WireParam) == 20);

}  // namespace

TransportProbe::TransportProbe(const lumox_ll_dev &record) : record_(record) {
    record_.location_valid = 1;
    dev_ = lumox_ll_dev_open(&record_);
}

TransportProbe::~TransportProbe() {
    if (dev_) lumox_ll_dev_close(dev_);
}

std::optional<std::vector<uint8_t>> TransportProbe::param(uint8_t id) {
    if (!dev_) return std::nullopt;
    WireParam p{};
    p.id = id;
    if (!lumox_ll_param_get(dev_, &p, 1)) return std::nullopt;
    const size_t n = p.len < sizeof p.val ? p.len : sizeof p.val;
    return std::vector<uint8_t>(p.val, p.val + n);
}

std::optional<al_data_info> TransportProbe::data_info(uint8_t type) {
    if (!dev_) return std::nullopt;
    al_data_info info{};
    info.type = type;
    if (!al_get_data_info(dev_, AL_ACTION_DATA_INFO, &info, sizeof info)) return std::nullopt;
    return info;
}

std::vector<lumox_ll_dev> transport_list() {
    std::vector<lumox_ll_dev> found(16);
    const int32_t n = lumox_ll_dev_list(found.data(), static_cast<int32_t>(found.size()));
    found.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return found;
}

std::optional<lumox_ll_dev> transport_find(const std::optional<DeviceLocation> &where) {
    for (const lumox_ll_dev &d : transport_list()) {
        if (!where || (d.bus == where->bus && d.port == where->port)) return d;
    }
    return std::nullopt;
}

}  // namespace lumox_cli
