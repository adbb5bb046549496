#include "view_controls.h"

#include <algorithm>
#include <charconv>

#include "lumox/evk_api.h"

namespace lumox_cli {
namespace {

constexpr FilterSpec kFilters[] = {
    {FILTER_LENS_UNDISTORT, "lens undistortion", 0, 0, 0},
    {FILTER_DRNU, "DRNU calibration", 1, 1, 255},
    {FILTER_DEPTH_SMOOTH, "depth smoothing (size)", 1, 3, 255},
    {FILTER_MIN_AMPLITUDE, "minimum amplitude", 2, 50, 65535},
    {FILTER_AUTO_INTEGRATION, "auto integration (saturation per mille)", 2, 20, 1000},
    {FILTER_DCS_SUM_CHECK, "DCS sum check", 2, 100, 65535},
    {FILTER_TEMP_MONITOR, "temperature monitor", 2, 0, 65535},
    {FILTER_HDR, "HDR", 0, 0, 0},
};

constexpr const char *kKnownControls =
    "frame_rate, integration_time, modulation, capture, record and filter_ID with the ID of a "
    "filter in the statistics";

const FilterSpec *find_filter(long long id) {
    for (const FilterSpec &f : kFilters)
        if (static_cast<long long>(f.id) == id) return &f;
    return nullptr;
}

ControlAnswer refuse(Json &j, const std::string &why) {
    return {400, j.boolean("ok", false).str("error", why).end().text(), false};
}

// A parameter set, tried twice: a command that a busy host could not complete in time is tried
// once more (setting a parameter twice does no harm, and the page would otherwise show a refusal).
bool set_twice(lumox_dev_t *dev, lumox_param_item *item) {
    for (int attempt = 0; attempt < 2; ++attempt)
        if (lumox_param_batch_set(dev, item, 1) != 0) return true;
    return false;
}

bool get_twice(lumox_dev_t *dev, lumox_param_item *item) {
    for (int attempt = 0; attempt < 2; ++attempt)
        if (lumox_param_batch_get(dev, item, 1) != 0) return true;
    return false;
}

}  // namespace

bool parse_decimal(const std::string &text, long long *value) {
    long long v = 0;
    const char *end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, v, 10);
    if (text.empty() || ec != std::errc() || at != end) return false;
    *value = v;
    return true;
}

ViewControls::ViewControls(lumox_dev_t *dev) : dev_(dev) {
    for (const FilterSpec &f : kFilters) filters_[f.id].value = f.default_value;
    lumox_correction_state c{};
    if (lumox_dev_use_best_correction(dev_, &c)) {
        FilterState &drnu = filters_[FILTER_DRNU];
        drnu.enabled = drnu.accepted =
            c.correction == LUMOX_CORRECTION_HOST || c.correction == LUMOX_CORRECTION_FIRMWARE;
    }
}

ControlAnswer ViewControls::apply(const std::string &name, const std::string &value) {
    Json j;
    j.begin().str("name", name);
    if (name == "frame_rate" || name == "integration_time") return set_param(name, value, j);
    if (name == "modulation") return set_modulation(value, j);
    if (name.rfind("filter_", 0) == 0) return switch_filter(name, value, j);
    return refuse(j, "unknown control '" + name + "': " + kKnownControls);
}

