// The sensor's delay-locked loop (DLL) that places the demodulation against the modulation clock,
// and its automatic locking.
//
// Locking procedure. While the loop runs (register 174 bit 0 clear), writing register 164 starts a
// measurement of its control values. After a wait that grows with the modulation clock period the
// status in register 112 reports a lock when both low bits are set; registers 116-121 then hold
// the result: the fine control value (116 high, 117 low; 10 bits), the coarse control value (118)
// and three bytes of diagnostics. The two values form one delay, coarse x 1024 + fine. A locked
// reading matches when its delay is within kMatchTolerance steps of the previous locked reading;
// after ten matches the mean delay of the matching readings gives the coarse and fine values that
// are stored and programmed as the external control values (registers 166-168), which the sensor
// uses while the loop is bypassed.
//
// For the measurement the procedure reads one DCS per frame in sine mode (register 146), a single
// row pair (register 154), a short integration (registers 160-163), clears the external control
// values and enables result capture (166-171) and switches the loop to measuring (174). Every
// register it changes is restored afterwards, whatever the outcome.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "evk/config.h"
#include "evk/sensor_io.h"
#include "platform/clock.h"

namespace {

using namespace lumox::evk;

constexpr int kRegDllLimit = 132;
constexpr int kRegModClkDivider = 133;
constexpr int kRegDemodDelay = 139;
constexpr int kRegPreheat = 144;
constexpr int kRegModeControl = 146;
constexpr int kRegRoiTop = 154;
constexpr int kRegRoiBottom = 155;
constexpr int kRegIntegration = 160;  // 160-163: multiplier and count
constexpr int kRegDllTrigger = 164;
constexpr int kRegDllExt = 166;  // 166-167 fine, 168 coarse, 169 capture, 170-171 reserved
constexpr int kRegDllCharge = 172;
constexpr int kRegDllControl = 174;
constexpr int kRegDllStatus = 112;
constexpr int kRegDllResult = 116;

constexpr uint8_t kBypass = 0x01;
constexpr uint8_t kMeasure = 0x02;
constexpr uint8_t kLocked = 0x03;

constexpr int kMaxAttempts = 100;
constexpr int kMatchesNeeded = 10;
constexpr int kMatchTolerance = 8;
constexpr int kFineSteps = 1024;

struct DllSetting {
    uint8_t divider;
    uint8_t limit;  // register 132
};
constexpr DllSetting kSettings[] = {{0, 3}, {1, 7}, {3, 15}, {7, 31}, {15, 63}, {31, 127}};

struct DllState {
    int fine = 0;
    int coarse = 0;
};
DllState g_dll;

const DllSetting *setting_of(uint8_t divider) {
    for (const auto &s : kSettings) {
        if (s.divider == divider) return &s;
    }
    return nullptr;
}

// One measurement lasts about two thousand microseconds per modulation clock period.
uint32_t measurement_wait_ms(uint8_t divider) {
    const uint32_t us = 2000u * (divider + 1u) + 50u;
    return (us + 999u) / 1000u;
}

struct Reading {
    int coarse;
    int fine;
    int delay() const { return coarse * kFineSteps + fine; }
};

// The registers the procedure changes, saved before and written back after.
class SavedRegisters {
  public:
    SavedRegisters(int address, std::vector<int> regs) : address_(address), regs_(std::move(regs)) {
        for (int reg : regs_) values_.push_back(read_register(address_, reg));
    }
    ~SavedRegisters() {
        for (size_t i = 0; i < regs_.size(); ++i) write_register(address_, regs_[i], values_[i]);
    }
    SavedRegisters(const SavedRegisters &) = delete;
    SavedRegisters &operator=(const SavedRegisters &) = delete;
    uint8_t value(int reg) const {
        for (size_t i = 0; i < regs_.size(); ++i) {
            if (regs_[i] == reg) return values_[i];
        }
        return 0;
    }

