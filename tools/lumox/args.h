// The lumox tool's own argument parsers: devices, filters, parameters, registers and colour
// ranges, each range-checked against what the library call takes. The option table and the
// number parsers they build on are the project's (cmdline/options.h).
//
// Every parser throws UsageError with a one-line message that names the argument and its bounds;
// the dispatcher prints it with the command's usage line and exits with the usage status.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "cmdline/options.h"

namespace lumox_cli {

using lumox_cmdline::Args;
using lumox_cmdline::option_int;
using lumox_cmdline::OptionSpec;
using lumox_cmdline::parse_command_line;
using lumox_cmdline::parse_double;
using lumox_cmdline::parse_int;
using lumox_cmdline::required_int;
using lumox_cmdline::UsageError;

// "BUS:PORT" of --device, both 0-255 as the device record holds them.
struct DeviceLocation {
    uint8_t bus = 0;
    uint8_t port = 0;
};
DeviceLocation parse_device(std::string_view text);

// "--filter ID=VALUE|on|off". Steps 1 and 2 take an 8-bit value, 4 to 7 a 16-bit one, 0 and 8
// none (on or off only); 3 is not a step.
struct FilterSetting {
    uint32_t id = 0;
    bool enable = true;
    uint32_t value = 1;       // the step's argument when enabled
    uint32_t value_size = 0;  // its bytes: 0, 1 or 2
};
FilterSetting parse_filter(std::string_view text);

// A parameter identifier from a number (0-255: one byte on the wire) or a name
// ("LUMOX_PARAM_FRAME_RATE", "FRAME_RATE", "frame_rate").
uint32_t parse_param_id(std::string_view text);

// A parameter value of len bytes (1-4), little-endian. It must fit the length: 0 to 2^(8 len)-1,
// or a negative number down to -2^(8 len - 1) for signed parameters.
struct ParamValue {
    uint8_t bytes[4] = {};
    uint8_t len = 4;
};
ParamValue parse_param_value(std::string_view value, std::string_view len_text);

// "reg read|write TARGET ADDR ..." : the target (0-255), the first address and the number of
// registers; the last register's address must not pass 0xffffffff.
struct RegisterSpan {
    uint8_t target = 0;
    uint32_t base = 0;
};
RegisterSpan parse_register_span(std::string_view target, std::string_view addr, uint64_t count);

// "cmap [MIN_MM MAX_MM [STEPS]]": millimetres 0-65535 (the distance codes' range), MIN below
// MAX, 1-1000 steps.
struct CmapRange {
    int32_t min_mm = 0;
    int32_t max_mm = 4000;
    int32_t steps = 40;
};
CmapRange parse_cmap(std::span<const std::string> operands);

// "--range MIN:MAX": the distances in millimetres the colours span, 0 <= MIN < MAX <= 60000
// (decimals allowed); kept in metres.
struct ColourRange {
    float min = 0.0f;
    float max = 5.0f;
};
ColourRange parse_colour_range(std::string_view text);

}  // namespace lumox_cli
