// Point clouds: the plain per-pixel loop and vector variants for SSE4.1, AVX2 and AVX-512 chosen
// at run time (one kernel, pointcloud_kernel.inc, compiled per instruction set).
//
// The vector variants form every product, quotient and sum in the same precision and order as
// the plain loop (double lanes where it widens to double, single where it rounds), so each point
// is the same to the bit; the colour lookup is the colour map's, with the palette read by
// gathers. The points are packed from the lanes in pixel order.

#include "lx/pointcloud.h"

#include <cmath>
#include <cstring>

#include "lx/simd.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define LUMOX_PCL_VECTORS 1
#include <immintrin.h>
#else
#define LUMOX_PCL_VECTORS 0
#endif

namespace lumox::pcl {
namespace {

constexpr float kMaxPointDistance = 60.0f;

// Truncation toward zero that stays defined for any value (out of range and NaN give INT32_MIN).
int32_t trunc_i32(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
    return static_cast<int32_t>(v);
}

uint32_t stride_of(Fourth fourth) { return fourth == Fourth::kNone ? 3 : 4; }

// Pixel c of a row whose float(r - cy) is dr: writes its point to out and returns true, or
// returns false when the distance d makes no point.
inline bool plain_point(const View &p, float d, uint32_t c, float dr, Fourth fourth,
                        const lx_cmap *colour, float *out) {
    if (!(d > 0.0f && d < kMaxPointDistance)) return false;
    const float dd = d * p.dist_scale;
    const float dc = static_cast<float>(c - p.cx);
    const auto x = static_cast<float>(static_cast<double>(dc) * dd / p.fx);
    const auto y = static_cast<float>(static_cast<double>(dr) * dd / p.fy);
    const auto zz = static_cast<float>(static_cast<double>(dd) * dd - static_cast<double>(x) * x -
                                       static_cast<double>(y) * y);
    out[0] = x;
    out[1] = y;
    out[2] = std::sqrt(zz);
    if (fourth == Fourth::kDistance) out[3] = dd;
    if (fourth == Fourth::kColour) {
        out[3] = static_cast<float>(
            lx_cmap_get_color(colour, trunc_i32(static_cast<double>(dd) * 1000)));
    }
    return true;
}

}  // namespace

uint64_t project_plain(const View &p, const float *dist, uint32_t width, uint32_t height,
                       Fourth fourth, const lx_cmap *colour, float *out, uint64_t max_points) {
    const uint32_t stride = stride_of(fourth);
    uint64_t n = 0;
    for (uint32_t r = 0; r < height; ++r) {
        const float dr = static_cast<float>(r - p.cy);
        for (uint32_t c = 0; c < width; ++c) {
            if (n >= max_points) return n;
            const float d = dist[static_cast<uint64_t>(r) * width + c];
            if (plain_point(p, d, c, dr, fourth, colour, out + stride * n)) ++n;
        }
    }
    return n;
}

#if LUMOX_PCL_VECTORS

#pragma GCC push_options
#pragma GCC target("sse4.1")
namespace sse41 {
constexpr int kLanes = 4;
typedef int32_t VI __attribute__((vector_size(kLanes * sizeof(int32_t))));
typedef int64_t VL __attribute__((vector_size(kLanes * sizeof(int64_t))));
typedef uint32_t VU32 __attribute__((vector_size(kLanes * sizeof(uint32_t))));
typedef double VD __attribute__((vector_size(kLanes * sizeof(double))));
typedef float VF __attribute__((vector_size(kLanes * sizeof(float))));

LUMOX_INLINE VI gather(const uint32_t *table, VI index) {
    VI out;
    for (int k = 0; k < kLanes; ++k) out[k] = static_cast<int32_t>(table[index[k]]);
    return out;
}

LUMOX_INLINE VF square_root(VF v) {
    return reinterpret_cast<VF>(_mm_sqrt_ps(reinterpret_cast<__m128>(v)));
}

LUMOX_INLINE VD to_double(VF v) { return __builtin_convertvector(v, VD); }
LUMOX_INLINE VF to_float(VD v) { return __builtin_convertvector(v, VF); }

LUMOX_INLINE bool any_lane(VI mask) { return _mm_movemask_ps(reinterpret_cast<__m128>(mask)) != 0; }

#include "lx/pointcloud_kernel.inc"
}  // namespace sse41
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
constexpr int kLanes = 4;
typedef int32_t VI __attribute__((vector_size(kLanes * sizeof(int32_t))));
typedef int64_t VL __attribute__((vector_size(kLanes * sizeof(int64_t))));
typedef uint32_t VU32 __attribute__((vector_size(kLanes * sizeof(uint32_t))));
typedef double VD __attribute__((vector_size(kLanes * sizeof(double))));
typedef float VF __attribute__((vector_size(kLanes * sizeof(float))));

LUMOX_INLINE VI gather(const uint32_t *table, VI index) {
    return reinterpret_cast<VI>(_mm_i32gather_epi32(reinterpret_cast<const int *>(table),
                                                    reinterpret_cast<__m128i>(index), 4));
}

LUMOX_INLINE VF square_root(VF v) {
    return reinterpret_cast<VF>(_mm_sqrt_ps(reinterpret_cast<__m128>(v)));
}

LUMOX_INLINE VD to_double(VF v) { return __builtin_convertvector(v, VD); }
LUMOX_INLINE VF to_float(VD v) { return __builtin_convertvector(v, VF); }

LUMOX_INLINE bool any_lane(VI mask) { return _mm_movemask_ps(reinterpret_cast<__m128>(mask)) != 0; }

#include "lx/pointcloud_kernel.inc"
}  // namespace avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl")
namespace avx512 {
constexpr int kLanes = 8;
typedef int32_t VI __attribute__((vector_size(kLanes * sizeof(int32_t))));
typedef int64_t VL __attribute__((vector_size(kLanes * sizeof(int64_t))));
typedef uint32_t VU32 __attribute__((vector_size(kLanes * sizeof(uint32_t))));
typedef double VD __attribute__((vector_size(kLanes * sizeof(double))));
typedef float VF __attribute__((vector_size(kLanes * sizeof(float))));

// The masked gather with every lane selected: the plain one starts from an undefined register,
// which GCC 12 reports as uninitialised.
LUMOX_INLINE VI gather(const uint32_t *table, VI index) {
    return reinterpret_cast<VI>(_mm256_mmask_i32gather_epi32(
        _mm256_setzero_si256(), 0xFF, reinterpret_cast<__m256i>(index), table, 4));
}

LUMOX_INLINE VF square_root(VF v) {
    return reinterpret_cast<VF>(_mm256_sqrt_ps(reinterpret_cast<__m256>(v)));
}

// One instruction each way (GCC 12 splits the generic conversion of eight lanes in two); the
// zero-masked forms with every lane selected, as for the gather.
LUMOX_INLINE VD to_double(VF v) {
    return reinterpret_cast<VD>(_mm512_maskz_cvtps_pd(0xFF, reinterpret_cast<__m256>(v)));
}
LUMOX_INLINE VF to_float(VD v) {
    return reinterpret_cast<VF>(_mm512_maskz_cvtpd_ps(0xFF, reinterpret_cast<__m512d>(v)));
}

LUMOX_INLINE bool any_lane(VI mask) {
    return _mm256_movepi32_mask(reinterpret_cast<__m256i>(mask)) != 0;
}

#define LUMOX_PCL_COMPRESS 1

LUMOX_INLINE uint32_t lane_bits(VI mask) {
    return _mm256_movepi32_mask(reinterpret_cast<__m256i>(mask));
}

// Lane k of two sources a (0..15) and b (16..31) for output float j of points of the given
// stride: x, y in the low and high half of a, z (and the fourth value) in b.
constexpr int point_source(uint32_t stride, int j) {
    const int point = j / static_cast<int>(stride);
    const int part = j % static_cast<int>(stride);
    return part < 2 ? part * 8 + point : 16 + (part - 2) * 8 + point;
}

template <uint32_t kStride, int kFirst>
LUMOX_INLINE __m512i point_order() {
    return _mm512_setr_epi32(point_source(kStride, kFirst + 0), point_source(kStride, kFirst + 1),
                             point_source(kStride, kFirst + 2), point_source(kStride, kFirst + 3),
                             point_source(kStride, kFirst + 4), point_source(kStride, kFirst + 5),
                             point_source(kStride, kFirst + 6), point_source(kStride, kFirst + 7),
                             point_source(kStride, kFirst + 8), point_source(kStride, kFirst + 9),
                             point_source(kStride, kFirst + 10), point_source(kStride, kFirst + 11),
                             point_source(kStride, kFirst + 12), point_source(kStride, kFirst + 13),
                             point_source(kStride, kFirst + 14),
                             point_source(kStride, kFirst + 15));
}

// The points of the lanes set in kept, packed in lane order into out (kStride floats each);
// nothing past them is written.
template <uint32_t kStride>
LUMOX_INLINE void store_points(float *out, uint32_t kept, VF x, VF y, VF z, VF w) {
    const auto pack = [kept](VF v) {
        return _mm256_maskz_compress_ps(static_cast<__mmask8>(kept), reinterpret_cast<__m256>(v));
    };
    const __m512 xy = _mm512_insertf32x8(_mm512_castps256_ps512(pack(x)), pack(y), 1);
    const __m512 zw = kStride == 4 ? _mm512_insertf32x8(_mm512_castps256_ps512(pack(z)), pack(w), 1)
                                   : _mm512_castps256_ps512(pack(z));
    const uint32_t floats = kStride * static_cast<uint32_t>(__builtin_popcount(kept));
    const auto first = static_cast<__mmask16>(floats >= 16 ? 0xFFFF : (1u << floats) - 1);
    const auto second = static_cast<__mmask16>(floats <= 16 ? 0 : (1u << (floats - 16)) - 1);
    _mm512_mask_storeu_ps(out, first, _mm512_permutex2var_ps(xy, point_order<kStride, 0>(), zw));
    _mm512_mask_storeu_ps(out + 16, second,
                          _mm512_permutex2var_ps(xy, point_order<kStride, 16>(), zw));
}

#include "lx/pointcloud_kernel.inc"
#undef LUMOX_PCL_COMPRESS
}  // namespace avx512
#pragma GCC pop_options

#endif  // LUMOX_PCL_VECTORS

uint64_t project(const View &view, const float *dist, uint32_t width, uint32_t height,
                 Fourth fourth, const lx_cmap *colour, float *out, uint64_t max_points) {
#if LUMOX_PCL_VECTORS
    switch (simd::best_isa()) {
        case simd::Isa::kAvx512:
            return avx512::project(view, dist, width, height, fourth, colour, out, max_points);
        case simd::Isa::kAvx2:
            return avx2::project(view, dist, width, height, fourth, colour, out, max_points);
        case simd::Isa::kSse41:
            return sse41::project(view, dist, width, height, fourth, colour, out, max_points);
        case simd::Isa::kScalar:
            break;
    }
#endif
    return project_plain(view, dist, width, height, fourth, colour, out, max_points);
}

}  // namespace lumox::pcl
