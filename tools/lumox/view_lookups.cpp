#include "view_lookups.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "view_json.h"

namespace lumox_cli {
namespace {

constexpr uint32_t kPaletteSteps = 1024;

void pinhole_rays(uint32_t w, uint32_t h, float *xyz) {
    const float f = static_cast<float>(w) / 2.0f;
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const float rx = (static_cast<float>(x) + 0.5f - w / 2.0f) / f;
            const float ry = (static_cast<float>(y) + 0.5f - h / 2.0f) / f;
            const float norm = std::sqrt(rx * rx + ry * ry + 1.0f);
            float *p = &xyz[3 * (static_cast<size_t>(y) * w + x)];
            p[0] = rx / norm;
            p[1] = ry / norm;
            p[2] = 1.0f / norm;
        }
    }
}

}  // namespace

std::string ray_table(ViewDevice &device, uint32_t w, uint32_t h) {
    const size_t n = static_cast<size_t>(w) * h;
    std::string out(12 * n, '\0');
    std::vector<float> unit(n, 1.0f);
    std::vector<float> xyz(3 * n);
    int32_t points = 0;
    {
        std::lock_guard lock(device.mutex);
        points = lumox_frame_get_points(device.dev, xyz.data(), static_cast<uint32_t>(xyz.size()),
                                        unit.data(), static_cast<uint32_t>(n), w, h,
                                        LUMOX_POINTS_ORGANIZED);
    }
    if (points != static_cast<int32_t>(n)) pinhole_rays(w, h, xyz.data());
    std::memcpy(out.data(), xyz.data(), out.size());
    return out;
}

std::string palette_json() {
    lx_cmap map{};
    Json j;
    j.begin().num("steps", kPaletteSteps).begin("colors", '[');
    if (lx_cmap_init(&map, 30000)) {
        lx_cmap_set_range(&map, 0, static_cast<int32_t>(kPaletteSteps));
        for (uint32_t i = 0; i < kPaletteSteps; ++i)
            j.num(nullptr, lx_cmap_get_color(&map, static_cast<int32_t>(i + 1)));
        lx_cmap_uninit(&map);
    }
    j.end(']');
    // Codes of pixels without a distance.
    j.begin("codes").num("65300", 0);
    return j.num("65400", 0x8000FF).num("65500", 0xFF0EA9).end().end().text();
}

}  // namespace lumox_cli
