#include "evk/config.h"

#include <gtest/gtest.h>

#include "evk_fixture.h"

namespace lumox::evk::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class ConfigTest : public EvkTest {};

TEST_F(ConfigTest, InitProgramsTheSensorInOrder) {
    configSetPartType(2);
    ASSERT_EQ(configInit(32), 0);
    // No calibration files: the frequency is never changed, so only the start-up writes appear.
    EXPECT_THAT(fake_.writes,
                ElementsAreArray(std::vector<RegWrite>{
                    {139, 2}, {174, 1}, {174, 1}, {113, 0}, {114, 0}, {115, 0}, {174, 4}}));
    EXPECT_EQ(chip_config().sequencer_version, 9);
    EXPECT_EQ(chip_config().g_z, -268);
    EXPECT_EQ(chip_config().enabled_drnu, 0);
    EXPECT_EQ(chip_config().enabled_drnu2, 0);
    EXPECT_EQ(calibrateGetWidth(), 320);
    EXPECT_EQ(calibrateGetHeight(), 240);
    EXPECT_EQ(pruGetNCols(), 320);
    EXPECT_EQ(pruGetNumberOfHalves(), 2);
}

TEST_F(ConfigTest, InitOnEpc635AddsItsTrimAndLimits) {
    fake_.regs[174] = 0x40;
    configSetPartType(4);
    configInit(32);
    EXPECT_THAT(
        fake_.writes,
        ElementsAreArray(std::vector<RegWrite>{
            {139, 2}, {174, 1}, {174, 1}, {203, 99}, {113, 0}, {114, 0}, {115, 0}, {174, 4}}));
    EXPECT_EQ(calculatorGetPixelMask(), 0xFFFFu);
    EXPECT_EQ(adcOverflowGetMin(), 16);
    EXPECT_EQ(adcOverflowGetMax(), 65503);
    EXPECT_EQ(calibrateGetWidth(), 160);
    EXPECT_EQ(calibrateGetHeight(), 60);
    EXPECT_EQ(pruGetNumberOfHalves(), 1);
}

TEST_F(ConfigTest, FrequencyTableFollowsTheSystemClock) {
    configInit(32);
    EXPECT_EQ(configGetSysClk(), 96000);
    EXPECT_THAT(chip_config().modulation_frequencies,
                ElementsAre(36000, 24000, 12000, 6000, 3000, 1500, 750));

    fake_.regs[129] = 0x10;  // divider exponent 1
    EXPECT_EQ(configGetSysClk(), 48000);
    fake_.regs[129] = 0xF0;  // only bits 4-5 count
    fake_.regs[130] = 0xE0 | 23;
    EXPECT_EQ(configGetSysClk(), 12000);
}

TEST_F(ConfigTest, ModulationFrequencySelectsDividerAndResendsIntegrationTime) {
    configInit(32);
    size_t before = fake_.writes.size();
    ASSERT_EQ(configSetModulationFrequency(0, 32), 0);
    EXPECT_THAT(fake_.writes_from(before), ElementsAre(RegWrite{133, 0}, RegWrite{128, 127}));
    EXPECT_EQ(configGetModulationFrequency(), 36000);
    ASSERT_EQ(fake_.param_sets.size(), 1u);
    EXPECT_EQ(fake_.param_sets[0].first, 13u);
    EXPECT_THAT(fake_.param_sets[0].second, ElementsAre(700 & 0xFF, 700 >> 8));

    before = fake_.writes.size();
    configSetModulationFrequency(6, 32);
    EXPECT_THAT(fake_.writes_from(before), ElementsAre(RegWrite{133, 31}, RegWrite{128, 63}));
    EXPECT_EQ(configGetModulationFrequency(), 750);
}

TEST_F(ConfigTest, OutOfTableFrequencyIndexBehavesAsIndexTwo) {
    configInit(32);
    size_t before = fake_.writes.size();
    configSetModulationFrequency(9, 32);
    EXPECT_THAT(fake_.writes_from(before), ElementsAre(RegWrite{133, 1}, RegWrite{128, 63}));
    EXPECT_EQ(configGetModulationFrequency(), 12000);
    EXPECT_EQ(configGetModFreqMode(), 9);

    configSetModulationFrequency(-1, 32);
    EXPECT_EQ(configGetModulationFrequency(), 12000);
}

TEST_F(ConfigTest, IntegrationTimeAboveRangeChangesNothing) {
    ASSERT_EQ(configSetIntegrationTime3D(1200), 0);
    int threshold = chip_config().dcs_sum_threshold;
    EXPECT_EQ(threshold, static_cast<int>(80 + (1200 - 150) * 0.10811));

    EXPECT_EQ(configSetIntegrationTime3D(4001), -1);
    EXPECT_EQ(configSetIntegrationTime3D(-5), -1);
    EXPECT_EQ(configGetIntegrationTime3D(), 1200);
    EXPECT_EQ(chip_config().dcs_sum_threshold, threshold);
    EXPECT_TRUE(fake_.writes.empty());
    EXPECT_TRUE(fake_.param_sets.empty());

    configSetIntegrationTime3D(100);
    EXPECT_EQ(chip_config().dcs_sum_threshold, 80);
}

