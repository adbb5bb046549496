// Colour maps: a jet-like pseudo-colour palette and a gray ramp over a distance range, with fixed
// colours for the reserved distance codes.

#include "lumox/image.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr int32_t kCodeFiltered = LUMOX_DIST_FILTERED;
constexpr int32_t kCodeSaturated = LUMOX_DIST_SATURATED;
constexpr int32_t kCodeInvalid = LUMOX_DIST_INVALID;
constexpr uint32_t kColorSaturated = 0x8000FF;
constexpr uint32_t kColorInvalid = 0xFF0EA9;
constexpr int32_t kDefaultRangeMax = 4000;

// A ramp value: formed in double, rounded to single precision, truncated toward zero, low 8 bits.
uint32_t ramp_byte(double value) {
    const float rounded = static_cast<float>(value);
    return static_cast<uint32_t>(static_cast<int32_t>(rounded)) & 0xFFu;
}

uint32_t palette_entry(int32_t i, int32_t n) {
    const double t = static_cast<float>(static_cast<double>(i) / n - 0.25);
    uint32_t b2 = 0;
    uint32_t b1 = 0;
    uint32_t b0 = 0;
    if (t < -0.375) {
        // black
    } else if (t < -0.125) {
        b2 = ramp_byte((t + 0.375) * 255 * 4);
    } else if (t < 0.125) {
        b2 = 255;
        b1 = ramp_byte((t + 0.125) * 255 * 4);
    } else if (t < 0.375) {
        b2 = ramp_byte((t - 0.125) * -255 * 4 + 255);
        b1 = 255;
        b0 = ramp_byte((t - 0.125) * 255 * 4);
    } else if (t < 0.625) {
        b1 = ramp_byte((t - 0.375) * -255 / 0.375 + 255);
        b0 = 255;
    } else if (t < 0.75) {
        b1 = ramp_byte((t - 0.375) * -255 / 0.375 + 255);
        b0 = ramp_byte((t - 0.625) * -255 * 2 + 255);
    } else if (t < 1.125) {
        b0 = ramp_byte((t - 0.625) * -255 * 2 + 255);
    }
    return (b2 << 16) | (b1 << 8) | b0;
}

// Product of the single-precision offset and scale; exact in double, then truncated.
// The offset is a difference of two int32 values and may need 33 bits.
int32_t scaled(int64_t offset, float scale) {
    const double x = static_cast<double>(static_cast<float>(offset)) * scale;
    // Saturate what no int32 holds (a huge range after equal bounds set a per-millimetre scale).
    if (!(x < 2147483647.0)) return INT32_MAX;
    if (!(x > -2147483648.0)) return INT32_MIN;
    return static_cast<int32_t>(x);
}

}  // namespace

extern "C" {

LUMOX_API uint32_t *lx_cmap_init(lx_cmap *map, int32_t n) noexcept {
    if (!map) return nullptr;
    map->range_min = 0;
    map->range_max = 0;
    map->size = n;
    map->palette = n > 0 ? static_cast<uint32_t *>(std::malloc(sizeof(uint32_t) * n)) : nullptr;
    if (map->palette) {
        for (int32_t i = 0; i < n; ++i) map->palette[i] = palette_entry(i, n);
    }
    map->range_max = kDefaultRangeMax;
    map->index_scale = static_cast<float>(n) / static_cast<float>(kDefaultRangeMax);
    map->gray_scale = 255.0f / static_cast<float>(kDefaultRangeMax);
    return map->palette;
}

LUMOX_API void lx_cmap_uninit(lx_cmap *map) noexcept {
    if (!map) return;
    std::free(map->palette);
    map->palette = nullptr;
}

LUMOX_API void lx_cmap_set_range(lx_cmap *map, int32_t a, int32_t b) noexcept {
    if (!map) return;
    const float n = static_cast<float>(map->size);
    if (a == b) {
        map->index_scale = n;
        map->gray_scale = 255.0f;
        return;
    }
    map->range_min = a < b ? a : b;
    map->range_max = a < b ? b : a;
    const float d = static_cast<float>(int64_t{map->range_max} - map->range_min);
    map->index_scale = n / d;
    map->gray_scale = 255.0f / d;
}

LUMOX_API uint32_t lx_cmap_get_color(const lx_cmap *map, int32_t v) noexcept {
    if (v == kCodeFiltered) return 0;
    if (v == kCodeSaturated) return kColorSaturated;
    if (v == kCodeInvalid) return kColorInvalid;
    if (!map || !map->palette || map->size <= 0) return 0;
    if (v <= map->range_min || v > map->range_max) return 0;
    const int32_t n = map->size;
    const int32_t k = n - scaled(int64_t{v} - map->range_min, map->index_scale);
    if (k <= 0) return map->palette[0];
    if (k >= n) return map->palette[n - 1];
    return map->palette[k];
}

LUMOX_API uint32_t lx_cmap_get_gray(const lx_cmap *map, int32_t v) noexcept {
    if (v == kCodeSaturated) return kColorSaturated;
    if (v == kCodeInvalid) return kColorInvalid;
    if (!map) return 0;
    if (v > map->range_max) return 0xFFFFFF;
    if (v < map->range_min) return 0;
    const uint32_t g =
        static_cast<uint32_t>(scaled(int64_t{v} - map->range_min, map->gray_scale)) & 0xFFu;
    return (g << 16) | (g << 8) | g;
}

}  // extern "C"
