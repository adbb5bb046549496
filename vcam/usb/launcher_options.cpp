#include "vcam/usb/launcher_options.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace lumox::vcam {

namespace {

using lumox_cmdline::OptionSpec;
using lumox_cmdline::UsageError;

// An option's value as its entry in the table sees it.
struct OptionValue {
    std::string_view name;
    const std::string &text;

    long long number(long long lo, long long hi) const {
        return lumox_cmdline::parse_int(text, lo, hi, name);
    }
};

struct LauncherOption {
    OptionSpec option;
    void (*apply)(LauncherConfig &config, const OptionValue &value);
};

// "A:B", "A:" or ":B" into [first, end) with first < end.
void parse_frame_range(const OptionValue &value, PlaybackOptions &playback) {
    const std::string &text = value.text;
    const size_t colon = text.find(':');
    auto number = [&](const std::string &part, uint64_t &out) {
        if (!part.empty())
            out = static_cast<uint64_t>(lumox_cmdline::parse_int(
                part, 0, std::numeric_limits<long long>::max(), value.name));
    };
    if (colon != std::string::npos) {
        number(text.substr(0, colon), playback.first);
        number(text.substr(colon + 1), playback.end);
    }
    if (colon == std::string::npos || playback.first >= playback.end)
        throw UsageError(std::string(value.name) + " needs A:B with A < B, not '" + text + "'");
}

// "S" or "S@K": seconds after the start (a fraction allowed), camera index.
PlugStep plug_step(const OptionValue &value, bool plug_in) {
    const std::string &text = value.text;
    const size_t at = text.find('@');
    PlugStep step;
    step.plug_in = plug_in;
    step.at = std::chrono::milliseconds(
        std::llround(1000 * lumox_cmdline::parse_double(text.substr(0, at), 0, 1e6, value.name)));
    if (at != std::string::npos)
        step.camera = int(lumox_cmdline::parse_int(text.substr(at + 1), 0, 15, value.name));
    return step;
}

using Timing = PlaybackOptions::Timing;

constexpr LauncherOption kOptions[] = {
    {{"--cameras", OptionSpec::kValue, "N", "number of cameras (1-16, default 1)"},
     [](LauncherConfig &c, const OptionValue &v) { c.cameras = unsigned(v.number(1, 16)); }},
    {{"--bus", OptionSpec::kValue, "N", "bus number (0-127, default 1)"},
     [](LauncherConfig &c, const OptionValue &v) { c.bus = uint8_t(v.number(0, 127)); }},
    {{"--port", OptionSpec::kValue, "N",
      "port of the first camera (1-15, default 1; the next\nones follow)"},
     [](LauncherConfig &c, const OptionValue &v) { c.first_port = unsigned(v.number(1, 15)); }},
    {{"--full-speed", OptionSpec::kSwitch, nullptr, "cameras on full speed instead of high speed"},
     [](LauncherConfig &c, const OptionValue &) { c.camera.high_speed = false; }},
    {{"--busy-interface0", OptionSpec::kSwitch, nullptr,
      "interface 0 cannot be claimed (hosts fall back to 1)"},
     [](LauncherConfig &c, const OptionValue &) { c.camera.interface0_claimable = false; }},
    {{"--product", OptionSpec::kValue, "TEXT", "product string (default LXC660-E2-2.0.3)"},
     [](LauncherConfig &c, const OptionValue &v) { c.camera.camera.product = v.text; }},
    {{"--fps", OptionSpec::kValue, "N", "frame rate (parameter 12, 0-1000, default 20)"},
     [](LauncherConfig &c, const OptionValue &v) {
         c.camera.camera.frame_rate = uint32_t(v.number(0, 1000));
     }},
    {{"--unpaced", OptionSpec::kSwitch, nullptr, "stream as fast as the host reads"},
     [](LauncherConfig &c, const OptionValue &) { c.camera.camera.paced = false; }},
    {{"--segment-size", OptionSpec::kValue, "N", "data bytes per stream segment (default 153600)"},
     [](LauncherConfig &c, const OptionValue &v) {
         c.camera.camera.stream.segment_size = uint32_t(v.number(0, 0xFFFFF));
     }},
    {{"--frames-per-segment", OptionSpec::kValue, "N", "whole frames per segment (default 1)"},
     [](LauncherConfig &c, const OptionValue &v) {
         c.camera.camera.stream.frames_per_segment = uint16_t(v.number(0, 0xFFFF));
     }},
    {{"--no-data-checksum", OptionSpec::kSwitch, nullptr, "segments without the data checksum"},
     [](LauncherConfig &c, const OptionValue &) { c.camera.camera.stream.data_checksum = false; }},
    {{"--status-busy", OptionSpec::kValue, "N", "the first N status replies report busy"},
     [](LauncherConfig &c, const OptionValue &v) {
         c.status_busy = unsigned(v.number(0, 1000000));
     }},
    {{"--scene", OptionSpec::kOptionalWord, "NAME|FILE",
      "what the cameras look at (default room): wall[:MM] (a\n"
      "flat wall, default 2000 mm), box[:MM] (a wall with a\n"
      "box in front of it; --scene alone), room (floor, back\n"
      "wall, box, sphere, pillar), or a scene file (its\n"
      "format: README, \"Scene files\")"},
     [](LauncherConfig &c, const OptionValue &v) { c.scene = v.text.empty() ? "box" : v.text; }},
    {{"--wall", OptionSpec::kValue, "MM", "the same as --scene wall:MM (with --scene box: box:MM)"},
     [](LauncherConfig &c, const OptionValue &v) { c.wall_mm = uint32_t(v.number(0, 50000)); }},
    {{"--pattern", OptionSpec::kSwitch, nullptr,
      "frames hold a counter pattern instead of a scene"},
     [](LauncherConfig &c, const OptionValue &) { c.pattern = true; }},
    {{"--seed", OptionSpec::kValue, "N", "seed of the sensor noise (default 1)"},
     [](LauncherConfig &c, const OptionValue &v) { c.seed = uint32_t(v.number(0, 0xFFFFFFFF)); }},
    {{"--temperature", OptionSpec::kValue, "C",
      "sensor temperature in degC (-40 to 125, default 35.2;\n"
      "the illumination board runs 5.1 degC cooler); the phase\ndrifts with it"},
     [](LauncherConfig &c, const OptionValue &v) {
         c.temperature = lumox_cmdline::parse_double(v.text, -40, 125, v.name);
     }},
    {{"--truth", OptionSpec::kValue, "DIR", "write the ground truth of every frame into DIR"},
     [](LauncherConfig &c, const OptionValue &v) { c.truth_dir = v.text; }},
    {{"--calibration", OptionSpec::kSwitch, nullptr,
      "the cameras carry their sensor's calibration package\n"
      "(the default; firmware 2.0 and later apply it before\nstreaming)"},
     [](LauncherConfig &c, const OptionValue &) { c.calibration = true; }},
    {{"--no-calibration", OptionSpec::kSwitch, nullptr, "the cameras carry no calibration package"},
     [](LauncherConfig &c, const OptionValue &) { c.calibration = false; }},
    {{"--play", OptionSpec::kValue, "FILE",
      "one camera that is the camera of a recording (lumox\n"
      "record): its identity, parameters, calibration package\nand frames"},
     [](LauncherConfig &c, const OptionValue &v) { c.play = v.text; }},
    {{"--as-recorded", OptionSpec::kSwitch, nullptr,
      "play the frames at their recorded timing (the default)"},
     [](LauncherConfig &c, const OptionValue &) { c.playback.timing = Timing::kAsRecorded; }},
    {{"--rate", OptionSpec::kValue, "R", "play them at R frames per second (1-100000)"},
     [](LauncherConfig &c, const OptionValue &v) {
         c.playback.timing = Timing::kRate;
         c.playback.rate = uint32_t(v.number(1, 100000));
     }},
    {{"--loop", OptionSpec::kSwitch, nullptr, "start the recording again after its last frame"},
     [](LauncherConfig &c, const OptionValue &) { c.playback.loop = true; }},
    {{"--play-frames", OptionSpec::kValue, "A:B",
      "play only the recorded frames A to B - 1 (either may\nbe empty)"},
     [](LauncherConfig &c, const OptionValue &v) { parse_frame_range(v, c.playback); }},
    // Used by `lumox convert`: one byte on this descriptor per frame it has taken.
    {{"--play-credit-fd", OptionSpec::kValue, "FD", nullptr},
     [](LauncherConfig &c, const OptionValue &v) {
         c.playback.credit_fd = int(v.number(0, 1024));
     }},
    {{"--unplug-at", OptionSpec::kValue, "S[@K]",
      "pull camera K (from 0; default every camera) off the\n"
      "bus S seconds after COMMAND started (repeatable)"},
     [](LauncherConfig &c, const OptionValue &v) { c.plug_steps.push_back(plug_step(v, false)); }},
    {{"--replug-at", OptionSpec::kValue, "S[@K]",
      "plug it back in S seconds after the start: same port\n"
      "and serial, a new address (repeatable)"},
     [](LauncherConfig &c, const OptionValue &v) { c.plug_steps.push_back(plug_step(v, true)); }},
    {{"--help", OptionSpec::kSwitch, nullptr, "this text (also -h)"},
     [](LauncherConfig &c, const OptionValue &) { c.help = true; }},
};

std::vector<OptionSpec> specs() {
    std::vector<OptionSpec> all;
    for (const LauncherOption &o : kOptions) all.push_back(o.option);
    return all;
}

}  // namespace

