// The last step of the distance and gray conversions: 16-bit values widened to floats in the
// caller's buffer, a vector at a time, compiled by Highway for every target and dispatched at
// run time.
#pragma once

#include <cstdint>

namespace lumox::api {

// The `pixels` 16-bit values at staging as floats at out (divided by 1000 for metres). out and
// staging may share a buffer when staging lies at least 2 x pixels bytes above out (the upper
// half of the float image): each vector of values is read before its floats are written, and
// those end below the values not yet read.
void widen(unsigned char *out, const unsigned char *staging, uint64_t pixels, bool metres);

}  // namespace lumox::api
