// FLIM timing: seven timers, each a 16-bit register pair holding value - 1 (high byte first) with
// a skip bit in register 47, and the repetition count in registers 186-187. The timers take no
// device address: they program the sensor the configuration record names.
#include "evk/config.h"
#include "evk/sensor_io.h"

namespace {

using namespace lumox::evk;

constexpr int kRegSkip = 47;
constexpr int kRegRepetitions = 186;

struct Timer {
    int reg;       // first register of the pair
    int skip_bit;  // bit of register 47
};

// By flimSetDelay index: 1 flash width, 2 flash delay, 3-6 T1-T4, 7 TREP.
constexpr Timer kTimers[8] = {{0, 0},   {190, 1}, {188, 2}, {176, 3},
                              {178, 4}, {180, 5}, {182, 6}, {184, 7}};
constexpr int kFlashWidth = 1, kFlashDelay = 2, kT1 = 3, kT2 = 4, kT3 = 5, kT4 = 6, kTrep = 7;

struct FlimState {
    int repetitions = 0;
    int flash_width = 0;
};
FlimState g_flim;

// Early FLIM parts (type 1 or 3 up to IC version 2) run every timer: they have no skip bits.
bool has_skip_bits() {
    const auto &c = chip_config();
    return !((c.part_type == 1 || c.part_type == 3) && c.ic_type <= 2);
}

int set_timer(int index, int value) {
    const Timer &t = kTimers[index];
    const int address = chip_config().dev_address;
    const auto v = static_cast<uint16_t>(value);
    const auto skip = static_cast<uint8_t>(1u << t.skip_bit);
    if (v == 0) {
        if (!has_skip_bits()) return -1;
        set_bits_of(address, kRegSkip, skip, true);
        return 0;
    }
    if (has_skip_bits()) set_bits_of(address, kRegSkip, skip, false);
    write_pair(address, t.reg, static_cast<uint16_t>(v - 1));
    return 0;
}

}  // namespace

extern "C" {

LUMOX_API int flimSetT1(int value) noexcept { return set_timer(kT1, value); }
LUMOX_API int flimSetT2(int value) noexcept { return set_timer(kT2, value); }
LUMOX_API int flimSetT3(int value) noexcept { return set_timer(kT3, value); }
LUMOX_API int flimSetT4(int value) noexcept { return set_timer(kT4, value); }
LUMOX_API int flimSetTREP(int value) noexcept { return set_timer(kTrep, value); }
LUMOX_API int flimSetFlashDelay(int value) noexcept { return set_timer(kFlashDelay, value); }

LUMOX_API int flimSetFlashWidth(int value) noexcept {
    g_flim.flash_width = value;
    return set_timer(kFlashWidth, value);
}

// An index without a timer is refused: there is no register pair to write for it.
LUMOX_API int flimSetDelay(int index, int value) noexcept {
    if (index < 1 || index > 7) return -1;
    if (index == kFlashWidth) return flimSetFlashWidth(value);
    return set_timer(index, value);
}

LUMOX_API int flimSetSkip(int bit) noexcept {
    if (bit < 0 || bit > 7) return -1;
    set_bits_of(chip_config().dev_address, kRegSkip, static_cast<uint8_t>(1u << bit), true);
    return 0;
}

LUMOX_API int flimResetSkip(int bit) noexcept {
    if (bit < 0 || bit > 7) return -1;
    set_bits_of(chip_config().dev_address, kRegSkip, static_cast<uint8_t>(1u << bit), false);
    return 0;
}

// The pair holds n - 1; counts beyond 65536 are programmed as the largest the pair holds.
LUMOX_API int flimSetRepetitions(int n) noexcept {
    g_flim.repetitions = n;
    int written = n > 0 ? n - 1 : 0;
    if (written > 0xFFFF) written = 0xFFFF;
    write_pair(chip_config().dev_address, kRegRepetitions, static_cast<uint16_t>(written));
    return written;
}

LUMOX_API int flimGetRepetitions(void) noexcept { return g_flim.repetitions; }
LUMOX_API int flimGetFlashWidth(void) noexcept { return g_flim.flash_width; }

LUMOX_API int flimGetStep(void) noexcept {
    return static_cast<int>(static_cast<int64_t>(configGetTModClk() * 1000.0) & 0xFFFF);
}

}  // extern "C"
