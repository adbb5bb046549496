// The per-pixel calculator of the evaluation-kit pipeline: the samples of one pixel go in
// (calculatorSetArgs2DCS / 4DCS), distance and amplitude or a reserved code come out. Also the
// per-pixel amplitude hysteresis and the saturation and ADC overflow checks it applies
// (lumox/evk_calc.h).
//
// The exported functions keep the calculator registers of the one pixel in work; the sorted-data
// variants call them pixel after pixel.
#pragma once

#include <cstdint>
#include <cstring>

#include "lumox/evk_calc.h"

namespace lumox::evk {

// Square root of q by one step of the fast inverse square root, truncated to 16 bits.
inline uint16_t fast_sqrt16(int64_t q) {
    const float x = static_cast<float>(q);
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bits = 0x5F3759DFu - (bits >> 1);
    float y;
    std::memcpy(&y, &bits, sizeof y);
    y = y * (1.5f - 0.5f * x * y * y);
    return static_cast<uint16_t>(static_cast<int64_t>(y * x));
}

}  // namespace lumox::evk
