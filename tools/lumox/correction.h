// The calibration directory of a command, and the distance correction in force: the library
// chooses it (lumox_dev_use_best_correction) and says which it is and why.
#pragma once

#include <string>

#include "args.h"

#include "lumox/lumox.h"

namespace lumox_cli {

// Makes --calib DIR (created when missing) the library's calibration directory; call after the
// Session is made and before it opens the camera. False, with the reason printed, when DIR cannot
// be used.
bool use_calibration_dir(const std::string &dir);

// Switches on the best correction the open camera and its files allow; returns what is then in
// force. Every command that decodes calls it right after the open.
lumox_correction_state use_calibration(lumox_dev_t *dev);
// What is in force now (after --filter switches, for example).
lumox_correction_state correction_in_force(lumox_dev_t *dev);
// One line for the user: "per-pixel table on the host, from this camera's calibration in ...".
std::string describe(const lumox_correction_state &state);

// Where calibration files go when the command names no directory and the user has no cache
// directory: calib/ in the current directory (the library's own default would scatter
// backslash-named files).
constexpr const char *kDefaultCalibrationDir = "calib/";

}  // namespace lumox_cli
