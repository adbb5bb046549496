#include "evk/pixel_calculator.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "evk/config.h"
#include "evk/settings.h"

namespace lumox::evk {
namespace {

constexpr uint16_t kSaturatedSample = 4095;
constexpr int kPhaseUnits = 30000;
constexpr int kHalfTurn = 15000;

// The calculator registers: the pixel in work.
struct Calculator {
    int divider = 1;
    int min_amplitude = 0;
    int32_t dcs[4] = {};  // masked samples
    int memory_index = 0;
    int calibration_index = 0;
    int64_t arg1 = 0;
    int64_t arg2 = 0;
    bool saturated = false;
};

Calculator g_calc;

uint32_t both(uint16_t code) { return (static_cast<uint32_t>(code) << 16) | code; }

// The reserved code of the pixel in work, or 0 when it carries a measurement.
uint16_t fault_code() {
    if (saturationCheck()) return LUMOX_EVK_SATURATED;
    const auto &d = g_calc.dcs;
    if (adcOverflowCheck4DCS(static_cast<uint16_t>(d[0]), static_cast<uint16_t>(d[1]),
                             static_cast<uint16_t>(d[2]), static_cast<uint16_t>(d[3]))) {
        return LUMOX_EVK_ADC_OVERFLOW;
    }
    return 0;
}

bool outside_adc_range(uint16_t sample) {
    const auto &s = pixel_settings();
    return sample < s.adc_overflow_min || sample > s.adc_overflow_max;
}

int64_t squared_sum() { return g_calc.arg1 * g_calc.arg1 + g_calc.arg2 * g_calc.arg2; }

}  // namespace
}  // namespace lumox::evk

using namespace lumox::evk;

