// Kalman filtering of the evaluation-kit distance image, pixel by pixel over the images of a
// stream (lumox/evk_calc.h). Mode 1: the simple filter with the fixed gain K; mode 2: the full
// filter with the pixel's running variance of its raw values; mode 3: the simple filter with a
// gain that falls as the pixel's value jumps (Kdiff / jump, at most the maximum gain).
//
// A pixel's first image after calculationEnableKalman (or a reset of the full filter) starts the
// simple filter's estimate, previous and last valid value at that image's value, so the first
// results are the measurement and not a fraction of it.
#pragma once

#include <array>
#include <cstdint>

#include "evk/settings.h"
#include "lumox/evk_calc.h"

namespace lumox::evk {

// The per-pixel state of the filters besides the covariance and the sample counts of the
// settings.
struct KalmanState {
    std::array<double, kArrayPixels> previous_raw{};
    std::array<double, kArrayPixels> estimate{};
    std::array<double, kArrayPixels> last_valid{};
    std::array<double, kArrayPixels> previous{};  // last result of the full filter
    std::array<int, kArrayPixels> check{};
    std::array<double, kArrayPixels> sum{};
    std::array<double, kArrayPixels> sum_squares{};
};

const KalmanState &kalman_state();

// Clears the per-pixel state of the filters (estimates, counters, sums).
void kalman_reset_state();

// A filter result as a phase: std::lround(v) clamped to 0..29999, worked out without the library
// call (NaN and values beyond the 64-bit range give 0, as lround's LONG_MIN does).
uint16_t kalman_phase(double v);

// imageAverage (pictures >= 2 with previous, its previous picture; else none),
// calculationFalmanFiltering in its current mode (1 to 3) and calculationAddOffset with the offset
// reduced to 0..29999, in one pass over the pixels of the image. Results, filter state and
// diagnostics are those of the three stages run one after the other.
void average_filter_offset(uint16_t *image, int pixels, int pictures, uint16_t *previous,
                           uint32_t offset);

}  // namespace lumox::evk
