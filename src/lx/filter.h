// Depth filters on 16-bit images: helpers shared by the fixed-size kernels.
#pragma once

#include <cstdint>

namespace lumox {

// True when a fixed-size filter can run on a w x h image (both above 1); otherwise logs
// "[func]  wrong parameter:w/h=..." and returns false.
bool filter_size_ok(const char *func, int32_t w, int32_t h);

// Index of coordinate v clamped into 0..n-1: windows repeat the edge pixels.
inline int32_t clamp_index(int32_t v, int32_t n) { return v < 0 ? 0 : (v >= n ? n - 1 : v); }

}  // namespace lumox
