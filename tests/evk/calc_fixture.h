// Set-up of the pixel-calculation tests: the evaluation-kit fixture with the calculation's own
// state (modes, image geometry, filter state) back at its start values, and helpers that build
// frames in the sensor's read-out order and inject them as the next fetched frame.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "evk/calculation.h"
#include "evk/kalman.h"
#include "evk_fixture.h"
#include "lumox/evk.h"
#include "lx/simd.h"

namespace lumox::evk::test {

class CalcTest : public EvkTest {
  protected:
    CalcTest() {
        calc_modes() = CalcModes{};
        calc_image().width = 0;
        calc_image().height = 0;
        calc_image().calibrated_geometry = false;
        kalman_reset_state();
        imageCorrectionEnable(0);
        imageDifferenceInit();
        configEnableAddArg(0);
        calculationSetEnableDRNU(0);
        calibrationSetOffset(0);
        calculationFlimCalibration(0);
        calculationSetCorrectFlimOffset(1);
        calculationSetCorrectFlimGain(1);
        setCorrectGrayscaleOffset(1);
        setCorrectGrayscaleGain(1);
    }

    // Tests that run the kernels of each instruction set in turn may stop half-way.
    ~CalcTest() override { simd::force_target(0); }

    // Hands samples to the next frame fetch; the vector must outlive the fetch.
    void inject(std::vector<uint16_t> &samples) {
        image_ = {static_cast<uint32_t>(samples.size() * 2), samples.data()};
        pruSetImage(&image_);
    }

    // Geometry of a small two-half sensor: columns x (rows_per_half x 2).
    static void small_geometry(int columns, int rows_per_half) {
        pruSetSize(columns, rows_per_half);
    }

    pru_image image_{};
};

// Four DCS samples around mid-scale whose vector has the given phase (0..29999, the 15000
// half-turn shift of the calculation included) and amplitude.
inline void dcs_for_phase(int phase, int amplitude, uint16_t out[4]) {
    const double theta = (phase - 15000) * 2.0 * M_PI / 30000.0;
    const double c = amplitude * std::cos(theta);
    const double s = amplitude * std::sin(theta);
    out[0] = static_cast<uint16_t>(std::lround(2048 - c));
    out[1] = static_cast<uint16_t>(std::lround(2048 - s));
    out[2] = static_cast<uint16_t>(std::lround(2048 + c));
    out[3] = static_cast<uint16_t>(std::lround(2048 + s));
}

// The image row that raw row r of a two-half frame with h rows lands in.
inline int image_row_of_raw(int r, int h) { return r % 2 == 0 ? h / 2 - 1 - r / 2 : h / 2 + r / 2; }

}  // namespace lumox::evk::test
