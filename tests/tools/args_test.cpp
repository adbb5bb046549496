// The lumox tool's argument parsing: every number is checked against what the call takes, and a
// line the tool cannot act on fails with one line that names what is wrong.

#include "args.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "command.h"

namespace lumox_cli {
namespace {

// Runs the tool on a command line and returns its exit status and what it wrote to stderr.
struct RunResult {
    int status;
    std::string err;
};
RunResult run(std::vector<const char *> words) {
    words.insert(words.begin(), "lumox");
    testing::internal::CaptureStderr();
    const int status = run_tool(static_cast<int>(words.size()), words.data());
    return {status, testing::internal::GetCapturedStderr()};
}

std::string usage_message(auto &&parse) {
    try {
        parse();
    } catch (const UsageError &e) {
        return e.what();
    }
    return "accepted";
}

TEST(ParseDevice, BusAndPortAreBytes) {
    const DeviceLocation at = parse_device("3:12");
    EXPECT_EQ(at.bus, 3);
    EXPECT_EQ(at.port, 12);
    for (const char *bad : {"4294967297:1", "1:256", "1", "1:", ":1", "1:2:3", "a:b", "-1:1"})
        EXPECT_THROW(parse_device(bad), UsageError) << bad;
}

TEST(ParseFilter, ValuesFitTheStepsArgument) {
    FilterSetting f = parse_filter("2=5");
    EXPECT_EQ(f.id, 2u);
    EXPECT_TRUE(f.enable);
    EXPECT_EQ(f.value, 5u);
    EXPECT_EQ(f.value_size, 1u);
    f = parse_filter("4=65535");
    EXPECT_EQ(f.value, 65535u);
    EXPECT_EQ(f.value_size, 2u);
    f = parse_filter("0=on");
    EXPECT_EQ(f.value_size, 0u);
    f = parse_filter("8=off");
    EXPECT_FALSE(f.enable);
    for (const char *bad : {"2=999", "1=256", "4=70000", "5=0x10000", "6=-1", "9=on", "3=on", "0=5",
                            "8=1", "2", "x=on", "2=many"})
        EXPECT_THROW(parse_filter(bad), UsageError) << bad;
}

TEST(ParseParam, IdsAreOneByteAndNamesResolve) {
    EXPECT_EQ(parse_param_id("12"), 12u);
    EXPECT_EQ(parse_param_id("frame_rate"), 12u);
    EXPECT_EQ(parse_param_id("LUMOX_PARAM_FRAME_RATE"), 12u);
    EXPECT_THROW(parse_param_id("999"), UsageError);
    EXPECT_THROW(parse_param_id("256"), UsageError);
    EXPECT_THROW(parse_param_id("no_such_param"), UsageError);
}

TEST(ParseParam, ValueMustFitItsLength) {
    ParamValue v = parse_param_value("0x1234", "2");
    EXPECT_EQ(v.len, 2);
    EXPECT_EQ(v.bytes[0], 0x34);
    EXPECT_EQ(v.bytes[1], 0x12);
    v = parse_param_value("-1", "");
    EXPECT_EQ(v.len, 4);
    EXPECT_EQ(v.bytes[3], 0xFF);
    EXPECT_EQ(parse_param_value("255", "1").bytes[0], 255);
    EXPECT_EQ(parse_param_value("-128", "1").bytes[0], 0x80);
    EXPECT_THROW(parse_param_value("256", "1"), UsageError);
    EXPECT_THROW(parse_param_value("-129", "1"), UsageError);
    EXPECT_THROW(parse_param_value("0x100000000", "4"), UsageError);
    EXPECT_THROW(parse_param_value("1", "5"), UsageError);
    EXPECT_THROW(parse_param_value("1", "0"), UsageError);
}

TEST(ParseRegisters, TheLastAddressStaysInRange) {
    RegisterSpan s = parse_register_span("2", "0xfffffffe", 2);
    EXPECT_EQ(s.target, 2);
    EXPECT_EQ(s.base, 0xFFFFFFFEu);
    EXPECT_EQ(parse_register_span("1", "0xffffffff", 1).base, 0xFFFFFFFFu);
    EXPECT_THROW(parse_register_span("2", "0xffffffff", 2), UsageError);
    EXPECT_THROW(parse_register_span("256", "0", 1), UsageError);
    EXPECT_THROW(parse_register_span("1", "0x100000000", 1), UsageError);
}

TEST(ParseCmap, BoundsAndStepsAreLimited) {
    const std::vector<std::string> none;
    const CmapRange d = parse_cmap(none);
    EXPECT_EQ(d.min_mm, 0);
    EXPECT_EQ(d.max_mm, 4000);
    EXPECT_EQ(d.steps, 40);
    const std::vector<std::string> three{"100", "200", "5"};
    EXPECT_EQ(parse_cmap(three).steps, 5);
    for (const std::vector<std::string> &bad :
         {std::vector<std::string>{"-2147483648", "2147483647", "2"},
          {"0", "4000", "200000000"},
          {"0", "4000", "0"},
          {"4000", "0"},
          {"5", "5"},
          {"100"}})
        EXPECT_THROW(parse_cmap(bad), UsageError) << bad[0];
}

TEST(ParseColourRange, MillimetresWithinTheDistanceRange) {
    const ColourRange r = parse_colour_range("500:3000");
    EXPECT_FLOAT_EQ(r.min, 0.5f);
    EXPECT_FLOAT_EQ(r.max, 3.0f);
    EXPECT_FLOAT_EQ(parse_colour_range("0:1500.5").max, 1.5005f);
    for (const char *bad : {"", "500", ":3000", "500:", "3000:500", "5:5", "-1:10", "0:60001",
                            "0:nan", "0:inf", "a:b", "500:3000x", " 1:2"})
        EXPECT_THROW(parse_colour_range(bad), UsageError) << bad;
}

TEST(CommandLine, OptionsAndWordsInAnyOrder) {
    const char *argv[] = {"lumox",    "--out", "d",         "depth", "--filter", "1=on",
                          "--filter", "2=3",   "--version", "7",     "x"};
    const Args a = parse_command_line(11, argv, options());
    EXPECT_EQ(a.words, (std::vector<std::string>{"depth", "x"}));
    EXPECT_EQ(a.value("--out"), "d");
    EXPECT_EQ(a.values("--filter"), (std::vector<std::string>{"1=on", "2=3"}));
    EXPECT_EQ(a.value("--version"), "7");
    const char *alone[] = {"lumox", "--version", "list"};
    EXPECT_EQ(parse_command_line(3, alone, options()).value("--version"), "");
    const char *missing[] = {"lumox", "capture", "--out"};
    EXPECT_THROW(parse_command_line(3, missing, options()), UsageError);
}

TEST(CommandTable, HelpListsEveryCommandAndOption) {
    const std::string help = help_text();
    for (const Command &c : commands()) EXPECT_NE(help.find(c.name), std::string::npos) << c.name;
    for (const OptionSpec &o : options()) EXPECT_NE(help.find(o.name), std::string::npos);
    // Every option a command names is one the parser knows.
    for (const Command &c : commands()) {
        std::string own = c.options;
        for (size_t at = 0; at < own.size();) {
            const size_t end = std::min(own.find(' ', at), own.size());
            const std::string name = own.substr(at, end - at);
            bool known = false;
            for (const OptionSpec &o : options()) known = known || name == o.name;
            EXPECT_TRUE(known) << c.name << " " << name;
            at = end + 1;
        }
    }
}

// Usage errors end the run before the library starts (no camera needed): exit status 2 and one
// line naming the fault, followed by the command's usage line only.
TEST(Dispatch, UsageErrorsNameTheFaultInOneLine) {
    const struct {
        std::vector<const char *> words;
        const char *message;
    } cases[] = {
        {{"param", "get", "999"}, "parameter id must be a whole number from 0 to 255, not '999'"},
        {{"param", "set", "999", "1"}, "parameter id must be"},
        {{"param", "set", "12", "256", "1"}, "a 1-byte value must be"},
        {{"atan2", "abc", "def"}, "Y must be a whole number"},
        {{"atan2", "x", "1"}, "Y must be a whole number from -524287 to 524287, not 'x'"},
        {{"atan2", "1"}, "atan2: too few arguments"},
        {{"cmap", "0", "4000", "200000000"}, "STEPS must be"},
        {{"depth", "--frames", "2", "--filter", "2=999"}, "--filter 2 value must be"},
        {{"depth", "--frames", "2", "--range", "3000:500"}, "--range MIN must be below MAX"},
        {{"convert", "r.h5", "--to", "png", "--range", "500"}, "--range needs MIN:MAX"},
        {{"capture", "--frames", "0"}, "--frames must be"},
        {{"capture"}, "--frames is required"},
        {{"capture", "--frames", "1", "--type", "1"}, "capture does not take --type"},
        {{"list", "--device", "4294967297:1"}, "--device bus must be"},
        {{"reg", "read", "2", "0xffffffff", "2"}, "the first of 2 register addresses must be"},
        {{"reg", "write", "1", "17", "256"}, "a sensor register value must be"},
        {{"reg", "write", "0", "0xffffffff", "1", "2"}, "the first of 2 register addresses"},
        {{"data", "upload", "f"}, "--type is required"},
        {{"firmware", "upgrade", "f", "--type", "1"}, "--version is required"},
        {{"param"}, "param needs one of: get, set"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"--bogus"}, "unknown option --bogus"},
        {{}, "no command given"},
    };
    for (const auto &c : cases) {
        const RunResult r = run(c.words);
        EXPECT_EQ(r.status, kExitUsage) << c.message;
        EXPECT_EQ(r.err.rfind(std::string("lumox: ") + c.message, 0), 0u) << r.err;
        EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
        EXPECT_EQ(r.err.find("commands:"), std::string::npos) << r.err;
    }
}

TEST(Dispatch, CommandsWithoutACameraRun) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(run({"atan2", "1", "0"}).status, kExitOk);
    EXPECT_EQ(run({"cmap", "0", "100", "2"}).status, kExitOk);
    EXPECT_EQ(run({"--version"}).status, kExitOk);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("7500\n", 0), 0u) << out;
    EXPECT_NE(out.find("    50 mm"), std::string::npos);
    EXPECT_NE(out.find("lumox "), std::string::npos);
}

}  // namespace
}  // namespace lumox_cli
