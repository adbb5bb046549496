// The command set's own logic on the in-memory sensor: clamping, what each wrapper hands on, and
// failures reported as such.
#include <gtest/gtest.h>

#include <cmath>

#include "evk_fixture.h"

namespace lumox::evk::test {
namespace {

using Api = EvkTest;

TEST_F(Api, VerticalBinningKeepsAStrongerRowReduction) {
    EXPECT_EQ(apiSetRowReduction(2, 32), 2);
    EXPECT_EQ(apiEnableVerticalBinning(7, 32), 1);
    EXPECT_EQ(pruGetRowReduction(), 4);
    EXPECT_EQ(fake_.regs[148], 0x28);  // bit 5 and row reduction 2
    EXPECT_EQ(apiEnableVerticalBinning(0, 32), 0);
    EXPECT_EQ(pruGetRowReduction(), 1);
    EXPECT_EQ(fake_.regs[148], 0x00);
    EXPECT_EQ(apiEnableVerticalBinning(1, 32), 1);
    EXPECT_EQ(pruGetRowReduction(), 2);
}

TEST_F(Api, RegisterAccessReportsBridgeFailures) {
    unsigned char values[3] = {1, 2, 3};
    EXPECT_EQ(apiWriteRegister(40, 3, values, 32), 3);
    EXPECT_EQ(fake_.regs[41], 2);
    unsigned char read[3] = {};
    EXPECT_EQ(apiReadRegister(40, 3, read, 32), 3);
    EXPECT_EQ(read[2], 3);
    fake_.fail_reg_io = true;
    testing::internal::CaptureStdout();
    EXPECT_EQ(apiWriteRegister(40, 3, values, 32), -1);
    EXPECT_EQ(apiReadRegister(40, 3, read, 32), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(apiReadRegister(40, -1, read, 32), -1);
}

TEST_F(Api, SettingsReachTheConfigurationInTheirUnits) {
    EXPECT_EQ(apiSetMinAmplitude(10), 10);
    EXPECT_EQ(apiSetHysteresis(2), 0);
    EXPECT_EQ(pixel_settings().hysteresis_upper, 100);
    EXPECT_EQ(pixel_settings().hysteresis_lower, 64);

    EXPECT_EQ(apiSetDRNUDelay(3), 0);
    EXPECT_EQ(chip_config().drnu_delay, 3000);
    EXPECT_EQ(apiSetDRNUDiffTemp(0.7), 0);
    EXPECT_EQ(chip_config().drnu_diff_temp, 7);
    EXPECT_EQ(apiSetDRNUAverage(12), 12);
    EXPECT_EQ(apiPrint(0), 0);

    testing::internal::CaptureStdout();
    EXPECT_EQ(apiSetSpeedOfLight(299792458.0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "apiSetSpeedOflight: 299792458.00\n");
    EXPECT_DOUBLE_EQ(apiGetSpeedOfLightDev2(), 149896229.0);

    testing::internal::CaptureStdout();
    EXPECT_EQ(apiTest(70000), 70000 - 65536);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "test... ");
    EXPECT_EQ(apiGetVersion(), 20800);
}

TEST_F(Api, CorrectionSwitchesKeepTheirGettersInStep) {
    EXPECT_EQ(apiCorrectTemperature(1), 0);
    EXPECT_EQ(apiIsEnabledTemperatureCorrection(), 1);
    EXPECT_EQ(apiCorrectAmbientLight(1), 0);
    EXPECT_EQ(apiIsEnabledAmbientLightCorrection(), 1);
    EXPECT_EQ(apiCorrectDRNU(0), 0);
    EXPECT_EQ(apiIsEnabledDRNUCorrection(), 0);
    EXPECT_EQ(apiCorrectAmbientLight(0), 0);
    EXPECT_EQ(apiIsEnabledAmbientLightCorrection(), 0);
}

}  // namespace
}  // namespace lumox::evk::test