TEST_F(ConfigTest, PseudoNoiseModeSendsTheIntegrationTime) {
    chip_config().current_mode = 1;
    configSetIntegrationTime3D(1000);
    ASSERT_EQ(fake_.param_sets.size(), 1u);
    EXPECT_THAT(fake_.param_sets[0].second, ElementsAre(1000 & 0xFF, 1000 >> 8));
}

TEST_F(ConfigTest, HdrTimesAreProgrammedAsMultiplierAndCounts) {
    fake_.regs[133] = 3;  // Tmod = 1e6 / (96000 / 4) ns = 41.667 ns
    EXPECT_NEAR(configGetTModClk(), 41.667, 1e-3);
    EXPECT_NEAR(configGetTPLLClk(), 10.4167, 1e-4);
    chip_config().integration_time_3d = 1000;
    chip_config().integration_time_3d_hdr = 100;
    configSetIntegrationTimesHDR();
    // M = 1, N = 23999 (0x5DBF), NH = 2399 (0x095F), each high byte first.
    EXPECT_THAT(fake_.writes,
                ElementsAreArray(std::vector<RegWrite>{
                    {160, 0x00}, {161, 0x01}, {162, 0x5D}, {163, 0xBF}, {158, 0x09}, {159, 0x5F}}));

    // A time beyond one multiplier unit (2730.67 us) needs M = 2.
    fake_.writes.clear();
    chip_config().integration_time_3d = 3000;
    configSetIntegrationTimesHDR();
    EXPECT_EQ(fake_.regs[161], 2);
    EXPECT_EQ((fake_.regs[162] << 8) | fake_.regs[163], 35999);
    EXPECT_EQ((fake_.regs[158] << 8) | fake_.regs[159], 1199);
}

TEST_F(ConfigTest, HdrStateProgramsNewIntegrationTimes) {
    fake_.regs[133] = 3;
    calculationEnableHDR(1);
    chip_config().integration_time_3d_hdr = 100;
    configSetIntegrationTime3D(1000);
    EXPECT_EQ((fake_.regs[162] << 8) | fake_.regs[163], 23999);
    EXPECT_TRUE(fake_.param_sets.empty());
}

TEST_F(ConfigTest, HdrSwitchRewritesPatternNibbles) {
    fake_.regs[133] = 3;
    for (int reg : {34, 37, 40, 43}) fake_.regs[reg] = 0xA7;
    fake_.regs[146] = 0x01;
    fake_.regs[148] = 0x01;

    EXPECT_EQ(configEnableHDR(5, 32), 1);
    EXPECT_EQ(fake_.regs[148], 0x81);
    EXPECT_EQ(fake_.regs[34], 0xA0);
    EXPECT_EQ(fake_.regs[37], 0xA5);
    EXPECT_EQ(fake_.regs[40], 0xAA);
    EXPECT_EQ(fake_.regs[43], 0xAF);
    EXPECT_EQ(fake_.regs[146], 0x09);

    EXPECT_EQ(configEnableHDR(0, 32), 0);
    EXPECT_EQ(fake_.regs[148], 0x01);
    EXPECT_EQ(fake_.regs[34], 0xA4);
    EXPECT_EQ(fake_.regs[37], 0xA1);
    EXPECT_EQ(fake_.regs[40], 0xAE);
    EXPECT_EQ(fake_.regs[43], 0xAB);
    EXPECT_EQ(fake_.regs[146], 0x01);
}

TEST_F(ConfigTest, AbsSwitchesBitsFourAndFive) {
    for (int reg : {34, 37, 40, 43}) fake_.regs[reg] = 0x85;
    configEnableABS(1, 32);
    for (int reg : {34, 37, 40, 43}) EXPECT_EQ(fake_.regs[reg], 0xB5) << reg;
    configEnableABS(0, 32);
    for (int reg : {34, 37, 40, 43}) EXPECT_EQ(fake_.regs[reg], 0x85) << reg;
    EXPECT_EQ(chip_config().abs_enabled, 0);
}

TEST_F(ConfigTest, IdentitySettersKeepTheChipType) {
    EXPECT_EQ(configSetPartType(2), 20);
    EXPECT_EQ(configSetPartVersion(3), 23);
    EXPECT_EQ(configSetWaferID(0x12345), 0x12345);
    EXPECT_EQ(configGetWaferID(), 0x2345);  // stored as 16 bits
}

TEST_F(ConfigTest, DrnuModeSetsTheOffsetPhase) {
    configInit(32);  // defaults: DRNU offset 8364 at 12000 kHz
    calculationSetEnableDRNU(2);
    // 149896229 / 120000 = 1249.1 -> 1249; 885000 / 1249 = 708.
    EXPECT_EQ(pixel_settings().offset_phase, 708 - 8364);
    EXPECT_EQ(pixel_settings().offset_phase_default, 708 - 8364);
    pixel_settings().offset_phase = 5;
    calculationSetEnableDRNU(0);
    EXPECT_EQ(pixel_settings().offset_phase, 708 - 8364);
    EXPECT_EQ(pixel_settings().drnu_mode, 0);
}

TEST_F(ConfigTest, BridgeFailuresDoNotStopTheStartUp) {
    fake_.fail_reg_io = true;
    testing::internal::CaptureStdout();
    EXPECT_EQ(configInit(32), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("reg write fail!"), std::string::npos);
    EXPECT_EQ(configGetSysClk(), 4000);  // registers read as 0
}

}  // namespace
}  // namespace lumox::evk::test
