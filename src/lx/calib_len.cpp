// Lens undistortion: builds per-pixel source coordinate maps once from the lens model and remaps
// depth and gray images through them with nearest-neighbour sampling. The remap runs a vector of
// destination pixels at a time over Highway, compiled for every target and dispatched at run time,
// with the float operations of the single-pixel code, so every target gives its results exactly.

// Highway compiles this file once per target (foreach_target.h includes it again); the plain
// part is compiled once.
#ifndef LUMOX_LX_CALIB_LEN_PLAIN
#define LUMOX_LX_CALIB_LEN_PLAIN

#include "lx/calib_len.h"

#include <cfloat>
#include <cstddef>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "lumox/log.h"
#include "lumox/vecmat.h"

// The records are shared with applications and the sensor driver context.
static_assert(sizeof(lx_lens_param) == 80 && offsetof(lx_lens_param, dcoeff) == 32 &&
              offsetof(lx_lens_param, img_w) == 72 && offsetof(lx_lens_param, img_h) == 76);
static_assert(offsetof(lx_calib_len_map, count) == 2 * sizeof(float *) &&
              offsetof(lx_calib_len_map, ready) == 2 * sizeof(float *) + 7 * sizeof(int32_t));

namespace lumox {

namespace {

constexpr int kGrid = 9;            // sample grid of the rectangle estimate, per axis
constexpr int kUndistortSteps = 5;  // fixed-point iterations of the inverse distortion

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

}  // namespace

void lens_undistort_rects(const double a[9], const double coeff[5], const double *p, int32_t w,
                          int32_t h, LensRect &inner, LensRect &outer) {
    static constexpr double kIdentity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    if (!p) p = kIdentity;
    const double fx = a[0], cx = a[2], fy = a[4], cy = a[5];
    const double k1 = coeff[0], k2 = coeff[1], p1 = coeff[2], p2 = coeff[3], k3 = coeff[4];

    float outer_x0 = FLT_MAX, outer_x1 = -FLT_MAX, outer_y0 = FLT_MAX, outer_y1 = -FLT_MAX;
    float inner_x0 = -FLT_MAX, inner_x1 = FLT_MAX, inner_y0 = -FLT_MAX, inner_y1 = FLT_MAX;
    for (int i = 0; i < kGrid; ++i) {
        for (int j = 0; j < kGrid; ++j) {
            const double u = static_cast<double>(j) * w / (kGrid - 1);
            const double v = static_cast<double>(i) * h / (kGrid - 1);
            const double x0 = (u - cx) / fx, y0 = (v - cy) / fy;
            double x = x0, y = y0;
            for (int n = 0; n < kUndistortSteps; ++n) {
                const double r2 = x * x + y * y;
                const double icdist = 1.0 / (1.0 + ((k3 * r2 + k2) * r2 + k1) * r2);
                const double dx = 2.0 * p1 * x * y + p2 * (r2 + 2.0 * x * x);
                const double dy = p1 * (r2 + 2.0 * y * y) + 2.0 * p2 * x * y;
                x = (x0 - dx) * icdist;
                y = (y0 - dy) * icdist;
            }
            const double iw = 1.0 / (p[6] * x + p[7] * y + p[8]);
            const auto pu = static_cast<float>((p[0] * x + p[1] * y + p[2]) * iw);
            const auto pv = static_cast<float>((p[3] * x + p[4] * y + p[5]) * iw);

            outer_x0 = std::fmin(outer_x0, pu);
            outer_x1 = std::fmax(outer_x1, pu);
            outer_y0 = std::fmin(outer_y0, pv);
            outer_y1 = std::fmax(outer_y1, pv);
            if (j == 0) inner_x0 = std::fmax(inner_x0, pu);
            if (j == kGrid - 1) inner_x1 = std::fmin(inner_x1, pu);
            if (i == 0) inner_y0 = std::fmax(inner_y0, pv);
            if (i == kGrid - 1) inner_y1 = std::fmin(inner_y1, pv);
        }
    }
    inner = {inner_x0, inner_y0, inner_x1 - inner_x0, inner_y1 - inner_y0};
    outer = {outer_x0, outer_y0, outer_x1 - outer_x0, outer_y1 - outer_y0};
}

namespace {

// trunc(v + 0.5); values a degenerate lens makes infinite or NaN give 0.
int32_t round_half_up(float v) {
    const double r = static_cast<double>(v) + 0.5;
    return r > -2147483648.0 && r < 2147483648.0 ? static_cast<int32_t>(r) : 0;
}

// Source index of one destination pixel from its map entry, or -1 when the source lies outside
// the image. Truncation toward zero lets anything above -1 land on index 0; the comparisons are
// made on the float so that NaN or huge map values never reach the integer conversion.
inline int32_t source_index(float mx, float my, float fbx, float fby, int32_t w, int32_t h) {
    const float sxf = mx / fbx + 0.5f;
    const float syf = my / fby + 0.5f;
    if (!(sxf > -1.0f && sxf < static_cast<float>(w) && syf > -1.0f && syf < static_cast<float>(h)))
        return -1;
    return static_cast<int32_t>(syf) * w + static_cast<int32_t>(sxf);
}

// The pixels x0 .. w - 1 of every row of the remap, one at a time: the whole remap, or what is
// left of each row after the vectors.
template <typename Pixel, bool Unbinned>
void remap_pixels(const lx_calib_len_map &map, Pixel *dst, const Pixel *src, int32_t w, int32_t h,
                  Pixel fill, int32_t bx, int32_t by, int32_t y, int32_t x0) {
    // An unbinned map skips the division by 1, which cannot change a value.
    const float fbx = Unbinned ? 1.0f : static_cast<float>(bx);
    const float fby = Unbinned ? 1.0f : static_cast<float>(by);
    const size_t row = static_cast<size_t>(y) * by * map.width;
    const float *mx = map.map_x + row;
    const float *my = map.map_y + row;
    Pixel *out = dst + static_cast<size_t>(y) * w;
    for (int32_t x = x0; x < w; ++x) {
        const size_t m = static_cast<size_t>(x) * bx;
        const int32_t idx = source_index(mx[m], my[m], fbx, fby, w, h);
        out[x] = idx >= 0 ? src[idx] : fill;
    }
}

}  // namespace

}  // namespace lumox

