#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "lumox/image.h"
#include "support/temp_dir.h"

namespace {

// Independent reference: the angle in units of 30000 per turn, from double-precision atan2.
double reference_angle(double y, double x) {
    double a = std::atan2(y, x);
    if (a < 0) a += 2 * M_PI;
    return a * 30000.0 / (2 * M_PI);
}

TEST(Atan2, AxesDiagonalsAndQuadrants) {
    EXPECT_EQ(lx_math_atan2_i32(0, 5), 0);
    EXPECT_EQ(lx_math_atan2_i32(0, -5), 15000);
    EXPECT_EQ(lx_math_atan2_i32(0, 0), 0);
    EXPECT_EQ(lx_math_atan2_i32(5, 5), 3750);
    EXPECT_EQ(lx_math_atan2_i32(5, 0), 7500);
    EXPECT_EQ(lx_math_atan2_i32(5, -5), 11250);
    EXPECT_EQ(lx_math_atan2_i32(-5, -5), 18750);
    EXPECT_EQ(lx_math_atan2_i32(-5, 0), 22500);
    EXPECT_EQ(lx_math_atan2_i32(-5, 5), 26250);
    EXPECT_EQ(lx_math_atan2_i32(1, 1000), 5);
    EXPECT_EQ(lx_math_atan2_i32(-1, 1000), 29995);
}

TEST(Atan2, TableEntriesMatchDoublePrecision) {
    // With x = 4096 the index is y itself, so every table entry is reachable.
    for (int32_t k = 0; k < 4096; ++k) {
        const double expected = std::round(std::atan2(k, 4095.0) * 30000.0 / (2 * M_PI));
        ASSERT_EQ(lx_math_atan2_i32(k, 4096), static_cast<int32_t>(expected)) << "entry " << k;
    }
}

TEST(Atan2, StaysWithinTwoUnitsOfTheTrueAngleInEveryOctant) {
    for (int32_t y = -2047; y <= 2047; y += 13) {
        for (int32_t x = -2047; x <= 2047; x += 17) {
            const int32_t got = lx_math_atan2_i32(y, x);
            ASSERT_GE(got, 0);
            ASSERT_LT(got, 30000);
            if (x == 0 && y == 0) continue;
            double diff = std::fabs(got - reference_angle(y, x));
            diff = std::min(diff, 30000 - diff);
            ASSERT_LE(diff, 2.0) << "y=" << y << " x=" << x;
        }
    }
}

TEST(FastRoots, SquareRootCloseToExactOverAWideRange) {
    EXPECT_NEAR(lx_math_sqrtf(4.0f), 2.0f, 2.0f * 1.2e-7f);
    EXPECT_EQ(static_cast<int>(lx_math_sqrtf(0.0f)), 0);
    EXPECT_GT(lx_math_sqrtf(0.0f), 0.0f);

    double worst = 0;
    float worst_at = 0;
    for (float x = 1e-6f; x < 1e12f; x *= 1.0137f) {
        const double rel =
            std::fabs(lx_math_sqrtf(x) - std::sqrt(double{x})) / std::sqrt(double{x});
        if (rel > worst) {
            worst = rel;
            worst_at = x;
        }
    }
    RecordProperty("sqrt_max_relative_error", std::to_string(worst));
    std::printf("lx_math_sqrtf: largest relative error %.3g at %g\n", worst, worst_at);
    EXPECT_LT(worst, 2e-6) << "two Newton steps";
}

TEST(FastRoots, InverseSquareRootCloseToExact) {
    double worst = 0;
    float worst_at = 0;
    for (float x = 1e-6f; x < 1e12f; x *= 1.0137f) {
        const double exact = 1.0 / std::sqrt(double{x});
        const double rel = std::fabs(lx_math_inv_sqrtf(x) - exact) / exact;
        if (rel > worst) {
            worst = rel;
            worst_at = x;
        }
    }
    std::printf("lx_math_inv_sqrtf: largest relative error %.3g at %g\n", worst, worst_at);
    EXPECT_LT(worst, 2e-3) << "one Newton step";
    EXPECT_NEAR(lx_math_inv_sqrtf(4.0f), 0.5f, 1e-3f);
}

TEST(LutPrinter, PrintsExactlyTheStoredTable) {
    testing::internal::CaptureStdout();
    lx_math_lut_print_arctan2(4096);
    const std::string printed = testing::internal::GetCapturedStdout();
    const std::string stored =
        lumox::test::read_file(std::string(LUMOX_SOURCE_DIR) + "/src/lx/atan2_lut.inc");
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ(printed, stored);
    EXPECT_EQ(printed.substr(printed.size() - 14), "3750, \n    };\n");
}

TEST(LutPrinter, SmallAndEmptyTables) {
    testing::internal::CaptureStdout();
    lx_math_lut_print_arctan2(0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "#define ARCTAN2_LUT_NUM 0\n"
              "static const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n};\n");

    testing::internal::CaptureStdout();
    lx_math_lut_print_arctan2(3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "#define ARCTAN2_LUT_NUM 3\n"
              "static const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n"
              "0, 2214, 3750, \n};\n");
}

}  // namespace
