// Little-endian loads for the tool's decoding of parameter values and calibration files (the
// library's own byte-order header is internal to it).
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumox_cli {

// The n-byte (1-4) little-endian number at p.
inline uint32_t load_le(const uint8_t *p, size_t n) {
    uint32_t x = 0;
    for (size_t i = 0; i < n; ++i) x |= static_cast<uint32_t>(p[i]) << (8 * i);
    return x;
}

}  // namespace lumox_cli
