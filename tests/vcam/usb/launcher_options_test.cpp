// lumox-vcam's command line: the option table sets the launcher's configuration in the order the
// options are given, and a line it cannot act on is refused with one line naming the fault.
#include "vcam/usb/launcher_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumox::vcam {
namespace {

LauncherConfig parse(std::vector<const char *> words) {
    words.insert(words.begin(), "lumox-vcam");
    return parse_launcher_command_line(static_cast<int>(words.size()), words.data());
}

std::string refusal(std::vector<const char *> words) {
    try {
        parse(std::move(words));
    } catch (const lumox_cmdline::UsageError &e) {
        return e.what();
    }
    return "accepted";
}

TEST(LauncherOptions, SetTheConfigurationInOrder) {
    const LauncherConfig c = parse({"--cameras",
                                    "2",
                                    "--port",
                                    "3",
                                    "--product",
                                    "LXC660-E2-1.9.0",
                                    "--scene",
                                    "--no-calibration",
                                    "--calibration",
                                    "--temperature",
                                    "25.2",
                                    "--rate",
                                    "5",
                                    "--as-recorded",
                                    "--play-frames",
                                    "10:",
                                    "--play-credit-fd",
                                    "7",
                                    "--",
                                    "lumox",
                                    "--frames",
                                    "1"});
    EXPECT_EQ(c.cameras, 2u);
    EXPECT_EQ(c.first_port, 3u);
    EXPECT_EQ(c.camera.camera.product, "LXC660-E2-1.9.0");
    EXPECT_EQ(c.scene, "box");  // --scene alone
    EXPECT_TRUE(c.calibration);
    EXPECT_DOUBLE_EQ(c.temperature, 25.2);
    EXPECT_EQ(c.playback.timing, PlaybackOptions::Timing::kAsRecorded);
    EXPECT_EQ(c.playback.rate, 5u);
    EXPECT_EQ(c.playback.first, 10u);
    EXPECT_EQ(c.playback.credit_fd, 7);
    EXPECT_EQ(c.command, 20);
    EXPECT_EQ(parse({"--scene", "wall:1500", "--", "true"}).scene, "wall:1500");
}

TEST(LauncherOptions, RefusesWhatItCannotActOn) {
    EXPECT_EQ(refusal({"--cameras", "0", "--", "true"}),
              "--cameras must be a whole number from 1 to 16, not '0'");
    EXPECT_EQ(refusal({"--play-frames", "5:5", "--", "true"}),
              "--play-frames needs A:B with A < B, not '5:5'");
    EXPECT_EQ(refusal({"--temperature", "hot", "--", "true"}),
              "--temperature must be a number from -40 to 125, not 'hot'");
    EXPECT_EQ(refusal({"--seed", "1"}).rfind("COMMAND is missing", 0), 0u);
    EXPECT_EQ(refusal({"--pattern", "--"}).rfind("COMMAND is missing", 0), 0u);
    EXPECT_EQ(refusal({"stray", "--", "true"}), "unexpected word 'stray' before --");
    EXPECT_EQ(refusal({"--frobnicate", "--", "true"}), "unknown option --frobnicate");
    EXPECT_TRUE(parse({"-h"}).help);
}

TEST(LauncherOptions, HelpListsTheOptions) {
    const std::string help = launcher_help();
    for (const char *name : {"--cameras N", "--scene [NAME|FILE]", "--play FILE", "--help"})
        EXPECT_NE(help.find(name), std::string::npos) << name;
    EXPECT_EQ(help.find("--play-credit-fd"), std::string::npos);
}

}  // namespace
}  // namespace lumox::vcam
