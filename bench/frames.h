// Frames and images the benchmarks run on: 320 x 240 frames rendered by the virtual camera.
#pragma once

#include <cstdint>
#include <vector>

namespace lumox::bench {

constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;
constexpr uint32_t kPixels = kWidth * kHeight;

// A format-2 frame (four DCS planes, read-out row order) of the virtual camera's box scene (a
// wall 1.5 m away, a box in front of it, a dark band), with sample noise added.
std::vector<uint8_t> scene_frame();

// The distance image (millimetres, image row order) decoded from scene_frame() without filters,
// with the noise and the reserved codes (65300 removed, 65500 invalid) of a real scene added.
std::vector<uint16_t> depth_image();

}  // namespace lumox::bench
