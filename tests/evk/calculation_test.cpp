#include "evk/calculation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "calc_fixture.h"
#include "evk/iterator.h"

namespace lumox::evk::test {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// A scene whose phase tells every pixel apart: columns step by 100, rows by 3000.
int scene_phase(int x, int y) { return 1000 + 100 * x + 3000 * y; }

int phase_distance(int a, int b) {
    const int d = std::abs(a - b) % 30000;
    return std::min(d, 30000 - d);
}

class CalculationTest : public CalcTest {
  protected:
    // Two halves, columns x rows image rows.
    void geometry(int columns, int rows, int dcs) {
        small_geometry(columns, rows / 2);
        pruSetDCS(dcs);
        columns_ = columns;
        rows_ = rows;
    }

    // Four planes in read-out order with the scene's phases at amplitude 300.
    std::vector<uint16_t> four_dcs_frame() {
        const int plane = columns_ * rows_;
        std::vector<uint16_t> frame(static_cast<size_t>(4 * plane));
        for (int n = 0; n < plane; ++n) {
            uint16_t d[4];
            dcs_for_phase(scene_phase(n % columns_, image_row_of_raw(n / columns_, rows_)), 300, d);
            for (int k = 0; k < 4; ++k) frame[static_cast<size_t>(k * plane + n)] = d[k];
        }
        return frame;
    }

    // Samples rounded to integers at amplitude 300 move the angle by up to ~10 units; the scene's
    // steps (100 per column, 3000 per row) stay far apart.
    void expect_scene(const uint16_t *image, int offset = 0) {
        for (int y = 0; y < rows_; ++y) {
            for (int x = 0; x < columns_; ++x) {
                EXPECT_LE(phase_distance(image[y * columns_ + x], scene_phase(x, y) + offset), 12)
                    << x << "," << y;
            }
        }
    }

