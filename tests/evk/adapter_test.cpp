#include "evk/adapter.h"

#include <gtest/gtest.h>

#include "evk_fixture.h"

namespace lumox::evk::test {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class AdapterTest : public EvkTest {
  protected:
    AdapterTest() { g_lx_dev = nullptr; }
};

TEST_F(AdapterTest, BindingReadsTheChipIdentityAndConfigures) {
    fake_.params[7] = {3, 0, 12, 0, 7, 0};  // part version 3, chip 12, wafer 7
    for (int reg : {34, 37, 40, 43}) fake_.regs[reg] = 0x04;
    EXPECT_NE(epc_adapter_init(&fake_.device), 0);
    EXPECT_EQ(g_lx_dev, &fake_.device);
    EXPECT_EQ(configGetPartType(), 2);
    EXPECT_EQ(configGetPartVersion(), 3);
    EXPECT_EQ(configGetIcVersion(), 3);
    EXPECT_EQ(configGetChipID(), 12);
    EXPECT_EQ(configGetWaferID(), 7);
    EXPECT_EQ(configGetDeviceAddress(), 32);
    EXPECT_EQ(chip_config().sequencer_version, 9);  // configInit ran
    EXPECT_EQ(fake_.regs[34], 0x34);                // ABS on
    EXPECT_EQ(readOutGetTopLeftX(), 4);
    EXPECT_EQ(readOutGetBottomRightY(), 125);
    EXPECT_EQ(fake_.regs[151], 4);
    EXPECT_EQ(fake_.regs[152], 1);  // 323 high byte
    EXPECT_EQ(fake_.regs[153], 323 & 0xFF);
    EXPECT_FALSE(adapter_owns_device());

    epc_adapter_uninit();
    EXPECT_EQ(g_lx_dev, nullptr);
    EXPECT_EQ(fake_.closes, 0);  // the driver's device stays open
}

TEST_F(AdapterTest, FailedIdentityReadUnbinds) {
    CaptureStdout();
    EXPECT_EQ(epc_adapter_init(&fake_.device), 0);
    EXPECT_EQ(GetCapturedStdout(), "Get chip info failed\n");
    EXPECT_EQ(g_lx_dev, nullptr);
    EXPECT_TRUE(fake_.writes.empty());
}

TEST_F(AdapterTest, StandaloneOpensAndClosesItsOwnDevice) {
    EXPECT_EQ(epc_adapter_init(nullptr), 1);
    EXPECT_EQ(g_lx_dev, &fake_.device);
    EXPECT_TRUE(adapter_owns_device());

    CaptureStdout();
    EXPECT_EQ(epc_adapter_init(nullptr), 1);  // again: the first one is closed
    EXPECT_EQ(GetCapturedStdout(), "close dev..\nuninit done..\n");
    EXPECT_EQ(fake_.closes, 1);

    CaptureStdout();
    epc_adapter_uninit();
    EXPECT_EQ(GetCapturedStdout(), "close dev..\nuninit done..\n");
    EXPECT_EQ(fake_.closes, 2);
    EXPECT_EQ(g_lx_dev, nullptr);

    fake_.open_first_works = false;
    EXPECT_EQ(epc_adapter_init(nullptr), 0);
    EXPECT_EQ(g_lx_dev, nullptr);
    EXPECT_FALSE(adapter_owns_device());
}

}  // namespace
}  // namespace lumox::evk::test
