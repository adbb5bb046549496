// Settings of the evaluation-kit pixel calculation: pixel mask, ADC overflow and saturation
// checks, hysteresis, Kalman filter, averaging, neighbour processing, image difference and the DRNU
// correction mode with its offset phase. They live for the process; the exported setters above
// change them and the pixel calculation reads them through pixel_settings().
#pragma once

#include <array>
#include <cstdint>

#include "lumox/evk.h"

namespace lumox::evk {

// The epc660 pixel array; per-pixel state is sized for it whatever the region.
constexpr int kArrayWidth = 328;
constexpr int kArrayHeight = 252;
constexpr int kArrayPixels = kArrayWidth * kArrayHeight;

struct PixelSettings {
    unsigned pixel_mask = 0xFFF;
    int adc_overflow_min = 1;
    int adc_overflow_max = 4094;
    bool adc_overflow_enabled = false;
    bool saturation_enabled = false;

    int hysteresis = 0;
    int64_t hysteresis_upper = 0;  // minimum squared
    int64_t hysteresis_lower = 0;  // (minimum - hysteresis) squared
    std::array<uint8_t, kArrayPixels> hysteresis_state{};

    int kalman_mode = 0;
    double kalman_k = 0.1;
    double kalman_max_gain = 0.1;
    double kalman_kdiff = 0.1;
    double kalman_q = 2.0;
    int kalman_threshold1 = 500;
    int kalman_threshold2 = 500;
    int kalman_num_check = 0;
    std::array<float, kArrayPixels> kalman_covariance{};
    std::array<uint32_t, kArrayPixels> kalman_samples{};

    int averaged_pictures = 1;
    int neighbour_processing = 0;
    int difference_threshold = 0;
    bool difference_reference_taken = false;

    bool dual_mgx = false;
    // HDR state of the calculation: a new 3D integration time is then programmed as an HDR pair
    // and the automatic integration time stays off.
    bool hdr = false;

    int drnu_mode = 0;
    int offset_phase = 0;
    int offset_phase_default = 0;
    bool temperature_correction = false;
};

PixelSettings &pixel_settings();

// 885000 / trunc16(half the speed of light / (frequency_khz x 10)): the phase at the 295 mm
// reference distance of the DRNU calibration.
int drnu_reference_phase(int frequency_khz);
// The default phase offset: that reference phase less the offset of the DRNU parameter file,
// saturated to the range of an int (the file's offset is whatever the file holds).
int default_phase_offset(int frequency_khz, int drnu_offset);

}  // namespace lumox::evk
