// The evaluation kit's bad-pixel list: pixels of the full array, each with the neighbour whose
// value replaces it, and the working list of image indices for the current region of interest.
#pragma once

#include <cstdint>
#include <vector>

#include "lumox/evk.h"

namespace lumox::evk {

// Neighbour directions as coded in the list file; N is one row up, W one column left.
enum class Direction : uint8_t { W = 0, NW, N, NE, E, SE, S, SW };

struct BadPixel {
    int x;  // sensor array column
    int y;  // sensor array row
    Direction direction;
};

struct CorrectedPixel {
    int index;  // index into the image of the current geometry
    Direction direction;
};

const std::vector<BadPixel> &bad_pixels();
const std::vector<CorrectedPixel> &bad_pixel_corrections();
bool bad_pixels_enabled();

}  // namespace lumox::evk
