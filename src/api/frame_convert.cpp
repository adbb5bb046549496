// Frame conversion: raw frames to distance and gray images through the device's driver, distance
// images to point clouds, and distances to colour images with the library colour map.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "api/device_state.h"
#include "api/frame_widen.h"
#include "api/lifecycle.h"
#include "lumox/driver.h"
#include "lumox/frame.h"
#include "lumox/image.h"
#include "lumox/log.h"
#include "lx/pointcloud.h"

namespace lumox::api {
namespace {

constexpr uint32_t kTargetDistance = 1;
constexpr uint32_t kTargetGray = 2;
constexpr uint32_t kTargetDistanceGray = 3;  // the EPC driver's: both images from one decode

// Truncation toward zero that stays defined for any float (out of range and NaN give INT32_MIN).
int32_t trunc_i32(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// Decodes raw through the driver into staging (staging_bytes) as 16-bit values; the bytes
// decoded / 2.
int32_t frame_get_u16(lumox_dev_t *dev, uint16_t *staging, uint32_t staging_bytes, uint32_t target,
                      const uint8_t *raw, uint32_t raw_len, const lumox_frame_info *info) {
    constexpr const char *kFunc = "_lumox_frame_get_u16";
    if (!is_open(dev) || !dev->state->drv || !raw) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] Wrong params\n", kFunc);
        return 0;
    }
    if (raw_len < info->frame_size) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] raw frame length too small: datalen=%d, frlen=%d\n", kFunc,
               static_cast<int>(raw_len), static_cast<int>(info->frame_size));
        return 0;
    }
    lumox_drv *drv = dev->state->drv;
    const int32_t result =
        drv->ops->frame_decode(drv, staging, staging_bytes, target, raw, raw_len, info);
    if (result < 0) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] raw frame decode to %d failed: %d\n", kFunc,
               static_cast<int>(target), result);
        return 0;
    }
    return result / 2;
}

// The checks every conversion makes of its caller's arguments; logs what it refuses.
bool frame_args_ok(const char *func, lumox_dev_t *dev, const float *dst, uint32_t dst_len,
                   const lumox_frame_info *info) {
    if (!dst || !info) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] Wrong params\n", func);
        return false;
    }
    const uint64_t pixels = static_cast<uint64_t>(info->width) * info->height;
    if (pixels > dst_len) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] wrong dst_len: %d (wxh=%dx%d)\n", func,
               static_cast<int>(dst_len), static_cast<int>(info->width),
               static_cast<int>(info->height));
        return false;
    }
    if (!dev) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] Wrong params\n", "_lumox_frame_get_u16");
        return false;
    }
    return true;
}

int32_t frame_get(const char *func, uint32_t target, lumox_dev_t *dev, float *dst, uint32_t dst_len,
                  const uint8_t *raw, uint32_t raw_len, const lumox_frame_info *info) {
    if (!frame_args_ok(func, dev, dst, dst_len, info)) return 0;
    const uint64_t pixels = static_cast<uint64_t>(info->width) * info->height;
    BusyMark busy(dev);
    // The 16-bit decode lands in the upper half of dst (2 x dst_len bytes from float dst_len / 2)
    // and is widened in place from the bottom up: float i is written only after value i was read
    // and never reaches a value not yet read.
    auto *staging_bytes = reinterpret_cast<unsigned char *>(dst + dst_len / 2);
    const int32_t count = frame_get_u16(dev, reinterpret_cast<uint16_t *>(staging_bytes),
                                        2 * dst_len, target, raw, raw_len, info);
    if (count <= 0) return count;
    widen(reinterpret_cast<unsigned char *>(dst), staging_bytes, pixels, target == kTargetDistance);
    return count;
}

