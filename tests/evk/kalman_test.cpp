#include "evk/kalman.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "calc_fixture.h"
#include "evk/image_processing.h"
#include "lx/simd.h"
#include "support/targets.h"

namespace lumox::evk::test {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class KalmanTest : public CalcTest {
  protected:
    KalmanTest() {
        calc_image().width = 2;
        calc_image().height = 1;
        calculationInitKalman();
    }
    // Filters one image of two pixels and returns it.
    std::vector<uint16_t> filter(uint16_t a, uint16_t b) {
        std::vector<uint16_t> v = {a, b};
        uint16_t *data = v.data();
        calculationFalmanFiltering(&data);
        return v;
    }
};

TEST_F(KalmanTest, SimpleFilterSmoothsSmallStepsAndFollowsJumps) {
    calculationEnableKalman(1);
    calculationSetKalmanK(0.5);
    EXPECT_EQ(filter(1000, LUMOX_EVK_LOW_AMPLITUDE)[0], 1000);  // the first image is the value
    EXPECT_EQ(filter(1100, LUMOX_EVK_SATURATED), (std::vector<uint16_t>{1050, 65400}));
    EXPECT_EQ(filter(1100, 0)[0], 1075);
    EXPECT_EQ(filter(2000, 0)[0], 2000);  // beyond threshold 1: taken as it is

    // Switching modes starts every pixel afresh.
    calculationEnableKalman(1);
    EXPECT_EQ(filter(300, 0)[0], 300);
}

TEST_F(KalmanTest, FullFilterUsesTheRunningVarianceAndResetsOnOutliers) {
    calculationEnableKalman(2);
    EXPECT_EQ(filter(1000, 0)[0], 1000);
    EXPECT_EQ(filter(1010, 0)[0], 1010);
    // Variance 25 of 1010, 1020: gain 2 / 27.
    EXPECT_EQ(filter(1020, 0)[0], 1011);
    const auto jumped = filter(5000, 0)[0];
    EXPECT_EQ(jumped, 5000);
    EXPECT_EQ(filter(5004, 0)[0], 5004);  // restarted: no history to weigh against

    // The filter on its own: the estimate moves by the gain towards the value.
    calculationInitKalman();
    calculationEnableKalman(2);
    EXPECT_DOUBLE_EQ(calculationKalmanFilter(100.0, 1, 2.0, 0.0), 100.0);
    EXPECT_DOUBLE_EQ(calculationKalmanFilter(100.0, 1, 0.0, 0.0), 100.0);
    EXPECT_DOUBLE_EQ(calculationKalmanFilter(7.0, -1, 2.0, 0.0), 7.0);
}

TEST_F(KalmanTest, FullFilterWithCheckCountConfirmsAgainstTheLastValidValue) {
    calculationEnableKalman(2);
    calculationSetKalmanNumCheck(2);
    filter(1000, 0);
    const uint16_t second = filter(1010, 0)[0];
    EXPECT_GE(second, 1000);
    EXPECT_LE(second, 1010);
    EXPECT_LE(filter(1020, 0)[0], 1020);
}

TEST_F(KalmanTest, AdaptiveGainFallsWithTheJump) {
    calculationEnableKalman(3);
    calculationSetKalmanK(0.5);
    calculationSetKalmanKdiff(10.0);
    EXPECT_EQ(filter(1000, 0)[0], 1000);
    // Jump 100: gain 10 / 100.
    EXPECT_EQ(filter(1100, 0)[0], 1010);
    // No jump: the maximum gain.
    EXPECT_EQ(filter(1100, 0)[0], 1055);
}

TEST_F(KalmanTest, DiagnosticsForPixel4500AtPrintLevelTwo) {
    calc_image().width = 100;
    calc_image().height = 46;
    calculationEnableKalman(3);
    configSetPrint(2);
    std::vector<uint16_t> v(4600, 1000);
    uint16_t *data = v.data();
    CaptureStdout();
    calculationFalmanFiltering(&data);
    calculationFalmanFiltering(&data);
    const std::string out = GetCapturedStdout();
    configSetPrint(0);
    EXPECT_NE(out.find("set gK 4500: 0.1000 \n"), std::string::npos) << out;
    EXPECT_NE(out.find("print test 4500 NumCheck: 0 gThresholdCheck[4500]: 0  leastValid: "),
              std::string::npos);
}

}  // namespace
}  // namespace lumox::evk::test

