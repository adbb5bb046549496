// `lumox view`: opens a camera and serves the live viewer until interrupted.
#pragma once

#include <string>

namespace lumox::cli {

struct ViewCommand {
    std::string device;  // "BUS:PORT", or empty for the first camera
    std::string bind = "127.0.0.1";
    int port = 8080;     // 0: any free port (printed)
    std::string calib;   // calibration directory, or empty for the library's default
    std::string log;     // library log file, or empty for the default name
};

// Runs the viewer; returns the process exit status.
int run_view(const ViewCommand &cmd);

}  // namespace lumox::cli