    int columns_ = 0;
    int rows_ = 0;
};

TEST_F(CalculationTest, FourDcsVariantSortsDistanceAndAmplitude) {
    geometry(6, 4, 4);
    auto frame = four_dcs_frame();
    uint16_t *image = nullptr;
    inject(frame);
    ASSERT_EQ(calcDefPiDelayGetDataSorted(2, &image), 48);
    expect_scene(image);
    for (int i = 24; i < 48; ++i) EXPECT_NEAR(image[i], 300, 2) << i;
    EXPECT_EQ(calcImageWidth(), 6);
    EXPECT_EQ(calcImageHeight(), 4);

    inject(frame);
    ASSERT_EQ(calcDefPiDelayGetDataSorted(1, &image), 24);
    EXPECT_NEAR(image[0], 300, 1);
    inject(frame);
    EXPECT_EQ(calcDefPiDelayGetDataSorted(3, &image), -1);
    EXPECT_EQ(calcDefPiDelayGetDataSorted(0, nullptr), -1);
}

TEST_F(CalculationTest, TwoDcsVariantMeasuresAgainstMidScale) {
    geometry(4, 4, 2);
    const int plane = 16;
    std::vector<uint16_t> frame(2 * plane);
    for (int n = 0; n < plane; ++n) {
        uint16_t d[4];
        dcs_for_phase(scene_phase(n % 4, image_row_of_raw(n / 4, 4)), 300, d);
        frame[static_cast<size_t>(n)] = d[0];
        frame[static_cast<size_t>(plane + n)] = d[1];
    }
    inject(frame);
    uint16_t *image = nullptr;
    ASSERT_EQ(calcDefNoPiDelayGetDataSorted(0, &image), 16);
    expect_scene(image);
    inject(frame);
    ASSERT_EQ(calcPNDefNoPiDelayGetDataSorted(1, &image), 16);
}

// Dual MGX: the two gates sit in alternating row blocks, the pi-delayed pair in the second half of
// the frame. With pi delay the frame holds two DCS, without it one.
TEST_F(CalculationTest, DualMgxVariantsPairTheGates) {
    calculationEnableDualMGX(1);
    geometry(4, 8, 2);
    columns_ = 4;
    rows_ = 4;  // image rows: half the raw rows
    const int half = 32;
    const int block = 8;  // two halves x 4 columns
    std::vector<uint16_t> frame(2 * half);
    ReadoutIterator it;
    ASSERT_TRUE(it.init(half, 4, 8, 2, true));
    iterator_position p{};
    while (it.next(&p)) {
        uint16_t d[4];
        dcs_for_phase(scene_phase(p.column, p.row), 300, d);
        frame[static_cast<size_t>(p.memory)] = d[0];
        frame[static_cast<size_t>(p.memory + block)] = d[1];
        frame[static_cast<size_t>(half + p.memory)] = d[2];
        frame[static_cast<size_t>(half + p.memory + block)] = d[3];
    }
    uint16_t *image = nullptr;
    inject(frame);
    ASSERT_EQ(calcMGXPiDelayGetDataSorted(0, &image), 16);
    expect_scene(image);
    EXPECT_EQ(calcImageHeight(), 4);

    // One DCS: only the first half, two samples per pixel measured against mid-scale.
    pruSetDCS(1);
    std::vector<uint16_t> single(frame.begin(), frame.begin() + half);
    inject(single);
    ASSERT_EQ(calcMGXNoPiDelayGetDataSorted(2, &image), 32);
    inject(single);
    ASSERT_EQ(calcPNMGXNoPiDelayGetDataSorted(0, &image), 16);
}

// A pixel whose opposite samples do not add up to twice mid-scale loses all four samples.
TEST_F(CalculationTest, DcsSumCheckClearsImplausiblePixels) {
    geometry(2, 2, 4);
    std::vector<uint16_t> frame = {1748, 1000, 2048, 2048,  // dcs0 of pixels 0..3
                                   2048, 2048, 2048, 2048,  // dcs1
                                   2348, 1000, 2048, 2048,  // dcs2: pixel 1 sums to 2000
                                   2048, 2048, 2048, 2048};
    adcOverflowEnable(1);
    configEnableAddArg(1);
    configSetDcsAdd_threshold(100);
    inject(frame);
    uint16_t *image = nullptr;
    ASSERT_EQ(calcDefPiDelayGetDataSorted(2, &image), 8);
    EXPECT_EQ(image[0], 15000);
    EXPECT_NEAR(image[4], 300, 1);
    EXPECT_EQ(image[1], LUMOX_EVK_ADC_OVERFLOW);  // cleared to 0: below the ADC minimum

    configEnableAddArg(0);
    inject(frame);
    ASSERT_EQ(calcDefPiDelayGetDataSorted(0, &image), 4);
    EXPECT_LT(image[1], 30000);
}

TEST_F(CalculationTest, FrameTooLargeForThePixelStateIsRefused) {
    small_geometry(400, 150);  // 400 x 300 pixels: more than the sensor has
    std::vector<uint16_t> frame(400 * 300 * 4, 2048);
    inject(frame);
    uint16_t *image = nullptr;
    CaptureStdout();
    EXPECT_EQ(calcDefPiDelayGetDataSorted(0, &image), 0);
    EXPECT_NE(GetCapturedStdout().find("does not fit"), std::string::npos);
    EXPECT_NE(image, nullptr);
}

TEST_F(CalculationTest, DistancePathAddsTheOffsetAndKeepsCodes) {
    geometry(6, 4, 4);
    auto frame = four_dcs_frame();
    frame[3] = 4095;  // raw sample 3, image row 1
    saturationEnable(1);
    calibrationSetOffset(1000);
    inject(frame);
    uint16_t *image = nullptr;
    ASSERT_EQ(calculationDistanceSorted(&image), 24);
    EXPECT_EQ(image[1 * 6 + 3], LUMOX_EVK_SATURATED);
    image[1 * 6 + 3] = static_cast<uint16_t>(scene_phase(3, 1) + 1000);
    expect_scene(image, 1000);

    // DRNU mode 2 with the default offset: the reference distance's phase (708 at 12 MHz), whatever
    // offset was set; the offset is kept for later.
    calculationSetEnableDRNU(2);
    calibrationEnableDefaultOffset(1);
    calibrationSetOffset(5);
    inject(frame);
    ASSERT_EQ(calculationDistanceAndAmplitudeSorted(&image), 48);
    image[1 * 6 + 3] = static_cast<uint16_t>(scene_phase(3, 1) + 708);
    expect_scene(image, 708);
    EXPECT_EQ(calibrationGetOffset(), 5);
    EXPECT_NEAR(image[24], 300, 2);  // amplitudes carry no offset

    inject(frame);
    ASSERT_EQ(calculationAmplitudeSorted(&image), 24);
    EXPECT_NEAR(image[0], 300, 2);
}

TEST_F(CalculationTest, ModesChooseTheVariant) {
    geometry(4, 4, 2);
    std::vector<uint16_t> frame(32, 2048);
    frame[0] = 1748;  // arg2 300 at raw sample 0: image row 1, phase 15000
    calculationEnablePiDelay(0);
    EXPECT_EQ(calculationIsPiDelay(), 0);
    inject(frame);
    uint16_t *image = nullptr;
    ASSERT_EQ(calculationDistanceSorted(&image), 16);
    EXPECT_EQ(image[4], 15000);

    // Pseudo-noise: arg1 0 is a phase of 0.
    calculationEnablePN(1);
    EXPECT_EQ(calculationIsPN(), 1);
    inject(frame);
    ASSERT_EQ(calculationDistanceSorted(&image), 16);
    EXPECT_EQ(image[4], 0);
}

// The command set's pi-delay and dual-MGX switches set the frame's DCS count; the distance path
// picks the variant that reads exactly that frame.
TEST_F(CalculationTest, PiDelayAndDualMgxSwitchesMatchTheVariantsFrame) {
    small_geometry(4, 4);  // 4 x 8 pixels, 4 x 4 with dual MGX
    struct Step {
        int pi_delay;
        int dual_mgx;
        int dcs;
        int pixels;
    };
    for (const Step &step :
         {Step{1, 1, 2, 16}, Step{0, 1, 1, 16}, Step{0, 0, 2, 32}, Step{1, 0, 4, 32}}) {
        apiEnableDualMGX(step.dual_mgx, 32);
        apiEnablePiDelay(step.pi_delay, 32);
        ASSERT_EQ(pruGetNDCS(), step.dcs);
        std::vector<uint16_t> frame(static_cast<size_t>(4 * 8 * step.dcs), 2048);
        inject(frame);
        uint16_t *image = nullptr;
        CaptureStdout();
        EXPECT_EQ(calculationDistanceSorted(&image), step.pixels) << step.pi_delay << step.dual_mgx;
        EXPECT_EQ(GetCapturedStdout().find("wrong frame size"), std::string::npos);
    }
}

TEST_F(CalculationTest, GrayPlanesAreSortedWithCodes) {
    geometry(2, 2, 2);
    // Raw row 0 is image row 0 (upper half), raw row 1 image row 1.
    std::vector<uint16_t> frame = {100, 4095, 0x1234, 0, 7, 8, 9, 10};
    adcOverflowEnable(1);
    inject(frame);
    uint16_t *image = nullptr;
    ASSERT_EQ(calcBWSorted(&image), 8);
    const uint16_t expected[8] = {100, 65400, 0x234, 65500, 7, 8, 9, 10};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(image[i], expected[i]) << i;

    // Grayscale mode: the planes hold the signal above and below mid-scale.
    chip_config().current_mode = 2;
    std::vector<uint16_t> gray = {3000, 1000, 4095, 2048, 3000, 1000, 2000, 2100};
    inject(gray);
    ASSERT_EQ(calculationBWSorted(&image), 8);
    const uint16_t expected_gray[8] = {952, 0, 65400, 0, 0, 1048, 48, 0};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(image[i], expected_gray[i]) << i;
}

TEST_F(CalculationTest, UnsortedGrayClearsTheTopBitsOrSplitsAtMidScale) {
    geometry(2, 2, 1);
    std::vector<uint16_t> frame = {0xF123, 0x0ABC, 0x1800, 0x0FFF};
    inject(frame);
    uint16_t *image = nullptr;
    ASSERT_EQ(calculationBW(&image), 4);
    EXPECT_EQ(image[0], 0x123);
    EXPECT_EQ(image[1], 0xABC);
    EXPECT_EQ(image[3], 0xFFF);

    chip_config().current_mode = 2;
    inject(frame);
    ASSERT_EQ(calculationBW(&image), 4);
    EXPECT_EQ(image[0], 0);             // low plane, bit 11 clear
    EXPECT_EQ(image[1], 0xABC - 2048);  // low plane, bit 11 set
    EXPECT_EQ(image[2], 0);             // high plane at mid-scale
    EXPECT_EQ(image[3], 0);             // high plane above mid-scale
}

}  // namespace
}  // namespace lumox::evk::test