// Distances and gray values of one frame. The EPC driver decodes both at once into the distance
// buffer (gray values, then distances, 16 bits each); the gray values are widened into their own
// buffer and the distances, in the upper half of theirs, in place. Other drivers convert twice.
int32_t frame_get_both(lumox_dev_t *dev, float *dist, float *gray, uint32_t dst_len,
                       const uint8_t *raw, uint32_t raw_len, const lumox_frame_info *info) {
    constexpr const char *kFunc = "lumox_frame_get_distance_gray";
    if (!frame_args_ok(kFunc, dev, dist, dst_len, info) ||
        !frame_args_ok(kFunc, dev, gray, dst_len, info)) {
        return 0;
    }
    if (dist < gray + dst_len && gray < dist + dst_len) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] the distance and gray buffers overlap\n", kFunc);
        return 0;
    }
    {
        BusyMark busy(dev);
        const lumox_drv *drv = is_open(dev) ? dev->state->drv : nullptr;
        if (drv && drv->ops == &g_lumox_driver_op_epc) {
            const uint64_t pixels = static_cast<uint64_t>(info->width) * info->height;
            auto *both = reinterpret_cast<unsigned char *>(dist);
            const int32_t half = frame_get_u16(dev, reinterpret_cast<uint16_t *>(both), 4 * dst_len,
                                               kTargetDistanceGray, raw, raw_len, info);
            if (half <= 0 || static_cast<uint64_t>(half) != 2 * pixels) return 0;
            widen(reinterpret_cast<unsigned char *>(gray), both, pixels, false);
            widen(both, both + 2 * pixels, pixels, true);
            return static_cast<int32_t>(pixels);
        }
    }
    // Each conversion marks the device busy itself (the marks do not nest).
    const int32_t count = frame_get(kFunc, kTargetDistance, dev, dist, dst_len, raw, raw_len, info);
    if (count <= 0) return count;
    return frame_get(kFunc, kTargetGray, dev, gray, dst_len, raw, raw_len, info) == count ? count
                                                                                          : 0;
}

struct Projection {
    double cx, cy, fx, fy;
    float dist_scale;
};

// Projection parameters from the caller's view or from the driver's lens parameters.
bool projection(const char *func, lumox_dev_t *dev, uint32_t width, uint32_t height,
                const lumox_camera_view *view, Projection &out) {
    if (view) {
        // A NaN or infinite value, or a focal length of 0, would give every point NaN or inf.
        const float values[] = {view->cx, view->cy, view->fx, view->fy, view->dist_scale};
        if (!std::all_of(std::begin(values), std::end(values),
                         [](float v) { return std::isfinite(v); }) ||
            view->fx == 0.0f || view->fy == 0.0f) {
            lx_log(LX_LOG_ERR, "ERR",
                   "[%s] camera view refused: cx=%g cy=%g fx=%g fy=%g scale=%g (finite values and "
                   "non-zero focal lengths only)\n",
                   func, view->cx, view->cy, view->fx, view->fy, view->dist_scale);
            return false;
        }
        out = {view->cx, view->cy, view->fx, view->fy, view->dist_scale};
        return true;
    }
    lumox_drv *drv = is_open(dev) ? dev->state->drv : nullptr;
    if (!drv || !drv->ops->lens_param_get) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] Cannot generate PCL: no lens parameter in driver.\n", func);
        return false;
    }
    lx_lens_param lens{};
    if (!drv->ops->lens_param_get(drv, &lens, width, height)) return false;
    out = {lens.cx, lens.cy, lens.fx, lens.fy, 1.0f};
    return true;
}

// Shared body of the point-cloud calls: stride 3 (x y z) or 4 (x y z d).
int32_t frame_get_pcl(const char *func, lumox_dev_t *dev, float *pcl, uint32_t pcl_len,
                      const float *dist, uint32_t dist_len, uint32_t width, uint32_t height,
                      uint32_t stride, bool pseudo_color, const lumox_camera_view *view) {
    if (!dev) return 0;
    if (!pcl || !dist) return 0;
    const uint64_t pixels = static_cast<uint64_t>(width) * height;
    if (dist_len < pixels) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] distance image too short: %d (wxh=%dx%d)\n", func,
               static_cast<int>(dist_len), static_cast<int>(width), static_cast<int>(height));
        return 0;
    }
    Projection p{};
    if (!projection(func, dev, width, height, view, p)) return 0;

    BusyMark busy(dev);
    const pcl::View v{p.cx, p.cy, p.fx, p.fy, p.dist_scale};
    const pcl::Fourth fourth = stride == 3    ? pcl::Fourth::kNone
                               : pseudo_color ? pcl::Fourth::kColour
                                              : pcl::Fourth::kDistance;
    // Room for a whole point is checked before every pixel: at most pcl_len / stride points.
    const uint64_t n =
        pcl::project(v, dist, width, height, fourth, &library_cmap(), pcl, pcl_len / stride);
    return static_cast<int32_t>(n);
}

}  // namespace
}  // namespace lumox::api

