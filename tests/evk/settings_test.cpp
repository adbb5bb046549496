#include "evk/settings.h"

#include <gtest/gtest.h>

#include "evk_fixture.h"

namespace lumox::evk::test {
namespace {

class SettingsTest : public EvkTest {};

TEST_F(SettingsTest, InitialValues) {
    EXPECT_EQ(calculatorGetPixelMask(), 0xFFFu);
    EXPECT_EQ(adcOverflowGetMin(), 1);
    EXPECT_EQ(adcOverflowGetMax(), 4094);
    EXPECT_EQ(adcOverflowIsEnabled(), 0);
    EXPECT_EQ(saturationIsEnabled(), 0);
    EXPECT_DOUBLE_EQ(pixel_settings().kalman_q, 2.0);
    EXPECT_EQ(pixel_settings().kalman_threshold2, 500);
}

TEST_F(SettingsTest, HysteresisThresholdsAreSquares) {
    pixel_settings().hysteresis_state[5] = 1;
    hysteresisSetThresholds(100, 10);
    EXPECT_EQ(pixel_settings().hysteresis_upper, 10000);
    EXPECT_EQ(pixel_settings().hysteresis_lower, 8100);
    EXPECT_EQ(pixel_settings().hysteresis_state[5], 0);
    hysteresisUpdateThresholds(50);
    EXPECT_EQ(pixel_settings().hysteresis_lower, 1600);
}

TEST_F(SettingsTest, ClampedAndCoupledSetters) {
    imageSetNumberOfPicture(0);
    EXPECT_EQ(pixel_settings().averaged_pictures, 1);
    imageSetProcessing(9);
    EXPECT_EQ(pixel_settings().neighbour_processing, 3);
    calculationSetKalmanK(0.4);
    EXPECT_DOUBLE_EQ(pixel_settings().kalman_max_gain, 0.4);
    EXPECT_EQ(calculationSetKalmanThreshold(3, 1), -1);
    pixel_settings().kalman_samples[9] = 4;
    calculationEnableKalman(2);
    EXPECT_EQ(pixel_settings().kalman_samples[9], 0u);
    calculationInitKalman();
    EXPECT_FLOAT_EQ(pixel_settings().kalman_covariance[kArrayPixels - 1], 1.0f);
}

TEST_F(SettingsTest, PrintHonoursConditionAndLevel) {
    configSetPrint(1);
    testing::internal::CaptureStdout();
    print(1, 1, "a%d", 1);
    print(0, 0, "b");
    print(1, 2, "c");
    print_message("d%s\n", "!");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "a1d!\n");
    EXPECT_EQ(getVersion(), 20800);
    EXPECT_EQ(getMajor() * 10000 + getMinor() * 100 + getPatch(), getVersion());
}

}  // namespace
}  // namespace lumox::evk::test
