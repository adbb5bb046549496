// Pseudo-noise modulation: the polynomial in register 146 bits 0-2 and its 16-bit tap value in
// registers 140-141 (high byte first).
#include <algorithm>
#include <cstdio>

#include "evk/config.h"
#include "evk/sensor_io.h"

namespace {

constexpr int kRegModeControl = 146;
constexpr int kRegTaps = 140;

// Tap values by polynomial (row) and index (column); row 0 is never used.
constexpr uint16_t kTaps[8][5] = {
    {0, 0, 0, 0, 0},
    {16427, 16441, 16467, 16479, 32743},
    {8219, 8231, 8245, 8275, 16381},
    {4179, 4201, 4219, 4221, 8137},
    {2053, 2071, 2091, 2093, 4073},
    {1033, 1051, 1063, 1069, 2041},
    {529, 539, 545, 557, 1019},
    {285, 299, 301, 333, 501},
};

}  // namespace

using namespace lumox::evk;

extern "C" {

// A negative polynomial or index counts as the lowest one.
LUMOX_API int pnSelectPolynomial(int polynomial, int index, int address) noexcept {
    polynomial = std::clamp(polynomial, 1, 7);
    index = std::clamp(index, 0, 4);
    update_bits(address, kRegModeControl, 0x07, static_cast<uint8_t>(polynomial));
    const uint16_t taps = kTaps[polynomial][index];
    std::printf("i2cData[0] = %X\n", static_cast<unsigned>(taps >> 8));
    std::printf("i2cData[1] = %X\n", static_cast<unsigned>(taps & 0xFF));
    write_pair(address, kRegTaps, taps);
    return taps;
}

}  // extern "C"
