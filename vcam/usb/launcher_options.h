// The command line of `lumox-vcam [options] -- COMMAND...`: one table of the launcher's options
// (name, value, help, and how it sets the configuration) drives both the parsing and the help.
//
// Adding an option: one entry in kOptions (launcher_options.cpp) and, when it needs one, a field
// in LauncherConfig.
#pragma once

#include <cstdint>
#include <string>

#include "cmdline/options.h"
#include "vcam/playback.h"
#include "vcam/usb/bus.h"

namespace lumox::vcam {

struct LauncherConfig {
    uint8_t bus = 1;
    UsbCameraOptions camera;  // every camera's options but its port
    unsigned cameras = 1;
    unsigned first_port = 1;  // the next cameras follow on the next ports
    unsigned status_busy = 0;
    uint32_t seed = 1;
    uint32_t wall_mm = 0;  // 0: the scene's own distance
    bool calibration = true;
    bool pattern = false;
    std::string scene = "room";
    std::string truth_dir;
    double temperature = 35.2;  // degC of the sensor
    std::string play;           // a recording to play; empty: live cameras
    PlaybackOptions playback;
    bool help = false;
    int command = 0;  // argv index of COMMAND
};

// Reads the options before "--" and finds COMMAND after it. Throws lumox_cmdline::UsageError
// with a one-line reason when the line cannot be acted on (COMMAND missing included, unless
// --help is given).
LauncherConfig parse_launcher_command_line(int argc, const char *const *argv);

// The usage text, with one entry per option of the table.
std::string launcher_help();

}  // namespace lumox::vcam
