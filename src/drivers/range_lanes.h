// The range check of decoded distances, many pixels a step: the vector kernel behind the last
// step of the depth filter chain, compiled by Highway for every target and dispatched at run time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumox::drivers {

// Sets every distance at or beyond range or at or below 100 mm to `removed`, codes above 60000
// left alone, on whole vectors from pixel 0; returns where they end (the caller does the rest
// pixel by pixel).
size_t range_lanes(uint16_t *dist, size_t n, int32_t range, uint16_t removed);

}  // namespace lumox::drivers