namespace lumox::evk::test {
namespace {

TEST(KalmanPhase, RoundsAsLroundClamped) {
    // lround as x86-64 has it: a value whose rounding leaves the 64-bit range (and NaN) gives
    // LONG_MIN, which clamps to 0 (arm64's lround saturates instead; the filter's rounding is
    // the same on both).
    auto lround_clamped = [](double v) {
        if (!(v > -9223372036854775808.0 && v < 9223372036854775808.0)) return uint16_t{0};
        return static_cast<uint16_t>(std::clamp(std::lround(v), 0L, 29999L));
    };
    std::vector<double> values = {0.0,
                                  -0.0,
                                  0.5,
                                  -0.5,
                                  1.5,
                                  2.5,
                                  29998.5,
                                  29999.0,
                                  29999.5,
                                  30000.0,
                                  -29999.5,
                                  1e300,
                                  -1e300,
                                  0.49999999999999994,
                                  4503599627370495.5,
                                  9.2e18,
                                  -9.2e18,
                                  std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity()};
    for (int k = 0; k < 30001; ++k) {
        const double half = k + 0.5;
        values.push_back(half);
        values.push_back(std::nextafter(half, 0.0));
        values.push_back(std::nextafter(half, 1e9));
        values.push_back(k);
    }
    std::mt19937_64 rng(3);
    for (int i = 0; i < 100000; ++i) {
        values.push_back(static_cast<double>(rng() % 70000000) / 1000.0 - 20000.0);
    }
    for (const double v : values) EXPECT_EQ(kalman_phase(v), lround_clamped(v)) << v;
    EXPECT_EQ(kalman_phase(std::numeric_limits<double>::quiet_NaN()), 0);
}

}  // namespace
}  // namespace lumox::evk::test

namespace lumox::evk::test {
namespace {

// The one-pass average, filter and offset against imageAverage, calculationFalmanFiltering and
// calculationAddOffset run one after the other: images, filter state, sample counts, covariances
// and messages bit for bit over a sequence of images, in every mode and on every instruction set.
class FusedFilterTest : public CalcTest {
  protected:
    static constexpr int kWidth = 100;
    static constexpr int kHeight = 48;  // beyond the diagnostic pixel 4500
    static constexpr int kPixels = kWidth * kHeight;
    static constexpr int kFrames = 16;  // beyond the ten samples of the full filter's sigma

    FusedFilterTest() {
        calc_image().width = kWidth;
        calc_image().height = kHeight;
    }

    // Phases that wander by a little and now and then jump, with reserved codes, edge values and
    // values above the phase range that are no codes.
    static std::vector<std::vector<uint16_t>> sequence(uint32_t seed) {
        std::mt19937 rng(seed);
        std::vector<int> base(kPixels);
        for (int &b : base) b = static_cast<int>(rng() % 30000);
        std::vector<std::vector<uint16_t>> frames(kFrames, std::vector<uint16_t>(kPixels));
        for (auto &frame : frames) {
            for (int i = 0; i < kPixels; ++i) {
                const uint32_t r = rng();
                if (r % 40 == 0) base[i] = static_cast<int>(rng() % 30000);
                int v = base[i] + static_cast<int>(r % 41) - 20;
                if (r % 97 == 0) v = 29999;
                if (r % 89 == 0) v = 0;
                v = std::clamp(v, 0, 29999);
                static constexpr uint16_t kOthers[] = {LUMOX_EVK_LOW_AMPLITUDE,
                                                       LUMOX_EVK_SATURATED,
                                                       LUMOX_EVK_ADC_OVERFLOW,
                                                       30000,
                                                       65299,
                                                       65535};
                if ((r >> 8) % 23 == 0) v = kOthers[(r >> 16) % std::size(kOthers)];
                frame[static_cast<size_t>(i)] = static_cast<uint16_t>(v);
            }
        }
        return frames;
    }

