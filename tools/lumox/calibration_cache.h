// Where a camera's calibration files are kept when a command names no directory: one directory
// per camera in the user's cache, so that a second command, tool or working directory finds the
// files instead of downloading the calibration again, and no directory is littered with them.
#pragma once

#include <optional>
#include <string>

#include "args.h"

namespace lumox_cli {

// $XDG_CACHE_HOME/lumox/SERIAL/ (default ~/.cache/lumox/SERIAL/) for the camera with that serial
// text (parameter 2): characters other than letters, digits, '.', '_' and '-' become '_', an
// empty serial is "unknown". Empty when neither $XDG_CACHE_HOME (absolute) nor $HOME is set.
std::string calibration_cache_dir(const std::string &serial);

// The cache directory of the camera at the location (or the first one), its serial read at the
// transport level; empty when the camera does not answer or there is no cache.
std::string camera_cache_dir(const std::optional<DeviceLocation> &where);

}  // namespace lumox_cli