using namespace lumox::api;

extern "C" {

LUMOX_API int32_t lumox_frame_get_distance(lumox_dev_t *dev, float *dst, uint32_t dst_len,
                                           const uint8_t *raw, uint32_t raw_len,
                                           const lumox_frame_info *info) noexcept {
    return frame_get("lumox_frame_get_distance", kTargetDistance, dev, dst, dst_len, raw, raw_len,
                     info);
}

LUMOX_API int32_t lumox_frame_get_gray(lumox_dev_t *dev, float *dst, uint32_t dst_len,
                                       const uint8_t *raw, uint32_t raw_len,
                                       const lumox_frame_info *info) noexcept {
    return frame_get("lumox_frame_get_gray", kTargetGray, dev, dst, dst_len, raw, raw_len, info);
}

LUMOX_API int32_t lumox_frame_get_distance_gray(lumox_dev_t *dev, float *dist, float *gray,
                                                uint32_t dst_len, const uint8_t *raw,
                                                uint32_t raw_len,
                                                const lumox_frame_info *info) noexcept {
    return frame_get_both(dev, dist, gray, dst_len, raw, raw_len, info);
}

LUMOX_API int32_t lumox_frame_get_pcl(lumox_dev_t *dev, float *pcl, uint32_t pcl_len,
                                      const float *dist, uint32_t dist_len, uint32_t width,
                                      uint32_t height, const lumox_camera_view *view) noexcept {
    return frame_get_pcl("lumox_frame_get_pcl", dev, pcl, pcl_len, dist, dist_len, width, height, 3,
                         false, view);
}

LUMOX_API int32_t lumox_frame_get_pcl_xyzd(lumox_dev_t *dev, float *pcl, uint32_t pcl_len,
                                           const float *dist, uint32_t dist_len, uint32_t width,
                                           uint32_t height, uint8_t pseudo_color,
                                           const lumox_camera_view *view) noexcept {
    return frame_get_pcl("lumox_frame_get_pcl_xyzd", dev, pcl, pcl_len, dist, dist_len, width,
                         height, 4, pseudo_color != 0, view);
}

LUMOX_API int32_t lumox_cmap_float(uint8_t *dst, int32_t dst_len, const float *src, int32_t src_len,
                                   uint32_t format, float range_min, float range_max) noexcept {
    // The range is kept for later calls, whatever the format.
    lx_cmap &cmap = library_cmap();
    lx_cmap_set_range(&cmap, trunc_i32(static_cast<double>(range_min) * 1000),
                      trunc_i32(static_cast<double>(range_max) * 1000));
    int32_t bytes_per_pixel;
    switch (format) {
        case LUMOX_CMAP_RGB24:
        case LUMOX_CMAP_BGR24:
            bytes_per_pixel = 3;
            break;
        case LUMOX_CMAP_RGB32:
            bytes_per_pixel = 4;
            break;
        default:
            return 0;
    }
    const int32_t n = std::min(dst_len / bytes_per_pixel, src_len);
    if (n <= 0 || !dst || !src) return n <= 0 ? n : 0;
    for (int32_t i = 0; i < n; ++i) {
        const uint32_t color =
            lx_cmap_get_color(&cmap, trunc_i32(static_cast<double>(src[i]) * 1000));
        uint8_t *out = dst + static_cast<size_t>(i) * bytes_per_pixel;
        if (format == LUMOX_CMAP_RGB32) {
            out[0] = static_cast<uint8_t>(color);
            out[1] = static_cast<uint8_t>(color >> 8);
            out[2] = static_cast<uint8_t>(color >> 16);
            out[3] = static_cast<uint8_t>(color >> 24);
        } else {
            const int32_t first = format == LUMOX_CMAP_RGB24 ? 0 : 16;
            const int32_t step = format == LUMOX_CMAP_RGB24 ? 8 : -8;
            out[0] = static_cast<uint8_t>(color >> first);
            out[1] = static_cast<uint8_t>(color >> (first + step));
            out[2] = static_cast<uint8_t>(color >> (first + 2 * step));
        }
    }
    return n;
}

}  // extern "C"
