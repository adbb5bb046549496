// The option table's parser and the number parsers every program's command line goes through.
#include "cmdline/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumox_cmdline {
namespace {

std::string usage_message(auto &&parse) {
    try {
        parse();
    } catch (const UsageError &e) {
        return e.what();
    }
    return "accepted";
}

constexpr OptionSpec kKnown[] = {
    {"--out", OptionSpec::kValue, "DIR", "output"},
    {"--version", OptionSpec::kOptionalNumber, "V", "version"},
    {"--scene", OptionSpec::kOptionalWord, "NAME", "scene"},
    {"--quiet", OptionSpec::kSwitch, nullptr, "quiet"},
    {"--hidden", OptionSpec::kValue, "FD", nullptr},
};

Args parse(std::vector<const char *> words) {
    words.insert(words.begin(), "prog");
    return parse_command_line(static_cast<int>(words.size()), words.data(), kKnown);
}

TEST(ParseInt, TakesDecimalHexAndBoundsButNothingAround) {
    EXPECT_EQ(parse_int("42", 0, 100, "n"), 42);
    EXPECT_EQ(parse_int("0x10", 0, 100, "n"), 16);
    EXPECT_EQ(parse_int("-5", -5, 5, "n"), -5);
    EXPECT_EQ(parse_int("4294967295", 0, 0xFFFFFFFFll, "n"), 0xFFFFFFFFll);
    for (const char *bad : {"", " 1", "1 ", "1x", "abc", "101", "-1", "99999999999999999999"})
        EXPECT_THROW(parse_int(bad, 0, 100, "n"), UsageError) << bad;
    EXPECT_EQ(usage_message([] { parse_int("70000", 0, 65535, "--version"); }),
              "--version must be a whole number from 0 to 65535, not '70000'");
}

TEST(ParseDouble, TakesDecimalsWithinBounds) {
    EXPECT_DOUBLE_EQ(parse_double("35.2", -40, 125, "t"), 35.2);
    EXPECT_DOUBLE_EQ(parse_double("-40", -40, 125, "t"), -40);
    for (const char *bad : {"", " 1", "1x", "nan", "126", "-inf"})
        EXPECT_THROW(parse_double(bad, -40, 125, "t"), UsageError) << bad;
    EXPECT_EQ(usage_message([] { parse_double("200", -40, 125, "--temperature"); }),
              "--temperature must be a number from -40 to 125, not '200'");
}

TEST(CommandLine, OptionalValuesTakeOnlyWhatFits) {
    Args a = parse({"--version", "7", "--scene", "wall", "x"});
    EXPECT_EQ(a.value("--version"), "7");
    EXPECT_EQ(a.value("--scene"), "wall");
    EXPECT_EQ(a.words, std::vector<std::string>{"x"});
    a = parse({"--version", "list", "--scene", "--quiet"});
    EXPECT_EQ(a.value("--version", "none"), "");
    EXPECT_EQ(a.value("--scene", "none"), "");
    EXPECT_TRUE(a.has("--quiet"));
    EXPECT_EQ(a.words, std::vector<std::string>{"list"});
    EXPECT_EQ(usage_message([] { parse({"--out"}); }), "--out needs DIR");
    EXPECT_EQ(usage_message([] { parse({"--bogus"}); }), "unknown option --bogus");
}

// After "--" nothing is an option: a launcher hands those words to the program it starts.
TEST(CommandLine, WordsAfterTheSeparatorAreNotOptions) {
    const Args a = parse({"--quiet", "--", "lumox", "--out", "d", "-h"});
    EXPECT_EQ(a.after_separator, 3);
    EXPECT_EQ(a.words, (std::vector<std::string>{"lumox", "--out", "d", "-h"}));
    EXPECT_FALSE(a.has("--out"));
    EXPECT_FALSE(a.has("--help"));
    EXPECT_EQ(parse({"--quiet"}).after_separator, 0);
}

TEST(Help, ListsEveryOptionWithAHelpText) {
    const std::string help = options_help(kKnown);
    EXPECT_NE(help.find("--out DIR"), std::string::npos);
    EXPECT_NE(help.find("--scene [NAME]"), std::string::npos);
    EXPECT_EQ(help.find("--hidden"), std::string::npos);
}

}  // namespace
}  // namespace lumox_cmdline
