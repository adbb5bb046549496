// How the tool shows parameters: the raw record (id, name, length, bytes, value) and the
// readable fields of the parameters the library knows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "lumox/lumox.h"

namespace lumox_cli {

// libusb's speed codes in words: "low", "full", "high", "super", "super+", "unknown".
const char *speed_word(uint8_t speed);
std::string hex_bytes(const uint8_t *bytes, size_t n);
// "12 LUMOX_PARAM_FRAME_RATE   len=4  [14 00 00 00] = 20", and a newline.
void print_param(const lumox_param_item &item);
// The fields of a known parameter's value in words ("20 frames/s", "part version 7, chip id
// 12, wafer id 3"); empty for a parameter without a known layout or a value too short for it.
std::string describe_param(uint32_t id, std::span<const uint8_t> value);
// "LXC660-E2-2.0.3" as "model LXC660, driver code E2, firmware 2.0.3"; empty for another form.
std::string describe_product(const std::string &product);

}  // namespace lumox_cli
