// The sine distances of the evaluation kit's default layout, many pixels a step: the vector
// kernel behind calculation.cpp's sorted variants, compiled by Highway for every target and
// dispatched at run time. Each lane does what SineCalculator does to its pixel.
#pragma once

#include <cstdint>

namespace lumox::evk {

// What the kernel needs, read once per frame.
struct SineArgs {
    const uint16_t *raw;
    int plane;
    bool pi;
    uint8_t *state;
    uint16_t *dist;
    uint16_t *amp;  // null without amplitudes
    int32_t *calibration;
    bool calibrated;
    int32_t mask;
    bool check_saturation;
    bool check_overflow;
    int32_t overflow_min;
    int32_t overflow_max;
    bool filler_outside;  // the overflow check fails on its unused slots (two DCS)
    int32_t upper;        // hysteresis thresholds clamped to the range of the squared sums
    int32_t lower;
    bool epc635;
    bool add_arg;
    int32_t add_threshold;
    bool fold;
    int32_t offset;
    const int *atan;
};

// Pixels a step of the kernel of the target the dispatch runs now; 0 where there is no vector
// target (the caller then goes pixel by pixel).
int sine_lanes();

// The pixels n .. n + count - 1 of one raw row, into image index index and on; count is a
// multiple of sine_lanes().
void sine_run(const SineArgs &args, int n, int index, int count);

}  // namespace lumox::evk
