// The DLL locking procedure on a sensor whose answers are fixed: a lock that never comes, and one
// that always reads the same values.
#include <atomic>

#include "evk_fixture.h"
#include "testing/hooks.h"

namespace lumox::evk::test {
namespace {

std::atomic<uint64_t> g_slept{0};
void count_sleep(uint32_t ms) { g_slept += ms; }

class Dll : public EvkTest {
  protected:
    Dll() {
        previous_ = platform::set_sleep_hook(count_sleep);
        g_slept = 0;
        fake_.regs[133] = 0;
        fake_.regs[146] = 0x35;
        fake_.regs[174] = 0x05;
    }
    ~Dll() override { platform::set_sleep_hook(previous_); }

    int triggers() const {
        int n = 0;
        for (const auto &w : fake_.writes) n += w.reg == 164 ? 1 : 0;
        return n;
    }

    platform::SleepHook previous_;
};

TEST_F(Dll, GivesUpAfterAHundredMeasurementsAndRestoresTheSensor) {
    fake_.regs[112] = 0x01;  // never both bits
    testing::internal::CaptureStdout();
    EXPECT_EQ(dllLockAutomatically(32), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("WARNING: DLL locking failed (max. no. of loops reached).\n"),
              std::string::npos);
    EXPECT_EQ(triggers(), 100);
    EXPECT_EQ(g_slept.load(), 100u * 3);  // 2050 us per measurement at divider 0
    EXPECT_EQ(fake_.regs[146], 0x35);
    EXPECT_EQ(fake_.regs[174], 0x05);
}

TEST_F(Dll, StableReadingsLockAfterElevenMeasurements) {
    fake_.regs[112] = 0x03;
    fake_.regs[116] = 0x01;  // fine 0x1FF
    fake_.regs[117] = 0xFF;
    fake_.regs[118] = 0x07;
    testing::internal::CaptureStdout();
    EXPECT_EQ(dllInitialize(32), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("dll_fine_ctrl_ext: 0x01FF (511)\ndll_coarse_ctrl_ext: 0x07 (7)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("matched 10 times after a total of 11 attempt(s)"), std::string::npos);
    EXPECT_EQ(dllGetFineCtrlExt(), 0x1FF);
    EXPECT_EQ(dllGetCoarseCtrlExt(), 7);
    EXPECT_EQ(fake_.regs[132], 3);
    EXPECT_EQ(fake_.regs[172], 115);
}

}  // namespace
}  // namespace lumox::evk::test