LauncherConfig parse_launcher_command_line(int argc, const char *const *argv) {
    const lumox_cmdline::Args args = lumox_cmdline::parse_command_line(argc, argv, specs());
    LauncherConfig config;
    for (const auto &[name, text] : args.options) {
        for (const LauncherOption &o : kOptions)
            if (name == o.option.name) o.apply(config, OptionValue{name, text});
    }
    if (config.help) return config;
    for (const PlugStep &step : config.plug_steps) {
        if (step.camera >= static_cast<int>(config.cameras))
            throw UsageError("there is no camera " + std::to_string(step.camera) + " (--cameras " +
                             std::to_string(config.cameras) + ")");
    }
    if (args.after_separator == 0 || args.after_separator >= argc)
        throw UsageError("COMMAND is missing: lumox-vcam [options] -- COMMAND [ARGS...]");
    if (args.words.size() != static_cast<size_t>(argc - args.after_separator))
        throw UsageError("unexpected word '" + args.words.front() + "' before --");
    config.command = args.after_separator;
    return config;
}

std::string launcher_help() {
    return "usage: lumox-vcam [options] -- COMMAND [ARGS...]\n"
           "Runs COMMAND against virtual cameras (USB 111b:1238) on an emulated bus.\n" +
           lumox_cmdline::options_help(specs());
}

}  // namespace lumox::vcam
