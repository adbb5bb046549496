// What the commands that decode frames (depth, convert) write of one frame: 16-bit PNG of
// millimetres, colour and gray PNG, point clouds in PLY with colour and amplitude per point
// (packed, or organised: one vertex per pixel in image order).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lumox/lumox.h"

namespace lumox_cli {

// Distances at or above this many millimetres are the decode's codes for pixels without a
// distance (65300 filtered or too dark, 65400 saturated, 65500 invalid), not distances.
constexpr uint16_t kFirstReservedCode = 65300;

struct DecodedFrame {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<float> distance;   // metres, the codes included as 65.3, 65.4, 65.5
    std::vector<float> amplitude;  // the gray image (empty when not decoded)
};

// Decodes a raw frame into distances and, with gray, amplitudes. False (and *error) when the
// library decodes nothing.
bool decode_frame(lumox_dev_t *dev, const uint8_t *raw, uint32_t size, const lumox_frame_info &info,
                  bool gray, DecodedFrame *out, std::string *error);

// The decode's 16-bit millimetres (the distance x 1000, exactly as the decode produced it). With
// keep_codes false the reserved codes become 0, the "no measurement" of depth images.
std::vector<uint16_t> millimetres(const std::vector<float> &distance, bool keep_codes);

// PNG through libpng: channels 1 (gray) or 3 (RGB), depth 8 or 16 (16-bit samples in host order).
bool write_png(const std::string &path, const void *pixels, uint32_t w, uint32_t h, int channels,
               int depth, std::string *error);

// The colour ramp of the library's colour map over [range_min, range_max] metres, as RGB.
std::vector<uint8_t> colour_image(const DecodedFrame &f, float range_min, float range_max);
// Amplitudes scaled to 8 bits by the frame's brightest pixel.
std::vector<uint8_t> gray_image(const DecodedFrame &f);

// Binary PLY of the frame's points (each on its pixel's ray through the lens), each with
// its pixel's colour (as colour_image) and amplitude. organised: width x height vertices in image
// order, NaN coordinates where a pixel has no distance.
bool write_cloud(const std::string &path, lumox_dev_t *dev, const DecodedFrame &f, float range_min,
                 float range_max, bool organised, std::string *error);

}  // namespace lumox_cli
