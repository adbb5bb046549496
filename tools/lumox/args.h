// The command line of the lumox tool: options and operands in any order, and the range-checked
// parsers that turn the text of an argument into what a library call takes.
//
// Every parser throws UsageError with a one-line message that names the argument and its bounds;
// the dispatcher prints it with the command's usage line and exits with the usage status.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumox_cli {

// A command line the tool cannot act on; what() is the one-line reason.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// An option the tool knows: "--out" with value name "DIR", or a switch without a value.
struct OptionSpec {
    enum Kind { kSwitch, kValue, kOptionalNumber };
    const char *name;        // "--out"
    Kind kind;               // kOptionalNumber: takes the next word only when it is a number
    const char *value_name;  // "DIR" (for the help text), nullptr for a switch
    const char *help;
};

// The words of a command line: positional words and the options, in the order given.
struct Args {
    std::vector<std::string> words;     // the command's name words and its operands
    std::vector<std::string> operands;  // the words after the command's name (set by dispatch)
    std::vector<std::pair<std::string, std::string>> options;  // name, value ("" for a switch)

    bool has(std::string_view name) const;
    // The value given last for the option, or fallback when it is absent.
    std::string value(std::string_view name, const std::string &fallback = "") const;
    // Every value given for a repeatable option, in order.
    std::vector<std::string> values(std::string_view name) const;
};

// Splits argv into words and options. An option's value is the next word ("--out DIR"); unknown
// options and missing values are usage errors.
Args parse_command_line(int argc, const char *const *argv, std::span<const OptionSpec> known);

// A whole number in decimal, hex (0x) or octal (leading 0) notation within [lo, hi]. what names
// the argument in the message ("--frames", "register count").
long long parse_int(std::string_view text, long long lo, long long hi, std::string_view what);

// The value of a numeric option, or fallback when it is absent.
long long option_int(const Args &args, std::string_view name, long long lo, long long hi,
                     long long fallback);
// As option_int, for an option that must be given.
long long required_int(const Args &args, std::string_view name, long long lo, long long hi);

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

}  // namespace lumox_cli
