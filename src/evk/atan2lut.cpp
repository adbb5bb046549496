#include "evk/atan2lut.h"

#include <array>
#include <cmath>

namespace {

constexpr int kTableSize = 4096;
constexpr double kUnitsPerRadian = 4774.648292756860073;  // 15000 / pi

std::array<int, kTableSize> g_table{};
bool g_table_ready = false;

}  // namespace

extern "C" {

LUMOX_API int atan2lut_Init(void) noexcept {
    for (int i = 0; i < kTableSize; ++i) {
        g_table[static_cast<size_t>(i)] =
            static_cast<int>(std::round(std::atan(i / 4095.0) * kUnitsPerRadian));
    }
    g_table_ready = true;
    return 0;
}

LUMOX_API int atan2_lut(int y, int x) noexcept {
    if (!g_table_ready) atan2lut_Init();
    if (y == 0) return x < 0 ? 15000 : 0;

    // 64-bit so that negating INT_MIN and the octant sums cannot overflow.
    int64_t yy = y;
    int64_t xx = x;
    int base = 0;
    if (yy < 0) {
        yy = -yy;
        xx = -xx;
        base = 15000;
        if (xx <= 0) {
            base = 22500;
            int64_t t = yy;
            yy = -xx;
            xx = t;
        }
    } else if (xx < 1) {
        base = 7500;
        int64_t t = yy;
        yy = -xx;
        xx = t;
    }
    if (yy >= xx) {
        base += 3750;
        int64_t t = yy;
        yy = t - xx;
        xx = t + xx;
    }
    // Here 0 <= yy < xx, so the index stays inside the table.
    return base + g_table[static_cast<size_t>(yy * kTableSize / xx)];
}

}  // extern "C"
