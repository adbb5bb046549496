#include "cmdline/options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace lumox_cmdline {

namespace {

std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

const OptionSpec *find_option(std::span<const OptionSpec> known, std::string_view name) {
    for (const OptionSpec &o : known)
        if (name == o.name) return &o;
    return nullptr;
}

bool is_number(std::string_view text) {
    try {
        parse_int(text, INT64_MIN, INT64_MAX, "");
        return true;
    } catch (const UsageError &) {
        return false;
    }
}

// The option's value when it takes the word after it, or nothing.
bool takes_next(const OptionSpec &option, const char *next) {
    switch (option.kind) {
        case OptionSpec::kValue:
            return true;
        case OptionSpec::kOptionalNumber:
            return next && is_number(next);
        case OptionSpec::kOptionalWord:
            return next && next[0] != '-';
        case OptionSpec::kSwitch:
            break;
    }
    return false;
}

}  // namespace

bool Args::has(std::string_view name) const {
    return std::any_of(options.begin(), options.end(),
                       [&](const auto &o) { return o.first == name; });
}

std::string Args::value(std::string_view name, const std::string &fallback) const {
    for (auto it = options.rbegin(); it != options.rend(); ++it)
        if (it->first == name) return it->second;
    return fallback;
}

std::vector<std::string> Args::values(std::string_view name) const {
    std::vector<std::string> found;
    for (const auto &o : options)
        if (o.first == name) found.push_back(o.second);
    return found;
}

Args parse_command_line(int argc, const char *const *argv, std::span<const OptionSpec> known) {
    Args args;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "--") {
            args.after_separator = i + 1;
            for (int k = i + 1; k < argc; ++k) args.words.emplace_back(argv[k]);
            break;
        }
        if (word == "-h") {
            args.options.emplace_back("--help", "");
            continue;
        }
        if (word.size() <= 2 || word.substr(0, 2) != "--") {
            args.words.emplace_back(word);
            continue;
        }
        const OptionSpec *option = find_option(known, word);
        if (!option) throw UsageError("unknown option " + std::string(word));
        const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (option->kind == OptionSpec::kValue && !next)
            throw UsageError(std::string(word) + " needs " + option->value_name);
        std::string value;
        if (takes_next(*option, next)) value = argv[++i];
        args.options.emplace_back(std::string(word), std::move(value));
    }
    return args;
}

void append_help_entry(std::string *out, const std::string &left, const char *help) {
    constexpr size_t kColumn = 32;
    std::string line = "  " + left;
    if (line.size() + 2 > kColumn) {
        *out += line + "\n";
        line.clear();
    }
    const std::string text = help;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t nl = text.find('\n', start);
        const std::string part = text.substr(start, nl == std::string::npos ? nl : nl - start);
        line.resize(kColumn, ' ');
        *out += line + part + "\n";
        line.clear();
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
}

std::string options_help(std::span<const OptionSpec> known) {
    std::string out;
    for (const OptionSpec &o : known) {
        if (!o.help) continue;
        std::string left = o.name;
        if (o.value_name) {
            const bool optional =
                o.kind == OptionSpec::kOptionalNumber || o.kind == OptionSpec::kOptionalWord;
            left +=
                optional ? std::string(" [") + o.value_name + "]" : std::string(" ") + o.value_name;
        }
        append_help_entry(&out, left, o.help);
    }
    return out;
}

long long parse_int(std::string_view text, long long lo, long long hi, std::string_view what) {
    const auto refuse = [&]() {
        return UsageError(std::string(what) + " must be a whole number from " + std::to_string(lo) +
                          " to " + std::to_string(hi) + ", not " + quoted(text));
    };
    // strtoll alone would skip leading blanks and accept a trailing remainder.
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) throw refuse();
    const std::string copy(text);
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(copy.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value < lo || value > hi) throw refuse();
    return value;
}

double parse_double(std::string_view text, double lo, double hi, std::string_view what) {
    const auto refuse = [&]() {
        char bounds[64];
        std::snprintf(bounds, sizeof bounds, " must be a number from %g to %g, not ", lo, hi);
        return UsageError(std::string(what) + bounds + quoted(text));
    };
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) throw refuse();
    const std::string copy(text);
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(copy.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(value >= lo && value <= hi)) throw refuse();
    return value;
}

long long option_int(const Args &args, std::string_view name, long long lo, long long hi,
                     long long fallback) {
    if (!args.has(name)) return fallback;
    return parse_int(args.value(name), lo, hi, name);
}

long long required_int(const Args &args, std::string_view name, long long lo, long long hi) {
    if (!args.has(name) || args.value(name).empty())
        throw UsageError(std::string(name) + " is required");
    return parse_int(args.value(name), lo, hi, name);
}

}  // namespace lumox_cmdline