#endif  // LUMOX_LX_CALIB_LEN_PLAIN

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lx/calib_len.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumox::HWY_NAMESPACE {
namespace {

namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR
template <typename Pixel, bool Unbinned, int kStride>
void remap(const lx_calib_len_map &map, Pixel *dst, const Pixel *src, int32_t w, int32_t h,
           Pixel fill, int32_t bx, int32_t by) {
    for (int32_t y = 0; y < h; ++y)
        remap_pixels<Pixel, Unbinned>(map, dst, src, w, h, fill, bx, by, y, 0);
}
#else
using DF = hn::ScalableTag<float>;
using DI = hn::RebindToSigned<DF>;
using VF = hn::Vec<DF>;
using VI = hn::Vec<DI>;

using MF = hn::Mask<DF>;

// Source coordinates, which lie in (-1, w) or were set to 0, truncated toward zero. Highway's
// conversion also fixes up lanes beyond the 32-bit range, which cannot occur here: on x86 that
// fix-up made the AVX2 remap two thirds slower than the earlier hand-written kernel, so the
// truncating instruction alone runs there.
HWY_INLINE VI truncate(VF v) {
#if HWY_TARGET == HWY_AVX2
    return VI{_mm256_cvttps_epi32(v.raw)};
#elif HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
    return VI{_mm512_cvttps_epi32(v.raw)};
#elif HWY_TARGET == HWY_SSE4
    return VI{_mm_cvttps_epi32(v.raw)};
#else
    return hn::ConvertTo(DI(), v);
#endif
}

// Every s-th map entry from p, one a lane: by 2, the even entries of two loads (the second ends
// one entry past the last one used, still inside the map row); by other steps, a gather.
HWY_INLINE VF strided(const float *p, size_t s) {
    const DF df;
    if (s == 2) return hn::ConcatEven(df, hn::LoadU(df, p + hn::Lanes(df)), hn::LoadU(df, p));
    const DI di;
    return hn::GatherIndex(df, p, hn::Mul(hn::Iota(di, 0), hn::Set(di, static_cast<int32_t>(s))));
}

// base[idx] where inside, fill elsewhere. x86 gathers take the mask and the fill themselves (the
// lanes outside are not read), which saves the blend that a plain gather needs.
HWY_INLINE VF gather_or(VF fill, MF inside, const float *base, VI idx) {
#if HWY_TARGET == HWY_AVX2
    return VF{_mm256_mask_i32gather_ps(fill.raw, base, idx.raw, inside.raw, 4)};
#elif HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
    return VF{_mm512_mask_i32gather_ps(fill.raw, inside.raw, idx.raw, base, 4)};
#else
    return hn::IfThenElse(inside, hn::GatherIndex(DF(), base, idx), fill);
#endif
}

// The 32-bit words at the byte offsets where inside, fill elsewhere.
HWY_INLINE VI gather_words_or(VI fill, MF inside, const uint16_t *base, VI offset) {
    const auto *words = reinterpret_cast<const int32_t *>(base);
#if HWY_TARGET == HWY_AVX2
    return VI{_mm256_mask_i32gather_epi32(fill.raw, words, offset.raw,
                                          _mm256_castps_si256(inside.raw), 1)};
#elif HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
    return VI{_mm512_mask_i32gather_epi32(fill.raw, inside.raw, offset.raw, words, 1)};
#else
    return hn::IfThenElse(hn::RebindMask(DI(), inside), hn::GatherOffset(DI(), words, offset),
                          fill);
#endif
}

// The remap a vector of destination pixels at a time with the float operations of
// source_index, and the source pixels gathered. A 16-bit pixel is gathered as the 32-bit word
// that ends with it (or, for pixel 0, starts with it), so no read leaves the source image.
// kStride is the step between the map entries of neighbouring pixels: 1, 2 (the common binning,
// a constant step), or 0 for any other.
template <typename Pixel, bool Unbinned, int kStride>
void remap(const lx_calib_len_map &map, Pixel *dst, const Pixel *src, int32_t w, int32_t h,
           Pixel fill, int32_t bx, int32_t by) {
    const DF df;
    const DI di;
    const auto lanes = static_cast<int32_t>(hn::Lanes(df));
    if (static_cast<int64_t>(w) * h < 2) {
        for (int32_t y = 0; y < h; ++y)
            remap_pixels<Pixel, Unbinned>(map, dst, src, w, h, fill, bx, by, y, 0);
        return;
    }
    const VF half = hn::Set(df, 0.5f), below = hn::Set(df, -1.0f);
    const VF width = hn::Set(df, static_cast<float>(w));
    const VF height = hn::Set(df, static_cast<float>(h));
    const VF div_x = hn::Set(df, static_cast<float>(bx));
    const VF div_y = hn::Set(df, static_cast<float>(by));
    const VI row_len = hn::Set(di, w);
    for (int32_t y = 0; y < h; ++y) {
        const size_t row = static_cast<size_t>(y) * by * map.width;
        const float *mx = map.map_x + row;
        const float *my = map.map_y + row;
        Pixel *out = dst + static_cast<size_t>(y) * w;
        int32_t x = 0;
        for (; x + lanes <= w; x += lanes) {
            VF fx, fy;
            const float *px = mx + static_cast<size_t>(x) * bx;
            const float *py = my + static_cast<size_t>(x) * bx;
            if constexpr (kStride == 1) {
                fx = hn::LoadU(df, px);
                fy = hn::LoadU(df, py);
            } else {
                const size_t step = kStride == 2 ? 2 : static_cast<size_t>(bx);
                fx = strided(px, step);
                fy = strided(py, step);
            }
            if constexpr (Unbinned) {
                fx = hn::Add(fx, half);
                fy = hn::Add(fy, half);
            } else {
                fx = hn::Add(hn::Div(fx, div_x), half);
                fy = hn::Add(hn::Div(fy, div_y), half);
            }
            // Ordered comparisons: NaN lies outside.
            const auto inside_f = hn::And(hn::And(hn::Gt(fx, below), hn::Lt(fx, width)),
                                          hn::And(hn::Gt(fy, below), hn::Lt(fy, height)));
            // Outside lanes convert 0 and fetch pixel 0; their result is the fill value.
            const VI sx = truncate(hn::IfThenElseZero(inside_f, fx));
            const VI sy = truncate(hn::IfThenElseZero(inside_f, fy));
            const VI idx = hn::Add(hn::Mul(sy, row_len), sx);
            if constexpr (sizeof(Pixel) == sizeof(float)) {
                hn::StoreU(gather_or(hn::Set(df, fill), inside_f, src, idx), df, out + x);
            } else {
                // Lanes outside keep the fill value: their index is 0, so they take the low half.
                const auto later = hn::Gt(idx, hn::Zero(di));
                const VI word = hn::IfThenElseZero(later, hn::Sub(idx, hn::Set(di, 1)));
                const VI got =
                    gather_words_or(hn::Set(di, fill), inside_f, src, hn::Add(word, word));
                const hn::RebindToUnsigned<DI> du;
                const VI top = hn::BitCast(di, hn::ShiftRight<16>(hn::BitCast(du, got)));
                const VI pixel = hn::IfThenElse(later, top, hn::And(got, hn::Set(di, 0xFFFF)));
                hn::StoreU(hn::DemoteTo(hn::Rebind<uint16_t, DI>(), pixel),
                           hn::Rebind<uint16_t, DI>(), out + x);
            }
        }
        // The plain function is compiled for the baseline instruction set: entering it from
        // this code costs a switch of the vector state even with nothing to do, which made
        // the binned remap 1.7 times slower than the earlier kernel. Rows of whole vectors skip it.
        if (x < w) remap_pixels<Pixel, Unbinned>(map, dst, src, w, h, fill, bx, by, y, x);
    }
}
#endif  // HWY_TARGET == HWY_SCALAR

template <typename Pixel>
void remap_any(const lx_calib_len_map &map, Pixel *dst, const Pixel *src, int32_t w, int32_t h,
               Pixel fill, int32_t bx, int32_t by) {
    if (bx == 1 && by == 1)
        remap<Pixel, true, 1>(map, dst, src, w, h, fill, bx, by);
    else if (bx == 1)
        remap<Pixel, false, 1>(map, dst, src, w, h, fill, bx, by);
    else if (bx == 2)
        remap<Pixel, false, 2>(map, dst, src, w, h, fill, bx, by);
    else
        remap<Pixel, false, 0>(map, dst, src, w, h, fill, bx, by);
}

void remap_u16(const lx_calib_len_map &map, uint16_t *dst, const uint16_t *src, int32_t w,
               int32_t h, uint16_t fill, int32_t bx, int32_t by) {
    remap_any(map, dst, src, w, h, fill, bx, by);
}

void remap_f32(const lx_calib_len_map &map, float *dst, const float *src, int32_t w, int32_t h,
               float fill, int32_t bx, int32_t by) {
    remap_any(map, dst, src, w, h, fill, bx, by);
}

}  // namespace
}  // namespace lumox::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumox {

