#include "evk/atan2lut.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// Reference phase in 0..30000 from the double-precision arctangent.
double reference_phase(int y, int x) {
    double phase = std::atan2(static_cast<double>(y), static_cast<double>(x)) * 15000.0 / M_PI;
    return phase < 0 ? phase + 30000.0 : phase;
}

TEST(Atan2Lut, AxesAndDiagonals) {
    atan2lut_Init();
    EXPECT_EQ(atan2_lut(0, -5), 15000);
    EXPECT_EQ(atan2_lut(0, 5), 0);
    EXPECT_EQ(atan2_lut(0, 0), 0);
    EXPECT_EQ(atan2_lut(1, 1), 3750);
    EXPECT_EQ(atan2_lut(7, 0), 7500);
    EXPECT_EQ(atan2_lut(-7, 0), 22500);
    EXPECT_EQ(atan2_lut(5, -5), 11250);
    EXPECT_EQ(atan2_lut(-5, -5), 18750);
    EXPECT_EQ(atan2_lut(-5, 5), 26250);
}

TEST(Atan2Lut, FollowsTheArctangentAllAround) {
    atan2lut_Init();
    const double radius = 2000.0;
    for (int step = 0; step < 3600; ++step) {
        double angle = step * 2.0 * M_PI / 3600.0;
        int x = static_cast<int>(std::lround(radius * std::cos(angle)));
        int y = static_cast<int>(std::lround(radius * std::sin(angle)));
        int phase = atan2_lut(y, x);
        ASSERT_GE(phase, 0);
        ASSERT_LT(phase, 30000);
        double diff = std::fabs(phase - reference_phase(y, x));
        diff = std::min(diff, 30000.0 - diff);
        ASSERT_LE(diff, 3.0) << "y=" << y << " x=" << x;
    }
}

TEST(Atan2Lut, ExtremeInputsStayInRange) {
    int phase = atan2_lut(INT32_MIN, INT32_MIN);
    EXPECT_GE(phase, 0);
    EXPECT_LT(phase, 30000);
    EXPECT_NEAR(atan2_lut(INT32_MAX, 1), 7500, 1);
}

}  // namespace
