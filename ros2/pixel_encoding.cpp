#include "ros2/pixel_encoding.h"

#include <bit>
#include <cstring>

namespace lumox::ros2 {
namespace {

// std::lround for x in [0, 65535]: the integer part, and one more where the fraction reaches one
// half (x - trunc(x) is exact for floats below 2^23). Unlike lround it has no call and no branch.
inline uint16_t round_half_away(float x) {
    const auto whole = static_cast<int32_t>(x);
    return static_cast<uint16_t>(whole +
                                 static_cast<int32_t>(x - static_cast<float>(whole) >= 0.5f));
}

inline void put(uint8_t *out, size_t i, uint16_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out + 2 * i, &v, 2);
    } else {
        out[2 * i] = static_cast<uint8_t>(v);
        out[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
}

}  // namespace

void encode_millimetres(const float *metres, size_t n, uint8_t *out) {
    for (size_t i = 0; i < n; ++i) {
        const float m = metres[i];
        const float mm = m * 1000.0f;
        put(out, i, round_half_away(has_distance(m) ? mm : 0.0f));
    }
}

void encode_amplitudes(const float *amplitude, size_t n, uint8_t *out) {
    for (size_t i = 0; i < n; ++i) {
        const float a = amplitude[i];
        const float low = a > 0.0f ? a : 0.0f;  // NaN compares false and lands on 0
        put(out, i, round_half_away(low < 65535.0f ? low : 65535.0f));
    }
}

}  // namespace lumox::ros2
