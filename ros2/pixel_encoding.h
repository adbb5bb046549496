// The pixel loops of the image messages: distances and amplitudes as 16-bit little-endian
// values. Kept apart from the messages so that they compile to vector code (see CMakeLists.txt).
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumox::ros2 {

// Whether a pixel of a distance image has a distance: (0, 60) metres, the library's rule (the
// codes 65.3, 65.4 and 65.5 mark pixels without one). Both comparisons are made (no branch), so
// that loops over an image stay vector code.
inline bool has_distance(float metres) { return (metres > 0.0f) & (metres < 60.0f); }

// out[i] = the millimetres of metres[i] rounded as std::lround does, 0 where the pixel has no
// distance; 2 x n bytes.
void encode_millimetres(const float *metres, size_t n, uint8_t *out);

// out[i] = amplitude[i] clamped to 0..65535 (NaN to 0) and rounded as std::lround does.
void encode_amplitudes(const float *amplitude, size_t n, uint8_t *out);

}  // namespace lumox::ros2
