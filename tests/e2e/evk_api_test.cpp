// The evaluation kit's command set, read-out modes, FLIM timing, DLL and boot sequence against a
// virtual camera: what each call sends to the sensor is read back from the camera's register
// write log, and the frames the sensor then streams have the geometry the host expects.

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "evk_camera_fixture.h"
#include "lumox/lumox.h"
#include "support/temp_dir.h"
#include "support/vcam_fixture.h"
#include "testing/hooks.h"
#include "vcam/registers.h"

namespace lumox::test {
namespace {

using W = vcam::RegisterWrite;
constexpr int kAddr = 32;

// Waits of the boot and DLL procedures are counted, not slept.
std::atomic<uint64_t> g_slept_ms{0};
void count_sleep(uint32_t ms) { g_slept_ms += ms; }

class EvkApi : public EvkCameraTest {
  protected:
    void SetUp() override {
        EvkCameraTest::SetUp();
        previous_sleep_ = platform::set_sleep_hook(count_sleep);
        g_slept_ms = 0;
        ASSERT_NE(epc_adapter_init(&dev_), 0);
        // The evaluation-kit state is process-wide: start every test from the same modes.
        evk::set_current_mode(0);
        calculationEnablePiDelay(1);
        calculationEnableDualMGX(0);
        camera().clear_register_writes();
        g_slept_ms = 0;
    }

    void TearDown() override {
        platform::set_sleep_hook(previous_sleep_);
        EvkCameraTest::TearDown();
    }

    std::vector<W> writes() { return camera().register_writes(); }
    uint32_t reg(uint32_t address) { return camera().reg(1, address); }

    // Fetches one frame; true when it had the size the current geometry expects.
    bool fetch_matches(int expected_samples) {
        uint16_t *image = nullptr;
        testing::internal::CaptureStdout();
        int samples = pruGetImage(&image);
        std::string out = testing::internal::GetCapturedStdout();
        return samples == expected_samples && out.find("wrong frame size") == std::string::npos &&
               out.find(" get one frame #") != std::string::npos;
    }

    platform::SleepHook previous_sleep_ = nullptr;
};

TEST_F(EvkApi, ModulationFrequencyIndexOutsideTheTableChangesNothing) {
    ASSERT_EQ(configGetModFreqCount(), 7);
    const int mode = configGetModFreqMode();
    EXPECT_EQ(apiSetModulationFrequency(7, kAddr), -1);
    EXPECT_EQ(apiSetModulationFrequency(-1, kAddr), -1);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(configGetModFreqMode(), mode);

    EXPECT_EQ(apiSetModulationFrequency(3, kAddr), 0);
    EXPECT_EQ(configGetModulationFrequency(), 6000);
    EXPECT_EQ(reg(133), 3u);
    EXPECT_EQ(apiGetModulationFrequencies()[1], 24000);
}

TEST_F(EvkApi, ClampedArgumentsAndRowReductionKeepTheOtherBits) {
    camera().set_reg(1, 148, 0xF3);
    EXPECT_EQ(readOutSetRowReduction(2, kAddr), 0);
    EXPECT_EQ(writes(), (std::vector<W>{{1, 148, 0xFB}}));
    EXPECT_EQ(readOutSetRowReduction(4, kAddr), -1);

    camera().set_reg(1, 148, 0x00);
    EXPECT_EQ(apiSetRowReduction(9, kAddr), 3);
    EXPECT_EQ(reg(148), 0x0Cu);
    EXPECT_EQ(pruGetRowReduction(), 8);
    EXPECT_EQ(apiSetRowReduction(-2, kAddr), 0);
    EXPECT_EQ(reg(148), 0x00u);

    EXPECT_EQ(apiSelectMode(5, kAddr), 1);
    EXPECT_EQ(reg(146) & 0x40, 0x40u);
    EXPECT_EQ(calculationIsPN(), 1);
    EXPECT_EQ(apiSelectMode(-3, kAddr), 0);
    EXPECT_EQ(reg(146) & 0x40, 0u);
    EXPECT_EQ(calculationIsPN(), 0);
}

TEST_F(EvkApi, PolynomialSelectionWritesItsTapValue) {
    camera().set_reg(1, 146, 0x36);
    testing::internal::CaptureStdout();
    EXPECT_EQ(pnSelectPolynomial(0, 9, kAddr), 32743);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("i2cData[0] = 7F\ni2cData[1] = E7\n"), std::string::npos) << out;
    // Polynomial 1 into the low bits of 146 (the other bits stay), then 32743 = 0x7FE7.
    EXPECT_EQ(writes(), (std::vector<W>{{1, 146, 0x31}, {1, 140, 0x7F}, {1, 141, 0xE7}}));

