// Per-pixel gain and offset of the grayscale correction, loaded per sensor chip.
//
// File: path prefix + "grayscale_gain_offset_W%03i_C%03i.txt" (wafer id, chip id), plain text.
// Blank lines and lines starting with '#' are ignored; every other line is
//     x y gain offset
// with x in 0..327 and y in 0..251 (sensor array coordinates), gain and offset decimal numbers;
// a corrected gray value is value x gain + offset. Pixels the file does not list keep gain 1 and
// offset 0. A file that is missing, lists no pixel, or has a malformed line is refused and the
// table in use is kept (calculateLoadGrayscaleGainOffset returns -1).
#pragma once

#include <array>

#include "evk/settings.h"
#include "lumox/evk.h"

namespace lumox::evk {

struct GrayscaleCorrection {
    std::array<float, kArrayPixels> gain;
    std::array<float, kArrayPixels> offset;
};

// Indexed y x 328 + x.
const GrayscaleCorrection &grayscale_correction();

}  // namespace lumox::evk