ControlAnswer ViewControls::set_param(const std::string &name, const std::string &value, Json &j) {
    const bool rate = name == "frame_rate";
    long long v = 0;
    if (!parse_decimal(value, &v) || v < 1 || v > (rate ? 1000 : 65535))
        return refuse(j, rate ? "frame rate: 1 to 1000 frames/s" : "integration time: 1 to 65535");
    lumox_param_item item{};
    item.param_id = rate ? LUMOX_PARAM_FRAME_RATE : LUMOX_PARAM_INTG_TIME;
    item.param_val_len = rate ? 4 : 2;
    for (int i = 0; i < item.param_val_len; ++i)
        item.param_val[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
    if (!set_twice(dev_, &item))
        return refuse(j, "the camera did not take the value (the library log says why)");
    set_params_[item.param_id] = item;
    lumox_param_item back{};
    back.param_id = item.param_id;
    if (!get_twice(dev_, &back)) return refuse(j, "the camera did not answer");
    uint32_t got = 0;
    for (int i = 0; i < std::min<int>(back.param_val_len, 4); ++i)
        got |= static_cast<uint32_t>(back.param_val[i]) << (8 * i);
    // The capture times its transfers by the rate it read at start.
    return {200, j.boolean("ok", true).num("read_back", got).end().text(), rate};
}

ControlAnswer ViewControls::set_modulation(const std::string &value, Json &j) {
    if (g_lx_dev != dev_) return refuse(j, "this camera's driver has no modulation setting");
    long long v = 0;
    if (!parse_decimal(value, &v) || v < 0 || v >= configGetModFreqCount())
        return refuse(j, "modulation: a frequency index from 0 to " +
                             std::to_string(configGetModFreqCount() - 1));
    if (apiSetModulationFrequency(static_cast<int>(v), 32) != 0)
        return refuse(j, "the sensor refused the frequency");
    uint32_t divider = 0;
    const bool read = lumox_reg_batch_read(dev_, 1, 133, &divider, 1) != 0;
    j.boolean("ok", true).num("read_back", configGetModulationFrequency());
    if (read) j.num("divider", divider & 0x1F);
    return {200, j.end().text(), false};
}

int32_t ViewControls::enable(const FilterSpec &filter, long long arg) {
    uint8_t u8 = static_cast<uint8_t>(arg);
    uint16_t u16 = static_cast<uint16_t>(arg);
    void *p = filter.arg_size == 1   ? static_cast<void *>(&u8)
              : filter.arg_size == 2 ? static_cast<void *>(&u16)
                                     : nullptr;
    return lumox_filter_enable(dev_, filter.id, p, filter.arg_size);
}

ControlAnswer ViewControls::switch_filter(const std::string &name, const std::string &value,
                                          Json &j) {
    // The name is "filter_" and the ID as the statistics write it: nothing else names a filter.
    long long id = -1;
    const FilterSpec *filter = parse_decimal(name.substr(7), &id) ? find_filter(id) : nullptr;
    if (filter && name != "filter_" + std::to_string(filter->id)) filter = nullptr;
    if (!filter) return refuse(j, "unknown control '" + name + "': " + kKnownControls);
    FilterState &s = filters_[filter->id];
    int32_t r = 0;
    if (value == "off") {
        r = lumox_filter_disable(dev_, filter->id);
        if (r == 1) s.enabled = false;
    } else {
        long long arg = s.value;
        if (value != "on") {
            long long v = 0;
            if (!parse_decimal(value, &v) || v < 0 || v > filter->max_value)
                return refuse(j, "value from 0 to " + std::to_string(filter->max_value));
            arg = v;
        }
        r = enable(*filter, arg);
        if (r == 1) {
            s.enabled = true;
            s.value = arg;
        }
    }
    s.touched = true;
    s.accepted = r == 1;
    j.boolean("ok", r == 1).boolean("enabled", s.enabled);
    j.num("value", static_cast<double>(s.value));
    if (r == 1) return {200, j.end().text(), false};
    lumox_correction_state c{};
    j.str("error", filter->id == FILTER_DRNU && lumox_dev_get_correction(dev_, &c)
                       ? std::string("refused; in force: ") + c.reason
                       : std::string("the driver refused the switch"));
    return {409, j.end().text(), false};
}

void ViewControls::reapply() {
    // Opening alone leaves a camera that corrects on the host without its per-pixel table: the
    // best correction first, as at the start, then what the page changed.
    lumox_correction_state correction{};
    lumox_dev_use_best_correction(dev_, &correction);
    for (auto &[id, s] : filters_) {
        if (!s.touched || !s.accepted) continue;
        const FilterSpec *filter = find_filter(id);
        if (!s.enabled || !filter)
            lumox_filter_disable(dev_, id);
        else
            enable(*filter, s.value);
    }
    for (auto &[id, item] : set_params_) lumox_param_batch_set(dev_, &item, 1);
}

std::vector<std::string> ViewControls::switches() const {
    std::vector<std::string> out;
    for (const FilterSpec &f : kFilters) {
        const FilterState &st = filters_.at(f.id);
        if (!st.touched || !st.accepted) continue;
        const std::string id = std::to_string(f.id) + "=";
        out.push_back(id + (!st.enabled ? "off" : f.arg_size ? std::to_string(st.value) : "on"));
    }
    return out;
}

void ViewControls::write_filters(Json &j) const {
    j.begin("filters", '[');
    for (const FilterSpec &f : kFilters) {
        const FilterState &s = filters_.at(f.id);
        j.begin().num("id", f.id).str("name", f.name).num("arg_size", f.arg_size);
        j.num("max", static_cast<double>(f.max_value)).boolean("enabled", s.enabled);
        j.num("value", static_cast<double>(s.value)).boolean("touched", s.touched);
        j.boolean("accepted", s.accepted).end();
    }
    j.end(']');
}

bool ViewControls::in_force(uint32_t id) const {
    const auto it = filters_.find(id);
    return it != filters_.end() && it->second.enabled && it->second.accepted;
}

}  // namespace lumox_cli