    camera().clear_register_writes();
    testing::internal::CaptureStdout();
    EXPECT_EQ(apiSelectPolynomial(12, 2, kAddr), 301);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(reg(146) & 0x07, 7u);
    EXPECT_EQ((reg(140) << 8) | reg(141), 301u);
}

TEST_F(EvkApi, FlimTimersProgramTheirPairsAndSkipBits) {
    // Index of flimSetDelay -> first register of its pair and skip bit of register 47.
    const int pairs[8] = {0, 190, 188, 176, 178, 180, 182, 184};
    camera().set_reg(1, 47, 0xFE);
    for (int index = 1; index <= 7; ++index) {
        camera().clear_register_writes();
        ASSERT_EQ(flimSetDelay(index, 0x1235), 0) << index;
        const auto skip_cleared = static_cast<uint32_t>(reg(47) & (1u << index));
        EXPECT_EQ(skip_cleared, 0u) << index;
        EXPECT_EQ(reg(pairs[index]), 0x12u) << index;
        EXPECT_EQ(reg(pairs[index] + 1), 0x34u) << index;
    }
    camera().clear_register_writes();
    EXPECT_EQ(flimSetDelay(8, 5), -1);
    EXPECT_EQ(flimSetDelay(0, 5), -1);
    EXPECT_TRUE(writes().empty());

    camera().clear_register_writes();
    EXPECT_EQ(flimSetT1(1), 0);
    EXPECT_EQ(writes(), (std::vector<W>{{1, 47, 0x00}, {1, 176, 0}, {1, 177, 0}}));

    camera().clear_register_writes();
    EXPECT_EQ(flimSetT1(0), 0);  // part type 2 has skip bits
    EXPECT_EQ(writes(), (std::vector<W>{{1, 47, 0x08}}));

    configSetPartType(3);
    configSetIcVersion(2);
    camera().clear_register_writes();
    EXPECT_EQ(flimSetT1(0), -1);
    EXPECT_EQ(flimSetTREP(0x10000), -1);  // zero as 16 bits
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(flimSetT1(2), 0);  // no skip bit to clear on this chip
    EXPECT_EQ(writes(), (std::vector<W>{{1, 176, 0}, {1, 177, 1}}));
    configSetPartType(2);
}

TEST_F(EvkApi, RepetitionsAndFlimStep) {
    EXPECT_EQ(flimSetRepetitions(0), 0);
    EXPECT_EQ(writes(), (std::vector<W>{{1, 186, 0}, {1, 187, 0}}));
    EXPECT_EQ(flimGetRepetitions(), 0);
    camera().clear_register_writes();
    EXPECT_EQ(apiFLIMSetRepetitions(300), 299);
    EXPECT_EQ(writes(), (std::vector<W>{{1, 186, 0x01}, {1, 187, 0x2B}}));
    EXPECT_EQ(flimGetRepetitions(), 300);
    // 96 MHz system clock, divider 1: Tmod 20.833 ns -> 20833 ps.
    camera().set_reg(1, 133, 1);
    EXPECT_EQ(apiFLIMGetStep(), 20833);
}

TEST_F(EvkApi, IntegrationTime2DRangeAndTheCameraParameter) {
    const auto before = camera().param(vcam::kParamIntgTime);
    const int stored = configGetIntegrationTime2D();
    EXPECT_EQ(configSetIntegrationTime2D(1000001), -1);
    EXPECT_EQ(camera().param(vcam::kParamIntgTime), before);
    EXPECT_EQ(configGetIntegrationTime2D(), stored);

    EXPECT_EQ(apiSetIntegrationTime2D(1500), 0);
    EXPECT_EQ(camera().param(vcam::kParamIntgTime), (std::vector<uint8_t>{0xDC, 0x05}));
    EXPECT_EQ(configGetIntegrationTime2D(), 1500);
    // Longer than the parameter carries: the longest it can take, not a wrapped short time.
    EXPECT_EQ(configSetIntegrationTime2D(100000), 0);
    EXPECT_EQ(camera().param(vcam::kParamIntgTime), (std::vector<uint8_t>{0xFF, 0xFF}));

    EXPECT_EQ(configLoad(2, kAddr), 0);
    EXPECT_EQ(camera().param(vcam::kParamOpMode), (std::vector<uint8_t>{2}));
    EXPECT_EQ(configSetIntegrationTime2D(800), 0);  // grayscale mode: stored only
    EXPECT_EQ(camera().param(vcam::kParamIntgTime), (std::vector<uint8_t>{0xFF, 0xFF}));
    EXPECT_EQ(configGetIntegrationTime2D(), 800);
    EXPECT_EQ(configLoad(0, kAddr), 0);
    EXPECT_EQ(configGetCurrentMode(), 0);
}

TEST_F(EvkApi, PiDelayAndDualMgxSetTheDcsCount) {
    EXPECT_EQ(apiEnablePiDelay(1, kAddr), 1);
    EXPECT_EQ(pruGetNDCS(), 4);
    EXPECT_EQ((reg(146) >> 4) & 3, 3u);

    EXPECT_EQ(apiEnableDualMGX(1, kAddr), 1);
    EXPECT_EQ(pruGetNDCS(), 2);
    EXPECT_EQ(configGetDCS(), 2);
    EXPECT_EQ((reg(146) >> 4) & 3, 1u);
    EXPECT_EQ(reg(148) & 0x80, 0x80u);
    EXPECT_EQ(reg(34) & 0x0F, 4u);
    EXPECT_EQ(reg(37) & 0x0F, 14u);
    EXPECT_EQ(reg(34) & 0x30, 0x30u);  // ABS bits kept

    EXPECT_EQ(apiEnablePiDelay(0, kAddr), 0);
    EXPECT_EQ(pruGetNDCS(), 1);
    EXPECT_EQ((reg(146) >> 4) & 3, 0u);
    EXPECT_EQ(apiEnablePiDelay(1, kAddr), 1);
    EXPECT_EQ(pruGetNDCS(), 2);

    EXPECT_EQ(apiEnableDualMGX(0, kAddr), 0);
    EXPECT_EQ(pruGetNDCS(), 4);
    EXPECT_EQ(reg(148) & 0x80, 0u);
    EXPECT_EQ(reg(37) & 0x0F, 5u);
    EXPECT_TRUE(fetch_matches(320 * 4 * 120 * 2));
}

TEST_F(EvkApi, BinnedReadOutsStreamFramesOfTheirGeometry) {
    EXPECT_EQ(apiEnableHorizontalBinning(1, kAddr), 1);
    EXPECT_EQ(readOutIsHorizontalBinning(kAddr), 1);
    EXPECT_EQ(reg(148) & 0x11, 0x11u);
    EXPECT_EQ(apiEnableVerticalBinning(1, kAddr), 1);
    EXPECT_EQ(readOutIsVerticalBinning(kAddr), 1);
    EXPECT_EQ(pruGetRowReduction(), 2);
    EXPECT_TRUE(fetch_matches(160 * 4 * 60 * 2));

    EXPECT_TRUE(fetch_matches(160 * 4 * 60 * 2));  // the geometry holds from frame to frame

    EXPECT_EQ(apiSetRowReduction(2, kAddr), 2);
    EXPECT_TRUE(fetch_matches(160 * 4 * 30 * 2));

    apiEnableVerticalBinning(0, kAddr);
    apiEnableHorizontalBinning(0, kAddr);
    EXPECT_EQ(reg(148) & 0x3D, 0u);
    EXPECT_TRUE(fetch_matches(320 * 4 * 120 * 2));
}

TEST_F(EvkApi, DllLocksAndStoresTheAveragedControlValues) {
    camera().set_reg(1, 133, 3);
    const uint32_t mode_before = reg(146), control_before = reg(174);
    g_slept_ms = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(dllLockAutomatically(kAddr), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("INFO: DLL locked and matched 10 times"), std::string::npos) << out;

    EXPECT_EQ(dllGetCoarseCtrlExt(), vcam::kDllCoarse);
    EXPECT_LE(std::abs(dllGetFineCtrlExt() - vcam::kDllFine), 2);
    EXPECT_EQ((reg(166) << 8) | reg(167), static_cast<uint32_t>(dllGetFineCtrlExt()));
    EXPECT_EQ(reg(168), vcam::kDllCoarse);
    EXPECT_EQ(reg(146), mode_before);
    EXPECT_EQ(reg(174), control_before);
    // Every measurement waited through the sleep hook: 8050 us for divider 3.
    size_t triggers = 0;
    for (const W &w : writes()) triggers += w.address == vcam::kRegDllTrigger ? 1 : 0;
    EXPECT_GE(triggers, 11u);
    EXPECT_EQ(g_slept_ms.load(), triggers * 9);

    camera().clear_register_writes();
    testing::internal::CaptureStdout();
    EXPECT_EQ(dllBypassDLL(0, kAddr), 0);  // clears the bypass and locks again
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(reg(132), 15u);
    EXPECT_EQ(reg(172), 119u);
}

TEST_F(EvkApi, DllRefusesAnUnsupportedDivider) {
    camera().set_reg(1, 133, 2);
    EXPECT_EQ(dllLockAutomatically(kAddr), -1);
    EXPECT_EQ(dllInitialize(kAddr), -1);
    EXPECT_TRUE(writes().empty());
}

TEST_F(EvkApi, BootReadsTheIdentityAndSwitchesToNormalMode) {
    camera().set_reg(1, 126, 0x80);
    testing::internal::CaptureStdout();
    EXPECT_EQ(boot(), 32);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("deviceAddress = 0x20\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Switching to normal mode...\n"), std::string::npos) << out;
    const auto &chip = camera().config().chip;
    EXPECT_EQ(configGetPartType(), chip.part_type);
    EXPECT_EQ(configGetPartVersion(), chip.part_version);
    EXPECT_EQ(configGetIcVersion(), chip.ic_version);
    EXPECT_EQ(configGetWaferID(), chip.wafer_id);
    EXPECT_EQ(configGetChipID(), chip.chip_id);
    EXPECT_EQ(configGetDeviceAddress(), 32);

