// Read-out modes of the sensor: binning, row reduction, dual MGX and HDR, all in register 148 and
// the DCS pattern nibbles of registers 34, 37, 40 and 43.
#include "evk/config.h"
#include "evk/sensor_io.h"

namespace {

using namespace lumox::evk;

constexpr int kRegReadOut = 148;
constexpr int kRegModeControl = 146;
constexpr int kRegsDcsPattern[4] = {34, 37, 40, 43};

constexpr uint8_t kHorizontalBinning = 0x11;  // bits 0 and 4
constexpr uint8_t kHorizontalBinningFlag = 0x10;
constexpr uint8_t kVerticalBinning = 0x20;
constexpr uint8_t kRowReduction = 0x0C;
constexpr uint8_t kDualGate = 0x80;  // dual MGX and HDR share this bit
constexpr uint8_t kHdrMode = 0x08;   // register 146

}  // namespace

extern "C" {

LUMOX_API int readOutEnableHorizontalBinning(int flag, int address) noexcept {
    set_bits_of(address, kRegReadOut, kHorizontalBinning, flag != 0);
    return 0;
}

LUMOX_API int readOutIsHorizontalBinning(int address) noexcept {
    return (read_register(address, kRegReadOut) & kHorizontalBinningFlag) ? 1 : 0;
}

LUMOX_API int readOutEnableVerticalBinning(int flag, int address) noexcept {
    set_bits_of(address, kRegReadOut, kVerticalBinning, flag != 0);
    return 0;
}

LUMOX_API int readOutIsVerticalBinning(int address) noexcept {
    return (read_register(address, kRegReadOut) & kVerticalBinning) ? 1 : 0;
}

// The field has two bits: an exponent outside 0..3 would spill into the binning bits.
LUMOX_API int readOutSetRowReduction(int n, int address) noexcept {
    if (n < 0 || n > 3) return -1;
    update_bits(address, kRegReadOut, kRowReduction, static_cast<uint8_t>(n << 2));
    return 0;
}

LUMOX_API int readOutEnableDualMGX(int flag, int address) noexcept {
    bool on = flag != 0;
    set_bits_of(address, kRegReadOut, kDualGate, on);
    set_low_nibble_of(address, 34, on ? 4 : 0);
    set_low_nibble_of(address, 37, on ? 14 : 5);
    return 0;
}

// The register pattern of configEnableHDR without its integration times.
LUMOX_API int readOutEnableHDR(int flag, int address) noexcept {
    bool on = flag != 0;
    static constexpr uint8_t kOnPattern[4] = {0, 5, 10, 15};
    static constexpr uint8_t kOffPattern[4] = {4, 1, 14, 11};
    set_bits_of(address, kRegReadOut, kDualGate, on);
    for (int i = 0; i < 4; ++i) {
        set_low_nibble_of(address, kRegsDcsPattern[i], on ? kOnPattern[i] : kOffPattern[i]);
    }
    set_bits_of(address, kRegModeControl, kHdrMode, on);
    return 0;
}

}  // extern "C"