HWY_EXPORT(remap_u16);
HWY_EXPORT(remap_f32);

namespace {

void remap(const lx_calib_len_map &map, uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
           uint16_t fill, int32_t bx, int32_t by) {
    HWY_DYNAMIC_DISPATCH(remap_u16)(map, dst, src, w, h, fill, bx, by);
}

void remap(const lx_calib_len_map &map, float *dst, const float *src, int32_t w, int32_t h,
           float fill, int32_t bx, int32_t by) {
    HWY_DYNAMIC_DISPATCH(remap_f32)(map, dst, src, w, h, fill, bx, by);
}

// Shared body of the two remaps; Pixel is uint16_t or float.
template <typename Pixel>
int32_t undistort(const char *func, const lx_calib_len_map *map, Pixel *dst, int32_t dst_len,
                  const Pixel *src, int32_t w, int32_t h, Pixel fill) {
    if (!map || !map->ready || !map->map_x || !map->map_y || w == 0 || h == 0 ||
        static_cast<int64_t>(map->width) % w != 0 || static_cast<int64_t>(map->height) % h != 0) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] Wrong parameter: calib_map: %dx%d, src_img: %dx%d\n", func,
               map ? map->width : 0, map ? map->height : 0, w, h);
        return 0;
    }
    if (static_cast<int64_t>(dst_len) < static_cast<int64_t>(w) * h) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] Wrong parameter: %dx%d > dst_len=%d\n", func, w, h,
               dst_len);
        return 0;
    }
    if (w < 0 || h < 0) return 1;
    if (!dst || !src) return 0;

    remap(*map, dst, src, w, h, fill, map->width / w, map->height / h);
    return 1;
}

}  // namespace

}  // namespace lumox