extern "C" {

LUMOX_API int calculatorInit(int divider) noexcept {
    g_calc.divider = divider > 0 ? divider : 1;
    g_calc.min_amplitude = pruGetMinAmplitude();
    return 0;
}

LUMOX_API void calculatorSetArgs2DCS(uint16_t dcs0, uint16_t dcs1, int memoryIndex,
                                     int calibrationIndex) noexcept {
    const unsigned mask = pixel_settings().pixel_mask;
    g_calc.saturated = saturationSet2DCS(dcs0, dcs1) != 0;
    const int32_t d0 = static_cast<int32_t>(dcs0 & mask);
    const int32_t d1 = static_cast<int32_t>(dcs1 & mask);
    // The overflow check looks at four slots; the two unused ones hold a value that always passes.
    const int32_t filler = pixel_settings().adc_overflow_min;
    g_calc.dcs[0] = d0;
    g_calc.dcs[1] = d1;
    g_calc.dcs[2] = filler;
    g_calc.dcs[3] = filler;
    g_calc.memory_index = memoryIndex;
    g_calc.calibration_index = calibrationIndex;
    if (is_epc635(configGetPartType())) {
        g_calc.arg2 = 2048 - d0 / 16;
        g_calc.arg1 = 2048 - d1 / 16;
    } else {
        g_calc.arg2 = 2048 - d0;
        g_calc.arg1 = 2048 - d1;
    }
}

LUMOX_API void calculatorSetArgs4DCS(uint16_t dcs0, uint16_t dcs1, uint16_t dcs2, uint16_t dcs3,
                                     int memoryIndex, int calibrationIndex) noexcept {
    const unsigned mask = pixel_settings().pixel_mask;
    g_calc.saturated = saturationSet4DCS(dcs0, dcs1, dcs2, dcs3) != 0;
    const uint16_t raw[4] = {dcs0, dcs1, dcs2, dcs3};
    for (int i = 0; i < 4; ++i) g_calc.dcs[i] = static_cast<int32_t>(raw[i] & mask);
    g_calc.memory_index = memoryIndex;
    g_calc.calibration_index = calibrationIndex;
    int64_t arg1 = g_calc.dcs[3] - g_calc.dcs[1];
    int64_t arg2 = g_calc.dcs[2] - g_calc.dcs[0];
    if (is_epc635(configGetPartType())) {
        arg1 >>= 4;
        arg2 >>= 4;
    }
    g_calc.arg1 = arg1;
    g_calc.arg2 = arg2;
}

LUMOX_API uint32_t calculatorGetDistAndAmpSine(void) noexcept {
    if (uint16_t code = fault_code()) return both(code);
    const int64_t q = squared_sum() / g_calc.divider / g_calc.divider;
    if (hysteresisUpdate(g_calc.memory_index, q) != 1) return both(LUMOX_EVK_LOW_AMPLITUDE);
    // Both arguments fit the table's integer range: 12-bit differences, or 16-bit shifted by 4.
    const int phase =
        (atan2_lut(static_cast<int>(g_calc.arg1), static_cast<int>(g_calc.arg2)) + kHalfTurn) %
        kPhaseUnits;
    return (static_cast<uint32_t>(fast_sqrt16(q)) << 16) | static_cast<uint32_t>(phase);
}

LUMOX_API uint16_t calculatorGetAmpSine(void) noexcept {
    if (uint16_t code = fault_code()) return code;
    const double amplitude = std::sqrt(static_cast<double>(squared_sum())) / g_calc.divider;
    return static_cast<uint16_t>(static_cast<int64_t>(amplitude));
}

// A pixel without any signal (both arguments 0) has no phase: it is reported as below the
// amplitude threshold instead of dividing by zero. A phase of a full turn is the phase 0.
LUMOX_API uint32_t calculatorGetDistAndAmpPN(void) noexcept {
    if (uint16_t code = fault_code()) return both(code);
    const int64_t a1 = std::llabs(g_calc.arg1);
    const int64_t a2 = std::llabs(g_calc.arg2);
    const auto amplitude = static_cast<uint16_t>((a1 + a2) / g_calc.divider);
    const int64_t squared = static_cast<int64_t>(amplitude) * amplitude;
    if (hysteresisUpdate(g_calc.memory_index, squared) != 1 || a1 + a2 == 0) {
        return both(LUMOX_EVK_LOW_AMPLITUDE);
    }
    const double share = static_cast<double>(a1) / static_cast<double>(a2 + a1);
    const int phase = static_cast<int>(share * kPhaseUnits + 0.5) % kPhaseUnits;
    return (static_cast<uint32_t>(amplitude) << 16) | static_cast<uint32_t>(phase);
}

LUMOX_API uint16_t calculatorGetAmpPN(void) noexcept {
    if (uint16_t code = fault_code()) return code;
    return static_cast<uint16_t>((std::llabs(g_calc.arg1) + std::llabs(g_calc.arg2)) /
                                 g_calc.divider);
}

// Above the upper threshold a pixel becomes valid, below the lower one invalid; in between it
// keeps its state, so a pixel near the minimum amplitude does not flicker.
LUMOX_API int hysteresisUpdate(int pixel, int64_t squaredAmplitude) noexcept {
    auto &s = pixel_settings();
    if (pixel < 0 || pixel >= kArrayPixels) return -1;
    uint8_t &state = s.hysteresis_state[static_cast<size_t>(pixel)];
    if (squaredAmplitude >= s.hysteresis_upper) {
        state = 1;
    } else if (squaredAmplitude < s.hysteresis_lower) {
        state = 0;
    }
    return state;
}

LUMOX_API int hysteresisIsEnabled(int pixel) noexcept {
    if (pixel < 0 || pixel >= kArrayPixels) return 0;
    return pixel_settings().hysteresis_state[static_cast<size_t>(pixel)];
}

LUMOX_API int saturationSet1DCS(uint16_t dcs0) noexcept {
    g_calc.saturated = dcs0 == kSaturatedSample;
    return g_calc.saturated ? 1 : 0;
}

LUMOX_API int saturationSet2DCS(uint16_t dcs0, uint16_t dcs1) noexcept {
    g_calc.saturated = dcs0 == kSaturatedSample || dcs1 == kSaturatedSample;
    return g_calc.saturated ? 1 : 0;
}

LUMOX_API int saturationSet4DCS(uint16_t dcs0, uint16_t dcs1, uint16_t dcs2,
                                uint16_t dcs3) noexcept {
    g_calc.saturated = dcs0 == kSaturatedSample || dcs1 == kSaturatedSample ||
                       dcs2 == kSaturatedSample || dcs3 == kSaturatedSample;
    return g_calc.saturated ? 1 : 0;
}

LUMOX_API int saturationCheck(void) noexcept {
    return g_calc.saturated && pixel_settings().saturation_enabled ? 1 : 0;
}

LUMOX_API int adcOverflowCheck1DCS(uint16_t dcs0) noexcept {
    return pixel_settings().adc_overflow_enabled && outside_adc_range(dcs0) ? 1 : 0;
}

LUMOX_API int adcOverflowCheck2DCS(uint16_t dcs0, uint16_t dcs1) noexcept {
    return pixel_settings().adc_overflow_enabled &&
                   (outside_adc_range(dcs0) || outside_adc_range(dcs1))
               ? 1
               : 0;
}

LUMOX_API int adcOverflowCheck4DCS(uint16_t dcs0, uint16_t dcs1, uint16_t dcs2,
                                   uint16_t dcs3) noexcept {
    return pixel_settings().adc_overflow_enabled &&
                   (outside_adc_range(dcs0) || outside_adc_range(dcs1) || outside_adc_range(dcs2) ||
                    outside_adc_range(dcs3))
               ? 1
               : 0;
}

}  // extern "C"
