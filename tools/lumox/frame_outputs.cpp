#include "frame_outputs.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "writers.h"

namespace lumox_cli {

bool decode_frame(lumox_dev_t *dev, const uint8_t *raw, uint32_t size, const lumox_frame_info &info,
                  bool gray, DecodedFrame *out, std::string *error) {
    const uint32_t n = info.width * info.height;
    out->width = info.width;
    out->height = info.height;
    out->distance.resize(n);
    out->amplitude.clear();
    if (gray && n > 0) {
        // Both images from one decode; a frame it fails on is tried again image by image, for
        // the message that says which image it does not give.
        out->amplitude.resize(n);
        if (lumox_frame_get_distance_gray(dev, out->distance.data(), out->amplitude.data(), n, raw,
                                          size, &info) > 0) {
            return true;
        }
    }
    if (n == 0 || lumox_frame_get_distance(dev, out->distance.data(), n, raw, size, &info) <= 0) {
        *error = "frame " + std::to_string(info.frame_idx) + " (format " +
                 std::to_string(info.frame_format) + ") gave no distance image";
        return false;
    }
    if (gray) {
        if (lumox_frame_get_gray(dev, out->amplitude.data(), n, raw, size, &info) <= 0) {
            *error = "frame " + std::to_string(info.frame_idx) + " gave no gray image";
            return false;
        }
    }
    return true;
}

std::vector<uint16_t> millimetres(const std::vector<float> &distance, bool keep_codes) {
    std::vector<uint16_t> mm(distance.size());
    for (size_t i = 0; i < distance.size(); ++i) {
        // The decode divided whole millimetres by 1000 in single precision: rounding the product
        // in double gives the millimetres back exactly.
        const double v = std::nearbyint(static_cast<double>(distance[i]) * 1000.0);
        const uint16_t code =
            v <= 0 || !(v == v) ? 0 : (v >= 65535 ? 65535 : static_cast<uint16_t>(v));
        mm[i] = !keep_codes && code >= kFirstReservedCode ? 0 : code;
    }
    return mm;
}

bool write_png(const std::string &path, const void *pixels, uint32_t w, uint32_t h, int channels,
               int depth, std::string *error) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = w;
    image.height = h;
    image.format = (channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY) |
                   (depth == 16 ? PNG_FORMAT_FLAG_LINEAR : 0);
    const png_int_32 stride = static_cast<png_int_32>(w) * channels;
    png_alloc_size_t size = 0;
    // The first call sizes the image, the second writes it into memory.
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, pixels, stride, nullptr)) {
        *error = path + ": " + image.message;
        return false;
    }
    std::vector<uint8_t> bytes(size);
    if (!png_image_write_to_memory(&image, bytes.data(), &size, 0, pixels, stride, nullptr)) {
        *error = path + ": " + image.message;
        return false;
    }
    return write_raw(path, bytes.data(), size, error);
}

std::vector<uint8_t> colour_image(const DecodedFrame &f, float range_min, float range_max) {
    const size_t n = f.distance.size();
    std::vector<uint8_t> rgb(3 * n);
    // The colour word holds red in byte 0 and blue in byte 2: near is red, far blue (lumox cmap
    // prints the same colours).
    lumox_cmap_float(rgb.data(), static_cast<int32_t>(rgb.size()), f.distance.data(),
                     static_cast<int32_t>(n), LUMOX_CMAP_RGB24, range_min, range_max);
    return rgb;
}

std::vector<uint8_t> gray_image(const DecodedFrame &f) {
    float top = 1.0f;
    for (float g : f.amplitude) top = std::max(top, g);
    std::vector<uint8_t> px(f.amplitude.size());
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = static_cast<uint8_t>(std::clamp(f.amplitude[i] * 255.0f / top, 0.0f, 255.0f));
    return px;
}

bool write_cloud(const std::string &path, lumox_dev_t *dev, const DecodedFrame &f, float range_min,
                 float range_max, bool organised, std::string *error) {
    const uint32_t n = f.width * f.height;
    // Organised: point i belongs to pixel i, NaN where the pixel has no distance.
    std::vector<float> xyz(3 * static_cast<size_t>(n));
    if (lumox_frame_get_points(dev, xyz.data(), static_cast<uint32_t>(xyz.size()),
                               f.distance.data(), n, f.width, f.height,
                               LUMOX_POINTS_ORGANIZED) < 0) {
        *error = path + ": no lens for a " + std::to_string(f.width) + "x" +
                 std::to_string(f.height) + " frame, no point cloud";
        return false;
    }
    const std::vector<uint8_t> rgb = colour_image(f, range_min, range_max);
    uint32_t points = 0;
    for (uint32_t i = 0; i < n; ++i) points += !std::isnan(xyz[3 * static_cast<size_t>(i)]);
    const uint32_t vertices = organised ? n : points;
    char head[512];
    const int hn =
        std::snprintf(head, sizeof head,
                      "ply\nformat binary_little_endian 1.0\ncomment lumox point cloud, metres\n%s"
                      "element vertex %u\nproperty float x\nproperty float y\nproperty float z\n"
                      "property uchar red\nproperty uchar green\nproperty uchar blue\n"
                      "property float amplitude\nend_header\n",
                      organised ? ("obj_info organised " + std::to_string(f.width) + " " +
                                   std::to_string(f.height) + "\n")
                                      .c_str()
                                : "",
                      vertices);
    constexpr size_t kVertexBytes = 3 * 4 + 3 + 4;
    std::vector<uint8_t> bytes(head, head + hn);
    bytes.reserve(bytes.size() + kVertexBytes * vertices);
    for (uint32_t i = 0; i < n; ++i) {
        const float *p = &xyz[3 * static_cast<size_t>(i)];
        if (std::isnan(p[0]) && !organised) continue;
        uint8_t v[kVertexBytes];
        std::memcpy(v, p, 12);
        std::memcpy(v + 12, &rgb[3 * static_cast<size_t>(i)], 3);
        const float a = f.amplitude.empty() ? 0.0f : f.amplitude[i];
        std::memcpy(v + 15, &a, 4);
        bytes.insert(bytes.end(), v, v + kVertexBytes);
    }
    return write_raw(path, bytes.data(), bytes.size(), error);
}

}  // namespace lumox_cli
