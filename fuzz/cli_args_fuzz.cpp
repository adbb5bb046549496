// The lumox tool's command-line parsing: a command line of any words (the input split at NUL
// bytes) through the option splitter with options of every kind the tool has, then every
// range-checked parser on its words and option values. A parser either returns a value inside the
// bounds it promises or throws UsageError; any other exception, or a value out of bounds, is a
// finding.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "args.h"

namespace {

using namespace lumox_cli;

void check(bool cond, const char *what) {
    if (!cond) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

// Runs one parser; a usage error is an answer, not a finding.
template <typename F>
void parse(F f) {
    try {
        f();
    } catch (const UsageError &) {
    }
}

// One option of each kind, named as the tool names them.
constexpr OptionSpec kOptions[] = {
    {"--device", OptionSpec::kValue, "BUS:PORT", ""},
    {"--help", OptionSpec::kSwitch, nullptr, ""},
    {"--version", OptionSpec::kOptionalNumber, "V", ""},
    {"--frames", OptionSpec::kValue, "N", ""},
    {"--filter", OptionSpec::kValue, "ID=VALUE|on|off", ""},
};

void parse_word(const std::string &word, const std::vector<std::string> &words) {
    parse([&] {
        const long long v = parse_int(word, -5, 70000, "n");
        check(v >= -5 && v <= 70000, "parse_int stays in its bounds");
    });
    parse([&] { parse_device(word); });
    parse([&] {
        const FilterSetting f = parse_filter(word);
        check(f.id <= 8 && f.id != 3 && f.value_size <= 2, "a filter setting names a step");
        check(f.value_size != 1 || f.value <= 0xFF, "an 8-bit step value fits a byte");
        check(f.value_size != 2 || f.value <= 0xFFFF, "a 16-bit step value fits two bytes");
    });
    parse([&] { check(parse_param_id(word) <= 255, "a parameter id fits its byte"); });
    if (words.size() >= 2) {
        parse([&] {
            const ParamValue p = parse_param_value(word, words[1]);
            check(p.len >= 1 && p.len <= 4, "a parameter value has 1 to 4 bytes");
        });
    }
    if (words.size() >= 3) {
        const uint64_t count = words[2].size() * 0x1000000ull;
        parse([&] {
            const RegisterSpan span = parse_register_span(word, words[1], count);
            check(count == 0 || span.base + (count - 1) <= 0xFFFFFFFFull,
                  "the last register's address fits 32 bits");
        });
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> words(1, "lumox");
    std::string word;
    for (size_t i = 0; i < size && words.size() < 40; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    words.push_back(word);
    std::vector<const char *> argv;
    for (const std::string &w : words) argv.push_back(w.c_str());

    parse([&] {
        const Args args = parse_command_line(static_cast<int>(argv.size()), argv.data(), kOptions);
        for (const auto &option : args.options) {
            const std::string &name = option.first;
            parse([&] { option_int(args, name, 0, 100000000, 1); });
            parse([&] { args.values(name); });
        }
    });
    const std::vector<std::string> operands(words.begin() + 1, words.end());
    parse([&] {
        const CmapRange r = parse_cmap(
            std::span<const std::string>(operands).first(std::min<size_t>(operands.size(), 3)));
        check(r.min_mm >= 0 && r.min_mm < r.max_mm && r.max_mm <= 65535,
              "a colour range is ordered");
        check(r.steps >= 1 && r.steps <= 1000, "a colour scale has 1 to 1000 steps");
    });
    for (size_t i = 0; i < operands.size() && i < 8; ++i) {
        parse_word(operands[i], std::vector<std::string>(operands.begin() + static_cast<long>(i),
                                                         operands.end()));
    }
    return 0;
}
