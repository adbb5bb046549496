// Median filters on 16-bit images: the running-median path exposed for tests.
#pragma once

#include <cstdint>

namespace lumox {

// Median of every k x k clamped window (k odd, k >= 1) by a running median over a sorted linked
// list, scanned in serpentine order. No parameter checks. Returns false when memory runs out
// (dst is then untouched).
bool median2d_list_u16(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h, int32_t k);

}  // namespace lumox
