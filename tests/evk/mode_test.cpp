// Mode loading, the DCS-sum calibration points and per-mode registers on the in-memory sensor.
#include <cmath>

#include "evk_fixture.h"

namespace lumox::evk::test {
namespace {

using Mode = EvkTest;

TEST_F(Mode, TimeOfFlightLoadProgramsDcsAndIntegrationTime) {
    fake_.regs[146] = 0x47;
    chip_config().n_dcs_tof = 2;
    chip_config().integration_time_3d = 1200;
    EXPECT_EQ(configLoad(1, 32), 0);
    EXPECT_EQ(fake_.regs[146], 0x57);  // bits 4-5 = 1, the rest kept
    EXPECT_EQ(configGetCurrentMode(), 1);
    ASSERT_EQ(fake_.param_sets.size(), 2u);
    EXPECT_EQ(fake_.param_sets[0].first, 13u);  // time-of-flight mode sends the 3D time
    EXPECT_EQ(fake_.param_sets[0].second, (std::vector<uint8_t>{0xB0, 0x04}));
    EXPECT_EQ(fake_.param_sets[1].first, 10u);
    EXPECT_EQ(fake_.param_sets[1].second, (std::vector<uint8_t>{1}));
    EXPECT_EQ(configLoad(7, 32), 0);
    EXPECT_EQ(configGetCurrentMode(), 0);
    EXPECT_EQ(configSetDCS(5, 32), -1);
    EXPECT_EQ(configSetDCS(0, 32), -1);
}

TEST_F(Mode, DcsSumGainFromTwoCalibrationPoints) {
    configSetIntegrationTime3D(500);
    EXPECT_EQ(configSetAddArgMin(100), 100);
    configSetIntegrationTime3D(1500);
    EXPECT_EQ(configSetAddArgMax(600), 600);
    EXPECT_DOUBLE_EQ(configGetAddArgGain(), 0.5);
    // A second point at the same time does not determine a gain: the last one stays.
    EXPECT_EQ(configSetAddArgMin(300), 300);
    EXPECT_DOUBLE_EQ(configGetAddArgGain(), 0.5);
    EXPECT_TRUE(std::isfinite(configGetAddArgGain()));
}

TEST_F(Mode, GrayscaleRegistersDependOnThePart) {
    configSetPartType(3);
    configSetPartVersion(7);
    configSetDeviceAddress(32);
    EXPECT_EQ(configInitRegisters(1), 0);
    EXPECT_TRUE(fake_.writes.empty());
    EXPECT_EQ(configInitRegisters(2), 0);
    EXPECT_EQ(fake_.writes, (std::vector<RegWrite>{{209, 15}, {216, 15}, {136, 63}}));
    fake_.writes.clear();
    configSetPartType(2);
    configInitRegisters(2);
    EXPECT_EQ(fake_.writes, (std::vector<RegWrite>{{136, 63}}));
}

}  // namespace
}  // namespace lumox::evk::test
