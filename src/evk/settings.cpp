#include "evk/settings.h"

#include <algorithm>
#include <cstdint>

#include "evk/config.h"
#include "evk/image_processing.h"
#include "evk/kalman.h"

namespace lumox::evk {

PixelSettings &pixel_settings() {
    static PixelSettings settings;
    return settings;
}

int drnu_reference_phase(int frequency_khz) {
    if (frequency_khz <= 0) return 0;
    double s = kHalfSpeedOfLight / (static_cast<double>(frequency_khz) * 10.0);
    auto s16 = static_cast<uint16_t>(static_cast<int64_t>(s));
    if (s16 == 0) return 0;
    return static_cast<int>(885000.0 / s16);
}

int default_phase_offset(int frequency_khz, int drnu_offset) {
    const int64_t d = static_cast<int64_t>(drnu_reference_phase(frequency_khz)) - drnu_offset;
    return static_cast<int>(std::clamp<int64_t>(d, INT32_MIN, INT32_MAX));
}

}  // namespace lumox::evk

using lumox::evk::pixel_settings;

extern "C" {

LUMOX_API int calculatorSetPixelMask(unsigned int mask) noexcept {
    pixel_settings().pixel_mask = mask;
    return 0;
}

LUMOX_API unsigned int calculatorGetPixelMask(void) noexcept { return pixel_settings().pixel_mask; }

LUMOX_API int adcOverflowSetMin(int value) noexcept {
    pixel_settings().adc_overflow_min = value;
    return 0;
}

LUMOX_API int adcOverflowSetMax(int value) noexcept {
    pixel_settings().adc_overflow_max = value;
    return 0;
}

LUMOX_API int adcOverflowEnable(int flag) noexcept {
    pixel_settings().adc_overflow_enabled = flag != 0;
    return 0;
}

LUMOX_API int adcOverflowGetMin(void) noexcept { return pixel_settings().adc_overflow_min; }
LUMOX_API int adcOverflowGetMax(void) noexcept { return pixel_settings().adc_overflow_max; }
LUMOX_API int adcOverflowIsEnabled(void) noexcept {
    return pixel_settings().adc_overflow_enabled ? 1 : 0;
}

LUMOX_API int saturationEnable(int flag) noexcept {
    pixel_settings().saturation_enabled = flag != 0;
    return 0;
}

LUMOX_API int saturationIsEnabled(void) noexcept {
    return pixel_settings().saturation_enabled ? 1 : 0;
}

LUMOX_API int saturationSetSaturationBit(int) noexcept { return 0; }

LUMOX_API int hysteresisSetThresholds(int minimum, int hysteresis) noexcept {
    auto &s = pixel_settings();
    s.hysteresis = hysteresis;
    int64_t low = static_cast<int64_t>(minimum) - hysteresis;
    s.hysteresis_upper = static_cast<int64_t>(minimum) * minimum;
    s.hysteresis_lower = low * low;
    s.hysteresis_state.fill(0);
    return 0;
}

LUMOX_API int hysteresisUpdateThresholds(int minimum) noexcept {
    return hysteresisSetThresholds(minimum, pixel_settings().hysteresis);
}

LUMOX_API int calculationEnableKalman(int mode) noexcept {
    auto &s = pixel_settings();
    s.kalman_mode = mode;
    s.kalman_samples.fill(0);
    // Estimates of an earlier mode do not carry over.
    lumox::evk::kalman_reset_state();
    return 0;
}

LUMOX_API int calculationSetKalmanK(double k) noexcept {
    pixel_settings().kalman_k = k;
    pixel_settings().kalman_max_gain = k;
    return 0;
}

LUMOX_API int calculationSetKalmanKdiff(double kdiff) noexcept {
    pixel_settings().kalman_kdiff = kdiff;
    return 0;
}

LUMOX_API int calculationSetKalmanQ(double q) noexcept {
    pixel_settings().kalman_q = q;
    return 0;
}

LUMOX_API int calculationSetKalmanThreshold(int which, int value) noexcept {
    if (which == 1) {
        pixel_settings().kalman_threshold1 = value;
    } else if (which == 2) {
        pixel_settings().kalman_threshold2 = value;
    } else {
        return -1;
    }
    return 0;
}

LUMOX_API int calculationSetKalmanNumCheck(int count) noexcept {
    pixel_settings().kalman_num_check = count;
    return 0;
}

// The error covariance of every pixel starts at 1.
LUMOX_API int calculationInitKalman(void) noexcept {
    pixel_settings().kalman_covariance.fill(1.0f);
    return 0;
}

LUMOX_API int calculationEnableHDR(int flag) noexcept {
    pixel_settings().hdr = flag != 0;
    return 0;
}

LUMOX_API int calculationIsHDR(void) noexcept { return pixel_settings().hdr ? 1 : 0; }

LUMOX_API int calculationIsDualMGX(void) noexcept { return pixel_settings().dual_mgx ? 1 : 0; }

LUMOX_API int imageSetNumberOfPicture(int count) noexcept {
    pixel_settings().averaged_pictures = count == 0 ? 1 : count;
    lumox::evk::image_history_restart();
    return 0;
}

LUMOX_API int imageSetProcessing(int mode) noexcept {
    pixel_settings().neighbour_processing = std::min(mode, 3);
    return 0;
}

LUMOX_API int imageDifferenceSetThreshold(int threshold) noexcept {
    pixel_settings().difference_threshold = threshold;
    pixel_settings().difference_reference_taken = false;
    return 0;
}

LUMOX_API int imageDifferenceInit(void) noexcept {
    pixel_settings().difference_reference_taken = false;
    lumox::evk::image_history_restart();
    return 0;
}

LUMOX_API int calculationSetEnableDRNU(int mode) noexcept {
    auto &s = pixel_settings();
    s.drnu_mode = mode;
    if (mode == 0) {
        s.offset_phase = s.offset_phase_default;
    } else {
        int offset = lumox::evk::drnu_reference_phase(configGetModulationFrequency()) -
                     calibrationGetOffsetDRNU();
        s.offset_phase_default = offset;
        s.offset_phase = offset;
    }
    return 0;
}

}  // extern "C"
