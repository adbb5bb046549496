// Command lines of the project's programs (`lumox`, `lumox-vcam`): an option table that drives
// both the parsing and the help text, and the range-checked parsers that turn an argument's text
// into the number a call takes.
//
// Every parser throws UsageError with a one-line message that names the argument and its bounds;
// the program prints it and exits with its usage status.
#pragma once

#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumox_cmdline {

// A command line a program cannot act on; what() is the one-line reason.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// An option a program knows: "--out" with value name "DIR", or a switch without a value.
struct OptionSpec {
    enum Kind {
        kSwitch,          // no value
        kValue,           // always takes the next word
        kOptionalNumber,  // takes the next word only when it is a number
        kOptionalWord,    // takes the next word only when it does not start with '-'
    };
    const char *name;  // "--out"
    Kind kind;
    const char *value_name;  // "DIR" (for the help text), nullptr for a switch
    const char *help;        // '\n' starts a new help line; nullptr: not listed in the help
};

// The words of a command line: positional words and the options, in the order given.
struct Args {
    std::vector<std::string> words;     // positional words, those after "--" included
    std::vector<std::string> operands;  // the words after a command's name (set by its dispatch)
    std::vector<std::pair<std::string, std::string>> options;  // name, value ("" for a switch)
    int after_separator = 0;  // argv index of the first word after "--"; 0 when there is no "--"

    bool has(std::string_view name) const;
    // The value given last for the option, or fallback when it is absent.
    std::string value(std::string_view name, const std::string &fallback = "") const;
    // Every value given for a repeatable option, in order.
    std::vector<std::string> values(std::string_view name) const;
};

// Splits argv into words and options. An option's value is the next word ("--out DIR"); unknown
// options and missing values are usage errors. "-h" stands for "--help". Every word after "--" is
// a positional word, whatever it looks like.
Args parse_command_line(int argc, const char *const *argv, std::span<const OptionSpec> known);

// The options' part of a help text: one entry per listed option, help aligned in one column.
std::string options_help(std::span<const OptionSpec> known);
// One entry of a help text: left ("--out DIR", a command's usage) and its help beside it.
void append_help_entry(std::string *out, const std::string &left, const char *help);

// A whole number in decimal, hex (0x) or octal (leading 0) notation within [lo, hi]. what names
// the argument in the message ("--frames", "register count").
long long parse_int(std::string_view text, long long lo, long long hi, std::string_view what);
// A decimal number (fraction and exponent allowed) within [lo, hi].
double parse_double(std::string_view text, double lo, double hi, std::string_view what);

// The value of a numeric option, or fallback when it is absent.
long long option_int(const Args &args, std::string_view name, long long lo, long long hi,
                     long long fallback);
// As option_int, for an option that must be given.
long long required_int(const Args &args, std::string_view name, long long lo, long long hi);

}  // namespace lumox_cmdline
