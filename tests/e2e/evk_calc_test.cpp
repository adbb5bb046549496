// The evaluation kit's sorted distance and amplitude images from frames of a virtual camera: the
// camera renders a scene whose phase and amplitude tell every pixel apart, in the sensor's
// centre-out read-out order. The kit's images must show the scene at the right pixels, and agree
// with the EPC driver's own decode of the same frame once the kit's offset is taken off.

#include <cmath>
#include <span>
#include <vector>

#include "evk_camera_fixture.h"
#include "lumox/lumox.h"
#include "support/temp_dir.h"
#include "support/vcam_fixture.h"
#include "vcam/depth_sensor.h"

namespace lumox::test {
namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kPixels = kWidth * kHeight;
constexpr uint32_t kFrameBytes = 8 * kPixels;
constexpr int kOffset = 1234;

// Phase (0..29999, as the kit reports it before its offset) and amplitude of image pixel (x, y).
int scene_phase(int x, int y) { return (500 + 37 * x + 113 * y) % 30000; }
int scene_amplitude(int x, int y) { return 400 + (x + 3 * y) % 400; }

int phase_gap(int a, int b) {
    const int d = std::abs(a - b) % 30000;
    return std::min(d, 30000 - d);
}

// Raw row r of the frame holds image row 119 - r/2 (even r) or 120 + r/2 (odd r).
void render_scene(uint32_t, std::span<uint8_t> frame) {
    if (frame.size() < kFrameBytes) return;
    for (int i = 0; i < kPixels; ++i) {
        const int raw_row = i / kWidth;
        const int x = i % kWidth;
        const int y = raw_row % 2 == 0 ? kHeight / 2 - 1 - raw_row / 2 : kHeight / 2 + raw_row / 2;
        const double theta = (scene_phase(x, y) - 15000) * 2.0 * M_PI / 30000.0;
        const double a = scene_amplitude(x, y);
        const long c = std::lround(a * std::cos(theta));
        const long s = std::lround(a * std::sin(theta));
        const uint16_t dcs[4] = {static_cast<uint16_t>(2048 - c), static_cast<uint16_t>(2048 - s),
                                 static_cast<uint16_t>(2048 + c), static_cast<uint16_t>(2048 + s)};
        for (int k = 0; k < 4; ++k) {
            const size_t at = 2 * (static_cast<size_t>(k) * kPixels + static_cast<size_t>(i));
            frame[at] = static_cast<uint8_t>(dcs[k]);
            frame[at + 1] = static_cast<uint8_t>(dcs[k] >> 8);
        }
    }
}

class EvkCalc : public EvkCameraTest {
  protected:
    void SetUp() override {
        EvkCameraTest::SetUp();
        camera().set_renderer(render_scene);
        ASSERT_NE(epc_adapter_init(&dev_), 0);
        // The kit's modulation frequency is process-wide and an earlier test may have left it at
        // another one; the driver's decode works at the 12 MHz it was opened with.
        const uint16_t *freqs = apiGetModulationFrequencies();
        int index_12mhz = -1;
        for (int i = 0; i < configGetModFreqCount(); ++i)
            if (freqs[i] == 12000) index_12mhz = i;
        ASSERT_GE(index_12mhz, 0);
        ASSERT_EQ(apiSetModulationFrequency(index_12mhz, 32), 0);

        // A plain pipeline: four DCS, sine modulation, no filters, a known offset.
        calculationEnablePiDelay(1);
        calculationEnableDualMGX(0);
        calculationEnablePN(0);
        calculationSetEnableDRNU(0);
        calculationSetEnableTemperature(0);
        calculationEnableKalman(0);
        imageSetProcessing(0);
        imageSetNumberOfPicture(1);
        imageDifferenceSetThreshold(0);
        imageCorrectionEnable(0);
        saturationEnable(1);
        adcOverflowEnable(1);
        hysteresisSetThresholds(0, 0);
        calibrationSetOffset(kOffset);
    }
};

// The kit fetches its own frame from the camera: every pixel of the images is where the scene
// puts it.
TEST_F(EvkCalc, SortedImagesShowTheSceneAtItsPixels) {
    uint16_t *distance = nullptr;
    testing::internal::CaptureStdout();
    ASSERT_EQ(apiGetDistanceSorted(&distance), kPixels);
    std::vector<uint16_t> kept(distance, distance + kPixels);
    uint16_t *amplitude = nullptr;
    ASSERT_EQ(apiGetAmplitudeSorted(&amplitude), kPixels);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(lumox_cap_is_ongoing(&dev_));

    int worst_phase = 0;
    int worst_amplitude = 0;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const size_t i = static_cast<size_t>(y * kWidth + x);
            worst_phase = std::max(worst_phase, phase_gap(kept[i], scene_phase(x, y) + kOffset));
            worst_amplitude =
                std::max(worst_amplitude, std::abs(amplitude[i] - scene_amplitude(x, y)));
        }
    }
    // Samples rounded to integers move the angle by up to ~12 units at the smallest amplitude;
    // neighbouring pixels differ by 37 (columns) and 113 (rows).
    EXPECT_LE(worst_phase, 14);
    EXPECT_LE(worst_amplitude, 2);
}

