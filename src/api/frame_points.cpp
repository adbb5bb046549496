// Each pixel's point on its own ray through the lens of an open device, with the rays kept per
// lens and frame size in the device state.

#include <cstring>
#include <new>

#include "api/device_state.h"
#include "lumox/frame.h"
#include "lumox/image.h"
#include "lumox/log.h"
#include "lx/rays.h"

namespace lumox::api {
namespace {

// The driver's lens record scaled to width x height, or false (no open device, a driver without
// a lens, or a size that does not divide the lens image).
bool scaled_lens(lumox_dev_t *dev, uint32_t width, uint32_t height, lx_lens_param *lens) {
    lumox_drv *drv = is_open(dev) ? dev->state->drv : nullptr;
    if (!drv || !drv->ops || !drv->ops->lens_param_get || width < 1 || height < 1) return false;
    return drv->ops->lens_param_get(drv, lens, width, height) != 0;
}

bool same_lens(const lx_lens_param &a, const lx_lens_param &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace
}  // namespace lumox::api

using namespace lumox::api;

extern "C" {

LUMOX_API int32_t lumox_frame_get_points(lumox_dev_t *dev, float *xyz, uint32_t xyz_len,
                                         const float *dist, uint32_t dist_len, uint32_t width,
                                         uint32_t height, uint32_t layout) noexcept {
    constexpr const char *kFunc = "lumox_frame_get_points";
    if (!xyz || !dist || (layout != LUMOX_POINTS_PACKED && layout != LUMOX_POINTS_ORGANIZED))
        return -1;
    const uint64_t pixels = static_cast<uint64_t>(width) * height;
    if (pixels == 0 || pixels > INT32_MAX / 3 || dist_len < pixels) return -1;
    const bool organised = layout == LUMOX_POINTS_ORGANIZED;
    if (organised && xyz_len / 3 < pixels) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] point buffer too short: %d floats for %dx%d\n", kFunc,
               static_cast<int>(xyz_len), static_cast<int>(width), static_cast<int>(height));
        return -1;
    }
    lx_lens_param lens{};
    if (!scaled_lens(dev, width, height, &lens)) return -1;

    RayCache &cache = dev->state->rays;
    std::lock_guard<std::mutex> hold(cache.lock);
    if (cache.width != width || cache.height != height || !same_lens(cache.lens, lens) ||
        cache.rays.size() != 3 * pixels) {
        try {
            cache.rays.resize(3 * pixels);
        } catch (const std::bad_alloc &) {
            cache.rays.clear();
            cache.width = cache.height = 0;
            return -1;
        }
        lumox::rays::compute(lens, width, height, cache.rays.data());
        cache.lens = lens;
        cache.width = width;
        cache.height = height;
    }
    const uint64_t max_points = xyz_len / 3;
    if (!organised) {
        // Packed: the buffer must hold every pixel that has a distance.
        uint64_t wanted = 0;
        for (uint64_t i = 0; i < pixels; ++i) wanted += lumox::rays::has_distance(dist[i]);
        if (wanted > max_points) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] point buffer too short: %d floats for %d points\n",
                   kFunc, static_cast<int>(xyz_len), static_cast<int>(wanted));
            return -1;
        }
    }
    return static_cast<int32_t>(
        lumox::rays::points(cache.rays.data(), dist, pixels, organised, xyz, max_points));
}

}  // extern "C"
