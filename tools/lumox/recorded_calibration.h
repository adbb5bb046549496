// The calibration a recording was made with, laid out as the calibration directory the library
// reads at open: the calibration files (unless the camera served its package at open, which the
// played camera serves again) and the lens file of the lens in force. The commands that decode a
// recording without its camera (convert, view --play) open the played camera on such a
// directory, so that they read the distances and the rays that were recorded.
#pragma once

#include <string>

#include "recording/recording.h"

namespace lumox_cli {

// The lens file's eleven lines (cx, cy, fx, fy, k1, k2, p1, p2, k3, width, height) of a lens
// record, every value exact.
std::string lens_file_text(const lx_lens_param &lens);

// Writes the recording's calibration files and lens file into dir (ending in '/'). False, with
// *error naming the file and the cause, when one cannot be written.
bool write_recorded_calibration(const lumox::recording::Header &header, const std::string &dir,
                                std::string *error);

}  // namespace lumox_cli
