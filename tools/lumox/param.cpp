// lumox param get|set: one parameter of the camera.

#include <cstdio>

#include "command.h"
#include "param_format.h"
#include "session.h"

namespace lumox_cli {

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
    if (len >= 1 && len <= 4) {
        uint32_t v = 0;
        for (size_t i = 0; i < len; ++i) v |= static_cast<uint32_t>(item.param_val[i]) << (8 * i);
        std::printf(" = %u", v);
    }
    if (item.param_id == LUMOX_PARAM_PRODUCT || item.param_id == LUMOX_PARAM_ID2) {
        std::printf(" \"%s\"",
                    record_field(reinterpret_cast<const char *>(item.param_val), len).c_str());
    }
    std::printf("\n");
}

int cmd_param_get(const Args &args) {
    lumox_param_item item{};
    item.param_id = parse_param_id(args.operands[0]);
    Session session(args);
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    if (!lumox_param_batch_get(dev, &item, 1)) return fail("the camera did not answer");
    print_param(item);
    return kExitOk;
}

int cmd_param_set(const Args &args) {
    const auto &w = args.operands;
    lumox_param_item item{};
    item.param_id = parse_param_id(w[0]);
    const ParamValue value = parse_param_value(w[1], w.size() > 2 ? w[2] : "");
    item.param_val_len = value.len;
    for (uint8_t i = 0; i < value.len; ++i) item.param_val[i] = value.bytes[i];
    Session session(args);
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    if (!lumox_param_batch_set(dev, &item, 1)) return fail("the camera refused the parameter");
    std::printf("set ");
    print_param(item);
    return kExitOk;
}

}  // namespace lumox_cli
