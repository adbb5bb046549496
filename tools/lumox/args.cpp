#include "args.h"

#include <cctype>

#include "lumox/lumox.h"

namespace lumox_cli {

namespace {

std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

}  // namespace

DeviceLocation parse_device(std::string_view text) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        throw UsageError("--device needs BUS:PORT, not " + quoted(text));
    DeviceLocation at;
    at.bus = static_cast<uint8_t>(parse_int(text.substr(0, colon), 0, 255, "--device bus"));
    at.port = static_cast<uint8_t>(parse_int(text.substr(colon + 1), 0, 255, "--device port"));
    return at;
}

FilterSetting parse_filter(std::string_view text) {
    const size_t eq = text.find('=');
    if (eq == std::string_view::npos)
        throw UsageError("--filter needs ID=VALUE, ID=on or ID=off, not " + quoted(text));
    FilterSetting f;
    f.id = static_cast<uint32_t>(parse_int(text.substr(0, eq), 0, 8, "--filter id"));
    if (f.id == 3) throw UsageError("--filter id 3 is not a processing step");
    const std::string_view v = text.substr(eq + 1);
    f.value_size = (f.id == 1 || f.id == 2) ? 1 : (f.id >= 4 && f.id <= 7) ? 2 : 0;
    if (v == "off") {
        f.enable = false;
        return f;
    }
    if (v == "on") return f;
    if (f.value_size == 0)
        throw UsageError("--filter " + std::to_string(f.id) + " takes on or off, not " + quoted(v));
    const long long top = f.value_size == 1 ? 0xFF : 0xFFFF;
    f.value =
        static_cast<uint32_t>(parse_int(v, 0, top, "--filter " + std::to_string(f.id) + " value"));
    return f;
}

uint32_t parse_param_id(std::string_view text) {
    if (!text.empty() && std::isdigit(static_cast<unsigned char>(text.front())))
        return static_cast<uint32_t>(parse_int(text, 0, 255, "parameter id"));
    std::string upper;
    for (char c : text) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (uint32_t i = 0; i < 256; ++i) {
        const char *name = lumox_param_name(i);
        if (name && (upper == name || "LUMOX_PARAM_" + upper == name)) return i;
    }
    throw UsageError("unknown parameter " + quoted(text));
}

ParamValue parse_param_value(std::string_view value, std::string_view len_text) {
    ParamValue p;
    if (!len_text.empty()) p.len = static_cast<uint8_t>(parse_int(len_text, 1, 4, "length"));
    const int bits = 8 * p.len;
    const long long top = (1ll << bits) - 1;
    const long long bottom = -(1ll << (bits - 1));
    const long long v = parse_int(value, bottom, top, "a " + std::to_string(p.len) + "-byte value");
    for (int i = 0; i < p.len; ++i)
        p.bytes[i] = static_cast<uint8_t>(static_cast<unsigned long long>(v) >> (8 * i));
    return p;
}

RegisterSpan parse_register_span(std::string_view target, std::string_view addr, uint64_t count) {
    RegisterSpan s;
    s.target = static_cast<uint8_t>(parse_int(target, 0, 255, "register target"));
    const long long last_base = 0xFFFFFFFFll - static_cast<long long>(count - 1);
    s.base = static_cast<uint32_t>(
        parse_int(addr, 0, last_base,
                  count > 1 ? "the first of " + std::to_string(count) + " register addresses"
                            : std::string("register address")));
    return s;
}

CmapRange parse_cmap(std::span<const std::string> operands) {
    CmapRange c;
    if (operands.size() == 1) throw UsageError("cmap needs both MIN_MM and MAX_MM");
    if (operands.size() >= 2) {
        c.min_mm = static_cast<int32_t>(parse_int(operands[0], 0, 65535, "MIN_MM"));
        c.max_mm = static_cast<int32_t>(parse_int(operands[1], 0, 65535, "MAX_MM"));
        if (c.max_mm <= c.min_mm) throw UsageError("MAX_MM must be above MIN_MM");
    }
    if (operands.size() >= 3)
        c.steps = static_cast<int32_t>(parse_int(operands[2], 1, 1000, "STEPS"));
    return c;
}

ColourRange parse_colour_range(std::string_view text) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        throw UsageError("--range needs MIN:MAX in mm, not '" + std::string(text) + "'");
    const double lo = parse_double(text.substr(0, colon), 0, 60000, "--range MIN");
    const double hi = parse_double(text.substr(colon + 1), 0, 60000, "--range MAX");
    if (!(lo < hi)) throw UsageError("--range MIN must be below MAX");
    return ColourRange{static_cast<float>(lo / 1000.0), static_cast<float>(hi / 1000.0)};
}

}  // namespace lumox_cli
