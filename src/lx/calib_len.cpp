// Lens undistortion: builds per-pixel source coordinate maps once from the lens model and remaps
// depth and gray images through them with nearest-neighbour sampling.

#include "lx/calib_len.h"

#include <cfloat>
#include <cstddef>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "lumox/log.h"
#include "lumox/vecmat.h"
#include "lx/simd.h"

#if LUMOX_HAVE_WIDE_TARGET
#include <immintrin.h>
#endif

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
LUMOX_INLINE int32_t source_index(float mx, float my, float fbx, float fby, int32_t w, int32_t h) {
    const float sxf = mx / fbx + 0.5f;
    const float syf = my / fby + 0.5f;
    if (!(sxf > -1.0f && sxf < static_cast<float>(w) && syf > -1.0f && syf < static_cast<float>(h)))
        return -1;
    return static_cast<int32_t>(syf) * w + static_cast<int32_t>(sxf);
}

// Nearest-neighbour remap, one pixel at a time.
template <typename Pixel, bool Unbinned>
void remap_base(const lx_calib_len_map &map, Pixel *dst, const Pixel *src, int32_t w, int32_t h,
                Pixel fill, int32_t bx, int32_t by) {
    // An unbinned map skips the division by 1, which cannot change a value.
    const float fbx = Unbinned ? 1.0f : static_cast<float>(bx);
    const float fby = Unbinned ? 1.0f : static_cast<float>(by);
    for (int32_t y = 0; y < h; ++y) {
        const size_t row = static_cast<size_t>(y) * by * map.width;
        const float *mx = map.map_x + row;
        const float *my = map.map_y + row;
        Pixel *out = dst + static_cast<size_t>(y) * w;
        for (int32_t x = 0; x < w; ++x) {
            const size_t m = static_cast<size_t>(x) * bx;
            const int32_t idx = source_index(mx[m], my[m], fbx, fby, w, h);
            out[x] = idx >= 0 ? src[idx] : fill;
        }
    }
}

