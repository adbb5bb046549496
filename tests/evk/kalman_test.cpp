#include "evk/kalman.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "calc_fixture.h"

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
    auto lround_clamped = [](double v) {
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