// The same frame through the driver's decode (no calibration: phase x range / 30000 in mm) and
// through the kit: the phases agree once the kit's offset is taken off.
TEST_F(EvkCalc, PhasesAgreeWithTheDriversDecodeOfTheSameFrame) {
    std::vector<uint8_t> raw(kFrameBytes);
    lumox_frame_info info{};
    ASSERT_TRUE(lumox_cap_snapshot(&dev_, raw.data(), kFrameBytes, &info));
    ASSERT_EQ(info.frame_size, kFrameBytes);

    lumox_drv *drv = lumox_drv_find(&dev_);
    ASSERT_NE(drv, nullptr);
    // The driver decodes in whole millimetres of the unambiguous range at the camera's modulation
    // frequency.
    const int range = static_cast<int>(vcam::range_mm(camera().exposure().modulation_khz));
    ASSERT_GT(range, 0);
    std::vector<uint16_t> mm(kPixels), amp(kPixels), mm_sorted(kPixels), amp_sorted(kPixels);
    ASSERT_EQ(
        calc_dist_calib_none(drv, mm.data(), amp.data(), raw.data(), kWidth, kHeight, 4, 1000, 0),
        1);
    calc_dcs_sort(mm_sorted.data(), mm.data(), kWidth, kHeight);
    calc_dcs_sort(amp_sorted.data(), amp.data(), kWidth, kHeight);

    pru_image image{kFrameBytes, reinterpret_cast<uint16_t *>(raw.data())};
    pruSetImage(&image);
    uint16_t *both = nullptr;
    ASSERT_EQ(apiGetDistanceAndAmplitudeSorted(&both), 2 * kPixels);

    // One millimetre is 30000 / range units (about 2.4 at 12 MHz); the two arctangent tables may
    // differ by a unit or two on top.
    const int tolerance = static_cast<int>(30000 / range) + 4;
    int worst = 0;
    int worst_amplitude = 0;
    for (int i = 0; i < kPixels; ++i) {
        const size_t p = static_cast<size_t>(i);
        const int driver_phase = static_cast<int>(std::lround(mm_sorted[p] * 30000.0 / range));
        worst = std::max(worst, phase_gap(both[p] - kOffset, driver_phase));
        worst_amplitude = std::max(worst_amplitude, std::abs(both[kPixels + p] - amp_sorted[p]));
    }
    EXPECT_LE(worst, tolerance);
    // The kit's one-step square root is within 0.2 % of the driver's (about 1.6 at 800).
    EXPECT_LE(worst_amplitude, 2);
    // And both show the scene's structure: the top-left and bottom-right corners.
    EXPECT_LE(phase_gap(both[0] - kOffset, scene_phase(0, 0)), 14);
    EXPECT_LE(phase_gap(both[kPixels - 1] - kOffset, scene_phase(kWidth - 1, kHeight - 1)), 14);
}

// A saturated pixel of the camera reads 65400 at its image position, untouched by the offset.
TEST_F(EvkCalc, SaturatedPixelKeepsItsCodeAtItsPosition) {
    camera().set_renderer([](uint32_t f, std::span<uint8_t> frame) {
        render_scene(f, frame);
        // Raw sample 5 of the first DCS plane: raw row 0, column 5 is image pixel (5, 119).
        frame[10] = 0xFF;
        frame[11] = 0x0F;
    });
    uint16_t *distance = nullptr;
    testing::internal::CaptureStdout();
    ASSERT_EQ(apiGetDistanceSorted(&distance), kPixels);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(distance[119 * kWidth + 5], LUMOX_EVK_SATURATED);
    EXPECT_LE(phase_gap(distance[119 * kWidth + 6] - kOffset, scene_phase(6, 119)), 14);
}

}  // namespace
}  // namespace lumox::test