    struct Run {
        std::vector<std::vector<uint16_t>> images;
        std::string messages;
        std::unique_ptr<KalmanState> state;  // 4.6 MB: not on the stack
        std::vector<uint32_t> samples;
        std::vector<float> covariance;
    };

    static Run run(const std::vector<std::vector<uint16_t>> &frames, int mode, int pictures,
                   int offset, bool fused) {
        calculationEnableKalman(mode);
        calculationInitKalman();
        imageSetNumberOfPicture(pictures);
        image_history_restart();
        calibrationSetOffset(offset);
        Run out;
        CaptureStdout();
        for (auto image : frames) {
            uint16_t *data = image.data();
            if (fused) {
                average_filter_offset(data, kPixels, pictures,
                                      pictures >= 2 ? average_previous(kPixels) : nullptr,
                                      static_cast<uint32_t>((offset % 30000 + 30000) % 30000));
            } else {
                imageAverage(&data);
                calculationFalmanFiltering(&data);
                calculationAddOffset(&data);
            }
            out.images.push_back(image);
        }
        out.messages = GetCapturedStdout();
        out.state = std::make_unique<KalmanState>(kalman_state());
        const PixelSettings &s = pixel_settings();
        out.samples.assign(s.kalman_samples.begin(), s.kalman_samples.begin() + kPixels);
        out.covariance.assign(s.kalman_covariance.begin(), s.kalman_covariance.begin() + kPixels);
        return out;
    }

    template <typename T, size_t N>
    static bool same_bits(const std::array<T, N> &a, const std::array<T, N> &b) {
        return std::memcmp(a.data(), b.data(), kPixels * sizeof(T)) == 0;
    }
};

TEST_F(FusedFilterTest, OnePassEqualsTheStagesInTurn) {
    uint32_t seed = 11;
    for (const int64_t target : lumox::test::vector_targets()) {
        lumox::test::ForcedTarget forced(target);
        for (int mode = 1; mode <= 3; ++mode) {
            for (int variant = 0; variant < 4; ++variant) {
                const int pictures = variant % 2 == 0 ? 4 : 1;
                const int offset = variant < 2 ? 0 : -12345;
                calculationSetKalmanNumCheck(variant >= 2 ? 2 : 0);
                calculationSetKalmanK(variant == 1 ? 0.5 : 0.1);
                calculationSetKalmanKdiff(variant == 3 ? 10.0 : 0.1);
                calculationSetKalmanThreshold(1, variant == 3 ? 15 : 500);
                calculationSetKalmanThreshold(2, variant == 1 ? 10 : 500);
                configSetPrint(variant);  // resets at 1, the diagnostic pixel at 2
                const auto frames = sequence(seed++);
                const auto want = run(frames, mode, pictures, offset, false);
                const auto got = run(frames, mode, pictures, offset, true);
                const std::string what = std::string(simd::target_name(target)) + " mode " +
                                         std::to_string(mode) + " variant " +
                                         std::to_string(variant);
                for (int f = 0; f < kFrames; ++f) {
                    ASSERT_EQ(got.images[f], want.images[f]) << what << " frame " << f;
                }
                EXPECT_EQ(got.messages, want.messages) << what;
                EXPECT_TRUE(same_bits(got.state->previous_raw, want.state->previous_raw)) << what;
                EXPECT_TRUE(same_bits(got.state->estimate, want.state->estimate)) << what;
                EXPECT_TRUE(same_bits(got.state->last_valid, want.state->last_valid)) << what;
                EXPECT_TRUE(same_bits(got.state->previous, want.state->previous)) << what;
                EXPECT_TRUE(same_bits(got.state->check, want.state->check)) << what;
                EXPECT_TRUE(same_bits(got.state->sum, want.state->sum)) << what;
                EXPECT_TRUE(same_bits(got.state->sum_squares, want.state->sum_squares)) << what;
                EXPECT_EQ(got.samples, want.samples) << what;
                EXPECT_EQ(0, std::memcmp(got.covariance.data(), want.covariance.data(),
                                         kPixels * sizeof(float)))
                    << what;
            }
        }
    }
    configSetPrint(0);
    calibrationSetOffset(0);
    imageSetNumberOfPicture(1);
    calculationEnableKalman(0);
}

}  // namespace
}  // namespace lumox::evk::test
