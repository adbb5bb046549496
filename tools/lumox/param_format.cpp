#include "param_format.h"

#include <cstdio>

#include "bytes.h"
#include "session.h"

namespace lumox_cli {

namespace {

uint32_t le(std::span<const uint8_t> v, size_t at, size_t n) { return load_le(&v[at], n); }

std::string format(const char *fmt, auto... values) {
    char text[160];
    std::snprintf(text, sizeof text, fmt, values...);
    return text;
}

}  // namespace

const char *speed_word(uint8_t speed) {
    static const char *const kNames[] = {"unknown", "low", "full", "high", "super", "super+"};
    return speed < 6 ? kNames[speed] : "unknown";
}

std::string hex_bytes(const uint8_t *bytes, size_t n) {
    std::string out;
    char cell[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(cell, sizeof cell, i ? " %02x" : "%02x", bytes[i]);
        out += cell;
    }
    return out;
}

void print_param(const lumox_param_item &item) {
    const char *name = lumox_param_name(item.param_id);
    const size_t len =
        item.param_val_len < sizeof item.param_val ? item.param_val_len : sizeof item.param_val;
    std::printf("%3u %-24s len=%-2u [%s]", item.param_id, name ? name : "-", item.param_val_len,
                hex_bytes(item.param_val, len).c_str());
    if (len >= 1 && len <= 4) std::printf(" = %u", load_le(item.param_val, len));
    if (item.param_id == LUMOX_PARAM_PRODUCT || item.param_id == LUMOX_PARAM_ID2) {
        std::printf(" \"%s\"",
                    record_field(reinterpret_cast<const char *>(item.param_val), len).c_str());
    }
    std::printf("\n");
}

std::string describe_param(uint32_t id, std::span<const uint8_t> v) {
    switch (id) {
        case LUMOX_PARAM_MODE:
            if (v.empty()) break;
            return v[0] == 0 ? "normal (0)" : v[0] == 9 ? "data upload (9)" : format("%u", v[0]);
        case LUMOX_PARAM_ID2:
        case LUMOX_PARAM_PRODUCT:
            return record_field(reinterpret_cast<const char *>(v.data()), v.size());
        case LUMOX_PARAM_CHIP_INFO:
            if (v.size() < 6) break;
            return format("part version %u, chip id %u, wafer id %u", le(v, 0, 2), le(v, 2, 2),
                          le(v, 4, 2));
        case LUMOX_PARAM_CALIB_INFO:
            if (v.size() < 17) break;
            if (v[0] != 1) return format("none stored (valid flag %u)", v[0]);
            return format("valid, version %u, package %u bytes, data %u bytes, checksum 0x%04x",
                          le(v, 3, 4), le(v, 7, 4), le(v, 11, 4), le(v, 15, 2));
        case LUMOX_PARAM_OP_MODE:
            if (v.empty()) break;
            return format("%u", v[0]);
        case LUMOX_PARAM_FRAME_RATE:
            if (v.size() < 4) break;
            return format("%u frames/s", le(v, 0, 4));
        case LUMOX_PARAM_INTG_TIME:
            if (v.size() < 2) break;
            return format("%u", le(v, 0, 2));
        case LUMOX_PARAM_TEMPERATURE: {
            if (v.size() < 2) break;
            // Signed readings in tenths of a degree, as in the frame headers.
            std::string out;
            for (size_t at = 0; at + 1 < v.size(); at += 2) {
                const auto t = static_cast<int16_t>(le(v, at, 2));
                out += format(out.empty() ? "%.1f" : ", %.1f", t / 10.0);
            }
            return out + " C";
        }
        default:
            break;
    }
    return "";
}

std::string describe_product(const std::string &product) {
    char model[17] = {};
    char code[17] = {};
    char firmware[17] = {};
    if (std::sscanf(product.c_str(), "%16[^-]-%16[^-]-%16[^-]", model, code, firmware) != 3)
        return "";
    return format("model %s, driver code %s, firmware %s", model, code, firmware);
}

}  // namespace lumox_cli
