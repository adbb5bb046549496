// How the tool shows a parameter: its id, name, length, bytes and value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "lumox/lumox.h"

namespace lumox_cli {

std::string hex_bytes(const uint8_t *bytes, size_t n);
void print_param(const lumox_param_item &item);

}  // namespace lumox_cli
