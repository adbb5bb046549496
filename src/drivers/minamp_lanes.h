// The minimum-amplitude filter, many pixels a step: the vector kernel behind
// feature_minamp_filter, compiled by Highway for every target and dispatched at run time.
#pragma once

#include <cstdint>

namespace lumox::drivers {

// The filter on whole vectors from pixel 0; returns where they end (the caller does the rest
// pixel by pixel). A pixel turns on at thr and off below thr - hyst (never when hyst reaches
// thr); while off its distance becomes `removed`. With hysteresis, mask holds each pixel's last
// decision (0 or 1) and is updated; without, it is not read.
uint32_t minamp_lanes(uint16_t *dist, const uint16_t *amp, uint8_t *mask, uint32_t n, uint16_t thr,
                      uint16_t hyst, bool hysteresis, uint16_t removed);

}  // namespace lumox::drivers
