// What a recording keeps of an open camera besides its frames: identity, parameters, calibration
// (package, files, lens) and capture settings, read through the public calls. The CLI's record
// command, the viewer's record button and Python's recording writer all describe a camera here.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "lumox/lumox.h"
#include "recording/recording.h"

namespace lumox::recording {

// The names of the files in a directory (empty when it cannot be listed).
std::set<std::string> list_directory(const std::string &dir);

// The library's path prefix as a directory path ("./" style, with a trailing '/').
std::string calibration_directory();

// Fills *header from the open camera. files_before: the calibration directory's files before the
// camera was opened (to tell whether the open fetched the calibration). filters: the processing
// switches applied, as "ID=VALUE|on|off". Fetching the calibration package switches the camera
// to its data-upload mode for one frame and back, and leaves the frame buffer set for that
// frame; it must run while the camera is not capturing.
bool describe_camera(lumox_dev_t *dev, const std::set<std::string> &files_before,
                     const std::vector<std::string> &filters, Header *header, std::string *error);

}  // namespace lumox::recording
