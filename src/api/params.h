// Registers and parameters: the public batch calls and the parameter exchange the device layer
// itself makes (identity at open, frame rate at capture start).
#pragma once

#include <cstdint>

#include "lumox/device.h"
#include "lumox/transport.h"

namespace lumox::api {

// Parameter record in the form the transport carries: identifier's low byte, length, value.
struct WireParam {
    uint8_t id;
    uint8_t len;
    uint8_t val[LUMOX_PARAM_VAL_MAX];
};
static_assert(sizeof(WireParam) == 20);

// Gets count parameters through the transport device ll: each item's identifier and length go
// out, and on success each item receives the reported length and value. On failure the items
// are unchanged. Logs the batch size as "_lumox_param_batch_get" does.
bool param_get(lumox_ll_dev *ll, lumox_param_item *items, uint32_t count);

}  // namespace lumox::api
