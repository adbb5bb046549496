// Fixed-point phase and fast square roots used per pixel by the distance decode.

#include "lumox/image.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Arctangent over one eighth of a turn: entry k is round(atan2(k, 4095) * 30000 / 2pi). The text
// below is exactly what lx_math_lut_print_arctan2(4096) prints.
#include "lx/atan2_lut.inc"

constexpr int32_t kQuarterTurn = 7500;
constexpr int32_t kHalfTurn = 15000;
constexpr int32_t kThreeQuarterTurn = 22500;
constexpr int32_t kEighthTurn = 3750;

uint32_t float_bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

float bits_float(uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

}  // namespace

extern "C" {

LUMOX_API int32_t lx_math_atan2_i32(int32_t y_in, int32_t x_in) noexcept {
    if (y_in == 0) return x_in < 0 ? kHalfTurn : 0;

    // 64-bit intermediates keep every input free of overflow; for the documented range
    // (|x|, |y| < 2^19) the results equal those of 32-bit arithmetic.
    int64_t y = y_in;
    int64_t x = x_in;
    int32_t base;
    if (y > 0) {
        if (x > 0) {
            base = 0;
        } else {
            base = kQuarterTurn;
            const int64_t t = y;
            y = -x;
            x = t;
        }
    } else {
        y = -y;
        x = -x;
        if (x > 0) {
            base = kHalfTurn;
        } else {
            base = kThreeQuarterTurn;
            const int64_t t = y;
            y = -x;
            x = t;
        }
    }
    if (y >= x) {
        base += kEighthTurn;
        const int64_t t = y;
        y = t - x;
        x = x + t;
    }
    const int64_t index = (y << 12) / x;
    return base + g_atan2_LUT[index];
}

LUMOX_API float lx_math_sqrtf(float x) noexcept {
    float y = bits_float((float_bits(x) >> 1) + 0x1FBFFB72u);
    // Each Newton step is formed in double and rounded once to single precision.
    y = static_cast<float>(0.5 * y + (0.5 * x) / y);
    y = static_cast<float>(0.5 * y + (0.5 * x) / y);
    return y;
}

LUMOX_API float lx_math_inv_sqrtf(float x) noexcept {
    const int32_t i = static_cast<int32_t>(float_bits(x));
    const double y0 = bits_float(static_cast<uint32_t>(0x5F375A86 - (i >> 1)));
    const float h = 0.5f * x;
    return static_cast<float>(y0 * (1.5 - h * y0 * y0));
}

LUMOX_API void lx_math_lut_print_arctan2(int32_t n) noexcept {
    std::printf("#define ARCTAN2_LUT_NUM %d\n", n);
    std::printf("static const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n");
    if (n <= 0) {
        std::printf("};\n");
        return;
    }
    const double scale = 30000.0 / (2.0 * M_PI);
    for (int32_t k = 0; k < n; ++k) {
        const double angle = std::atan2(static_cast<double>(k), static_cast<double>(n - 1));
        const auto entry = static_cast<uint16_t>(static_cast<int64_t>(std::round(angle * scale)));
        std::printf("%u, ", static_cast<unsigned>(entry));
        if (k >= 1 && k % 16 == 15) std::printf("\n    ");
    }
    if (n % 16 != 0) std::printf("\n");
    std::printf("};\n");
}

}  // extern "C"
