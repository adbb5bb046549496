// Test images for the 16-bit image kernels and a clamped pixel accessor for plain references.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumox::test {

using Image16 = std::vector<uint16_t>;

// Deterministic w x h image: depth-like values of the given spread with the codes 0, 65300,
// 65400, 65500 and extreme values sprinkled in. A small spread gives many equal values.
Image16 random_depth_image(int32_t w, int32_t h, uint32_t seed, uint32_t spread = 65536);

// Pixel (x, y) with both coordinates clamped into the image.
inline uint16_t clamped(const Image16 &img, int32_t w, int32_t h, int32_t x, int32_t y) {
    x = x < 0 ? 0 : (x >= w ? w - 1 : x);
    y = y < 0 ? 0 : (y >= h ? h - 1 : y);
    return img[static_cast<size_t>(y) * w + x];
}

}  // namespace lumox::test
