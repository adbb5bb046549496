// A recording's calibration put back in place for a decode without the camera: the calibration
// files as they were when the recording was made, and the recorded lens in the lens file the
// library reads at open. `lumox convert`, the viewer's playback and Python under a played-back
// camera prepare their calibration directory with it, so that every door decodes a recording
// with the calibration and the lens it was made with.
#pragma once

#include <string>

#include "lumox/image.h"
#include "recording/recording.h"

namespace lumox::recording {

// The lens file's eleven lines (cx, cy, fx, fy, k1, k2, p1, p2, k3, width, height) of a lens
// record, every value exact.
std::string lens_file_text(const lx_lens_param &lens);

// Writes the recorded calibration into the directory dir (ending in '/'): the recorded files,
// unless the recording's open fetched them (then the opening library fetches the recorded
// package from the played-back camera again, as it did), and lens_param.txt from the recorded
// lens when there is one. False with *error naming the file that could not be written.
bool write_recorded_calibration(const Header &header, const std::string &dir, std::string *error);

}  // namespace lumox::recording
