// Kalman filtering of the evaluation-kit distance image, pixel by pixel over the images of a
// stream (lumox/evk_calc.h). Mode 1: the simple filter with the fixed gain K; mode 2: the full
// filter with the pixel's running variance of its raw values; mode 3: the simple filter with a
// gain that falls as the pixel's value jumps (Kdiff / jump, at most the maximum gain).
//
// A pixel's first image after calculationEnableKalman (or a reset of the full filter) starts the
// simple filter's estimate, previous and last valid value at that image's value, so the first
// results are the measurement and not a fraction of it.
#pragma once

#include <cstdint>

#include "lumox/evk_calc.h"

namespace lumox::evk {

// Clears the per-pixel state of the filters (estimates, counters, sums).
void kalman_reset_state();

// A filter result as a phase: std::lround(v) clamped to 0..29999, worked out without the library
// call (NaN and values beyond the 64-bit range give 0, as lround's LONG_MIN does).
uint16_t kalman_phase(double v);

}  // namespace lumox::evk