    std::vector<W> clock;
    for (const W &w : writes()) {
        if (w.address == 125 || w.address == 128) clock.push_back(w);
    }
    EXPECT_EQ(
        clock,
        (std::vector<W>{
            {1, 125, 159}, {1, 128, 0}, {1, 125, 148}, {1, 125, 132}, {1, 125, 4}, {1, 128, 63}}));
}

int g_queries = 0;
int never_answers(unsigned char reply[2]) {
    ++g_queries;
    reply[0] = 0x7F;
    return 0;
}

TEST_F(EvkApi, BootGivesUpAfterTenAttempts) {
    g_queries = 0;
    g_slept_ms = 0;
    auto previous = evk::set_device_query(never_answers);
    testing::internal::CaptureStdout();
    EXPECT_EQ(boot(), -1);
    testing::internal::GetCapturedStdout();
    evk::set_device_query(previous);
    EXPECT_EQ(g_queries, 10);
    EXPECT_EQ(g_slept_ms.load(), 10u * (500 + 1000));
    EXPECT_TRUE(writes().empty());
}

TEST_F(EvkApi, ChipInformationAndRegisterDump) {
    uint16_t record[8] = {};
    EXPECT_EQ(apiGetChipInfo(kAddr, record), 8);
    const auto &chip = camera().config().chip;
    const uint16_t expected[8] = {0x66,           chip.ic_version,   1, chip.wafer_id, chip.chip_id,
                                  chip.part_type, chip.part_version, 9};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(record[i], expected[i]) << i;

    uint16_t dump[256] = {};
    EXPECT_EQ(dumpAllRegisters(kAddr, dump), 256);
    EXPECT_EQ(dump[130], 23);
    EXPECT_EQ(dump[146], reg(146));
}

TEST_F(EvkApi, FlimPersonalityReadsTwoDcsAndTimeOfFlightComesBack) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(apiFLIM(), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(camera().config().chip.part_type, 2);
    EXPECT_EQ(configGetPartType(), 3);
    EXPECT_EQ(apiIsFLIM(), 1);
    EXPECT_EQ(isIlluminationEnabled(), 1);
    EXPECT_EQ(pruGetNDCS(), 2);
    EXPECT_TRUE(fetch_matches(320 * 2 * 120 * 2));

    testing::internal::CaptureStdout();
    EXPECT_EQ(apiTOF(), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(configGetPartType(), 2);
    EXPECT_EQ(apiIsFLIM(), 0);
    EXPECT_EQ(pruGetNDCS(), 4);
    EXPECT_TRUE(fetch_matches(320 * 4 * 120 * 2));
}

}  // namespace
}  // namespace lumox::test
