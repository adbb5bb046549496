#include "evk/atan2lut.h"

#include <array>
#include <cmath>

namespace {

constexpr int kTableSize = 4096;
constexpr double kUnitsPerRadian = 4774.648292756860073;  // 15000 / pi

std::array<int, kTableSize> g_table{};
bool g_table_ready = false;

}  // namespace

namespace lumox::evk {

const int *atan2_table() {
    if (!g_table_ready) atan2lut_Init();
    return g_table.data();
}

}  // namespace lumox::evk

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
    return lumox::evk::atan2_with(lumox::evk::atan2_table(), y, x);
}

}  // extern "C"