#if LUMOX_HAVE_WIDE_TARGET
// The same remap eight destination pixels at a time with the same float operations, and the
// source pixels fetched with gathers. A 16-bit pixel is gathered as the 32-bit word that ends
// with it (or, for pixel 0, starts with it), so no read leaves the source image.
template <typename Pixel, bool Unbinned>
LUMOX_TARGET_WIDE void remap_wide(const lx_calib_len_map &map, Pixel *dst, const Pixel *src,
                                  int32_t w, int32_t h, Pixel fill, int32_t bx, int32_t by) {
    constexpr int kStep = 8;
    if (static_cast<int64_t>(w) * h < 2)
        return remap_base<Pixel, Unbinned>(map, dst, src, w, h, fill, bx, by);
    const __m256 half = _mm256_set1_ps(0.5f), below = _mm256_set1_ps(-1.0f);
    const __m256 width = _mm256_set1_ps(static_cast<float>(w));
    const __m256 height = _mm256_set1_ps(static_cast<float>(h));
    const __m256 div_x = _mm256_set1_ps(static_cast<float>(bx));
    const __m256 div_y = _mm256_set1_ps(static_cast<float>(by));
    const __m256i row_len = _mm256_set1_epi32(w);
    const __m256i zero = _mm256_setzero_si256(), one = _mm256_set1_epi32(1);
    for (int32_t y = 0; y < h; ++y) {
        const size_t row = static_cast<size_t>(y) * by * map.width;
        const float *mx = map.map_x + row;
        const float *my = map.map_y + row;
        Pixel *out = dst + static_cast<size_t>(y) * w;
        int32_t x = 0;
        for (; x + kStep <= w; x += kStep) {
            __m256 fx, fy;
            if constexpr (Unbinned) {
                fx = _mm256_add_ps(_mm256_loadu_ps(mx + x), half);
                fy = _mm256_add_ps(_mm256_loadu_ps(my + x), half);
            } else {
                // Strided map reads: separate loads beat gathers here.
                const float *px = mx + static_cast<size_t>(x) * bx;
                const float *py = my + static_cast<size_t>(x) * bx;
                const size_t s = static_cast<size_t>(bx);
                fx = _mm256_setr_ps(px[0], px[s], px[2 * s], px[3 * s], px[4 * s], px[5 * s],
                                    px[6 * s], px[7 * s]);
                fy = _mm256_setr_ps(py[0], py[s], py[2 * s], py[3 * s], py[4 * s], py[5 * s],
                                    py[6 * s], py[7 * s]);
                fx = _mm256_add_ps(_mm256_div_ps(fx, div_x), half);
                fy = _mm256_add_ps(_mm256_div_ps(fy, div_y), half);
            }
            const __m256 inside =
                _mm256_and_ps(_mm256_and_ps(_mm256_cmp_ps(fx, below, _CMP_GT_OQ),
                                            _mm256_cmp_ps(fx, width, _CMP_LT_OQ)),
                              _mm256_and_ps(_mm256_cmp_ps(fy, below, _CMP_GT_OQ),
                                            _mm256_cmp_ps(fy, height, _CMP_LT_OQ)));
            const __m256i idx = _mm256_add_epi32(
                _mm256_mullo_epi32(_mm256_cvttps_epi32(_mm256_and_ps(fy, inside)), row_len),
                _mm256_cvttps_epi32(_mm256_and_ps(fx, inside)));
            if constexpr (sizeof(Pixel) == sizeof(float)) {
                const __m256 got =
                    _mm256_mask_i32gather_ps(_mm256_set1_ps(fill), src, idx, inside, 4);
                _mm256_storeu_ps(out + x, got);
            } else {
                const __m256i mask = _mm256_castps_si256(inside);
                const __m256i word = _mm256_max_epi32(_mm256_sub_epi32(idx, one), zero);
                __m256i got = _mm256_mask_i32gather_epi32(zero, reinterpret_cast<const int *>(src),
                                                          word, mask, 2);
                got = _mm256_srlv_epi32(
                    got, _mm256_and_si256(_mm256_cmpgt_epi32(idx, zero), _mm256_set1_epi32(16)));
                got = _mm256_blendv_epi8(_mm256_set1_epi32(fill),
                                         _mm256_and_si256(got, _mm256_set1_epi32(0xFFFF)), mask);
                const __m128i packed =
                    _mm_packus_epi32(_mm256_castsi256_si128(got), _mm256_extracti128_si256(got, 1));
                _mm_storeu_si128(reinterpret_cast<__m128i *>(out + x), packed);
            }
        }
        const float fbx = Unbinned ? 1.0f : static_cast<float>(bx);
        const float fby = Unbinned ? 1.0f : static_cast<float>(by);
        for (; x < w; ++x) {
            const size_t m = static_cast<size_t>(x) * bx;
            const int32_t idx = source_index(mx[m], my[m], fbx, fby, w, h);
            out[x] = idx >= 0 ? src[idx] : fill;
        }
    }
}
#else
template <typename Pixel, bool Unbinned>
void remap_wide(const lx_calib_len_map &map, Pixel *dst, const Pixel *src, int32_t w, int32_t h,
                Pixel fill, int32_t bx, int32_t by) {
    remap_base<Pixel, Unbinned>(map, dst, src, w, h, fill, bx, by);
}
#endif

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

    const int32_t bx = map->width / w, by = map->height / h;
    if (bx == 1 && by == 1) {
        if (simd::wide_vectors())
            remap_wide<Pixel, true>(*map, dst, src, w, h, fill, bx, by);
        else
            remap_base<Pixel, true>(*map, dst, src, w, h, fill, bx, by);
    } else {
        if (simd::wide_vectors())
            remap_wide<Pixel, false>(*map, dst, src, w, h, fill, bx, by);
        else
            remap_base<Pixel, false>(*map, dst, src, w, h, fill, bx, by);
    }
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