  private:
    int address_;
    std::vector<int> regs_;
    std::vector<uint8_t> values_;
};

bool measure(int address, uint8_t divider, Reading *reading) {
    write_register(address, kRegDllTrigger, 1);
    lumox::platform::sleep_ms(measurement_wait_ms(divider));
    if ((read_register(address, kRegDllStatus) & kLocked) != kLocked) return false;
    unsigned char result[6] = {};
    unsigned char *buffer = result;
    if (i2c(address, 'r', kRegDllResult, 6, &buffer) != 0) return false;
    reading->fine = ((result[0] << 8) | result[1]) & (kFineSteps - 1);
    reading->coarse = result[2];
    return true;
}

int lock(int address, uint8_t divider) {
    SavedRegisters saved(address,
                         {kRegModeControl, kRegRoiTop, kRegIntegration, kRegIntegration + 1,
                          kRegIntegration + 2, kRegIntegration + 3, kRegDllControl});
    update_bits(address, kRegModeControl, 0x70, 0x00);
    write_register(address, kRegRoiTop, read_register(address, kRegRoiBottom) & 0xFE);
    write_pair(address, kRegIntegration, 1);
    write_pair(address, kRegIntegration + 2, 0x0010);
    write_register(address, kRegModClkDivider, divider);
    unsigned char ext[6] = {0, 0, 0, 1, 0, 0};
    unsigned char *buffer = ext;
    i2c(address, 'w', kRegDllExt, 6, &buffer);
    write_register(address, kRegDllControl,
                   static_cast<uint8_t>((saved.value(kRegDllControl) & ~kBypass) | kMeasure));

    std::vector<Reading> matched;
    Reading previous{};
    bool have_previous = false;
    int attempts = 0;
    while (attempts < kMaxAttempts && static_cast<int>(matched.size()) < kMatchesNeeded) {
        ++attempts;
        Reading r{};
        if (!measure(address, divider, &r)) continue;
        if (have_previous && std::abs(r.delay() - previous.delay()) <= kMatchTolerance) {
            matched.push_back(r);
        }
        previous = r;
        have_previous = true;
    }
    if (static_cast<int>(matched.size()) < kMatchesNeeded) {
        std::printf("WARNING: DLL locking failed (max. no. of loops reached).\n");
        return -1;
    }

    long sum = 0;
    for (const Reading &r : matched) sum += r.delay();
    const long n = static_cast<long>(matched.size());
    const int mean = static_cast<int>((sum + n / 2) / n);
    const int coarse = mean / kFineSteps;
    const int fine = mean % kFineSteps;
    // Readings on another coarse step than the mean carry their offset in the fine value.
    for (const Reading &r : matched) {
        if (r.coarse < coarse) {
            std::printf(
                "INFO: Coarse value below average. Difference to average for fine value: %d\n",
                r.delay() - mean);
        } else if (r.coarse > coarse) {
            std::printf(
                "INFO: Coarse value above average. Difference to average for fine value: %d\n",
                r.delay() - mean);
        }
    }
    g_dll.fine = fine;
    g_dll.coarse = coarse;
    std::printf("dll_fine_ctrl_ext: 0x%04X (%d)\ndll_coarse_ctrl_ext: 0x%02X (%d)\n",
                static_cast<unsigned>(fine), fine, static_cast<unsigned>(coarse), coarse);
    std::printf("INFO: DLL locked and matched %d times after a total of %d attempt(s).\n",
                static_cast<int>(matched.size()), attempts);
    write_pair(address, kRegDllExt, static_cast<uint16_t>(fine));
    write_register(address, kRegDllExt + 2, static_cast<uint8_t>(coarse));
    return 0;
}

}  // namespace

extern "C" {

LUMOX_API int dllEnablePreheat(int flag, int address) noexcept {
    set_bits_of(address, kRegPreheat, 0x08, flag != 0);
    return 0;
}

LUMOX_API int dllBypassDLL(int flag, int address) noexcept {
    if (flag) {
        set_bits_of(address, kRegDllControl, kBypass, true);
    } else {
        set_bits_of(address, kRegDllControl, kBypass, false);
        dllInitialize(address);
    }
    return 0;
}

LUMOX_API int dllDetermineAndSetDemodulationDelay(int address) noexcept {
    write_register(address, kRegDemodDelay, 2);
    write_register(address, kRegDllControl, 1);
    return 2;
}

LUMOX_API int dllResetDemodulationDelay(int address) noexcept {
    write_register(address, kRegDemodDelay, 0);
    return 0;
}

// A lock that fails is reported, not passed off as success.
LUMOX_API int dllInitialize(int address) noexcept {
    const uint8_t divider = read_register(address, kRegModClkDivider) & 0x1F;
    const DllSetting *s = setting_of(divider);
    if (!s) return -1;
    write_register(address, kRegDllLimit, s->limit);
    write_register(address, kRegDllCharge, divider == 0 ? 115 : 119);
    return dllLockAutomatically(address);
}

LUMOX_API int dllLockAutomatically(int address) noexcept {
    const uint8_t divider = read_register(address, kRegModClkDivider) & 0x1F;
    if (!setting_of(divider)) return -1;
    return lock(address, divider);
}

LUMOX_API int dllGetCoarseCtrlExt(void) noexcept { return g_dll.coarse; }
LUMOX_API int dllGetFineCtrlExt(void) noexcept { return g_dll.fine; }

}  // extern "C"
