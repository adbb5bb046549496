// lumox param get|set: one parameter of the camera.

#include <cstdio>

#include "command.h"
#include "param_format.h"
#include "session.h"

namespace lumox_cli {

namespace {

// Reads the parameter; false (with the reason printed) when the camera does not answer or
// reports no value, which is how it answers for an identifier it does not have.
bool read_param(lumox_dev_t *dev, lumox_param_item *item) {
    if (!lumox_param_batch_get(dev, item, 1)) {
        fail("the camera did not answer for parameter %u", item->param_id);
        return false;
    }
    if (item->param_val_len == 0) {
        fail("the camera has no parameter %u (it reports no value for it)", item->param_id);
        return false;
    }
    return true;
}

}  // namespace

int cmd_param_get(const Args &args) {
    lumox_param_item item{};
    item.param_id = parse_param_id(args.operands[0]);
    Session session(args);
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    if (!read_param(dev, &item)) return kExitFailure;
    print_param(item);
    return kExitOk;
}

// Without LEN the value takes the length the camera reports for the parameter (when 1 to 4
// bytes), so that a 16-bit parameter is written as 16 bits.
int cmd_param_set(const Args &args) {
    const auto &w = args.operands;
    lumox_param_item item{};
    item.param_id = parse_param_id(w[0]);
    const std::string len_text = w.size() > 2 ? w[2] : "";
    parse_param_value(w[1], len_text);  // refuse a bad value before the camera is opened
    Session session(args);
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    lumox_param_item current = item;
    if (!read_param(dev, &current)) return kExitFailure;
    const std::string len = !len_text.empty()            ? len_text
                            : current.param_val_len <= 4 ? std::to_string(current.param_val_len)
                                                         : "4";
    const ParamValue value = parse_param_value(w[1], len);
    item.param_val_len = value.len;
    for (uint8_t i = 0; i < value.len; ++i) item.param_val[i] = value.bytes[i];
    if (!lumox_param_batch_set(dev, &item, 1)) return fail("the camera refused the parameter");
    std::printf("set ");
    print_param(item);
    return kExitOk;
}

}  // namespace lumox_cli