extern "C" {

LUMOX_API int32_t lx_calib_len_init_map(lx_calib_len_map *map, const lx_lens_param *lens) noexcept {
    constexpr int64_t kMaxMapPixels = int64_t{1} << 22;
    using lumox::LensRect;
    if (!map || !lens) return 0;
    const int32_t w = lens->img_w, h = lens->img_h;
    const int64_t count = static_cast<int64_t>(w) * h;
    // The size comes from the lens file: one far beyond any sensor would have the maps take
    // gigabytes and their computation minutes, so it is refused like a size that is not positive.
    if (w <= 0 || h <= 0 || count > kMaxMapPixels) return 0;

    std::unique_ptr<float, lumox::FreeDeleter> map_x(
        static_cast<float *>(std::malloc(sizeof(float) * static_cast<size_t>(count))));
    std::unique_ptr<float, lumox::FreeDeleter> map_y(
        static_cast<float *>(std::malloc(sizeof(float) * static_cast<size_t>(count))));
    std::unique_ptr<double, lumox::FreeDeleter> a(mat3_create(nullptr));
    std::unique_ptr<double, lumox::FreeDeleter> p(mat3_create(nullptr));
    std::unique_ptr<double, lumox::FreeDeleter> q(mat3_identity(nullptr));
    if (!map_x || !map_y || !a || !p || !q) return 0;

    double *am = a.get();
    am[0] = lens->fx;
    am[2] = lens->cx;
    am[4] = lens->fy;
    am[5] = lens->cy;
    am[8] = 1.0;
    const double *coeff = lens->dcoeff;

    LensRect inner, outer;
    lumox::lens_undistort_rects(am, coeff, nullptr, w, h, inner, outer);

    // New camera matrix that keeps every source pixel in view.
    double *pm = p.get();
    pm[0] = (w - 1) / static_cast<double>(outer.width);
    pm[4] = (h - 1) / static_cast<double>(outer.height);
    pm[2] = -pm[0] * outer.x;
    pm[5] = -pm[4] * outer.y;
    pm[8] = 1.0;

    lumox::lens_undistort_rects(am, coeff, pm, w, h, inner, outer);
    map->roi_x = lumox::round_half_up(inner.x);
    map->roi_y = lumox::round_half_up(inner.y);
    map->roi_w = lumox::round_half_up(inner.width);
    map->roi_h = lumox::round_half_up(inner.height);

    // A singular P leaves q the identity; it cannot happen for finite positive scales.
    mat3_inverse(pm, q.get());
    const double *qm = q.get();
    const double cx = lens->cx, cy = lens->cy, fx = lens->fx, fy = lens->fy;
    const double k1 = coeff[0], k2 = coeff[1], p1 = coeff[2], p2 = coeff[3], k3 = coeff[4];
    float *mx = map_x.get();
    float *my = map_y.get();
    for (int32_t i = 0; i < h; ++i) {
        double xr = qm[1] * i + qm[2];
        double yr = qm[4] * i + qm[5];
        double zr = qm[7] * i + qm[8];
        for (int32_t j = 0; j < w; ++j, xr += qm[0], yr += qm[3], zr += qm[6]) {
            const double iz = 1.0 / zr;
            const double x = xr * iz, y = yr * iz;
            const double x2 = x * x, y2 = y * y;
            const double r2 = x2 + y2, r4 = r2 * r2, r6 = r4 * r2;
            const double kr = 1.0 + k1 * r2 + k2 * r4 + k3 * r6;
            const size_t idx = static_cast<size_t>(i) * w + j;
            mx[idx] =
                static_cast<float>(cx + fx * (x * kr + 2.0 * p1 * x * y + p2 * (r2 + 2.0 * x2)));
            my[idx] =
                static_cast<float>(cy + fy * (y * kr + p1 * (r2 + 2.0 * y2) + 2.0 * p2 * x * y));
        }
    }

    map->map_x = map_x.release();
    map->map_y = map_y.release();
    map->count = static_cast<int32_t>(count);
    map->width = w;
    map->height = h;
    map->ready = 1;
    return map->count;
}

LUMOX_API void lx_calib_len_uninit_map(lx_calib_len_map *map) noexcept {
    if (!map || !map->ready) return;
    std::free(map->map_x);
    std::free(map->map_y);
    map->map_x = nullptr;
    map->map_y = nullptr;
    map->ready = 0;
}

LUMOX_API int32_t lx_calib_len_undistort_u16(const lx_calib_len_map *map, uint16_t *dst,
                                             int32_t dst_len, const uint16_t *src, int32_t w,
                                             int32_t h, uint16_t fill) noexcept {
    return lumox::undistort("lx_calib_len_undistort_u16", map, dst, dst_len, src, w, h, fill);
}

LUMOX_API int32_t lx_calib_len_undistort_f32(const lx_calib_len_map *map, float *dst,
                                             int32_t dst_len, const float *src, int32_t w,
                                             int32_t h, float fill) noexcept {
    return lumox::undistort("lx_calib_len_undistort_f32", map, dst, dst_len, src, w, h, fill);
}

}  // extern "C"

#endif  // HWY_ONCE
