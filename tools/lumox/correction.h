// Which distance correction an open camera's decode uses, and the choice a user expects: the
// per-pixel calibration whenever the camera's calibration files are there. The library leaves
// the per-pixel table off when it finds the files of an earlier run at open (it switches it on
// only after downloading them), so every command that decodes calls use_calibration() after the
// open.
#pragma once

#include <string>

#include "args.h"

#include "lumox/lumox.h"

namespace lumox_cli {

enum class Correction {
    kNone,      // the default linear calibration: no calibration of this camera
    kLinear,    // scale and offset fitted from the camera's calibration
    kHost,      // the per-pixel table, applied by the library
    kFirmware,  // the camera corrects every pixel before streaming (firmware 2.0 and later)
};

struct CalibrationState {
    bool files = false;           // the calibration files are in the calibration directory
    bool camera_package = false;  // the camera reports a valid calibration package
    Correction correction = Correction::kNone;
    std::string directory;
};

// Makes --calib DIR (created when missing) the library's calibration directory; call after the
// Session is made and before it opens the camera. False, with the reason printed, when DIR cannot
// be used.
bool use_calibration_dir(const std::string &dir);

// Where the calibration files of the open camera are and whether it carries a package.
CalibrationState calibration_state(lumox_dev_t *dev);
// Switches the per-pixel correction on when the files are there; returns what is then in force.
CalibrationState use_calibration(lumox_dev_t *dev);
// The state after an explicit --filter 1=on|off.
void note_drnu_filter(CalibrationState *state, bool on);
// One line for the user: "per-pixel table on the host (calib/...)".
std::string describe(const CalibrationState &state);

// Where calibration files go when the command names no directory: calib/ in the current
// directory (the library's own default would scatter backslash-named files).
constexpr const char *kDefaultCalibrationDir = "calib/";

}  // namespace lumox_cli
