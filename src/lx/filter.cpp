// Depth filters on 16-bit images: box and Gaussian smoothing, flying-pixel removal and hole
// filling. Every kernel reads a clamped window (edge pixels repeat) and writes a separate image.
//
// The 3 x 3 kernels are written once as window functions over 32-bit values and run on single
// pixels at the clamped edges and on vectors of pixels inside: 16 at a time in the baseline and
// the wide instruction set, 32 at a time with AVX-512 where the processor has it.

#include "lx/filter.h"

#include <cstddef>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "lumox/image.h"
#include "lumox/log.h"
#include "lx/simd.h"

namespace lumox {

bool filter_size_ok(const char *func, int32_t w, int32_t h) {
    if (w > 1 && h > 1) return true;
    lx_log(LX_LOG_ERR, "ERR", "[%s]  wrong parameter:w/h=%d/%d\n", func, w, h);
    return false;
}

namespace {

// The nine values of a 3 x 3 window: T is a scalar (one pixel) or a vector of neighbouring
// pixels, so that one expression serves the clamped edges and the inner columns.
template <typename T>
struct Win3 {
    T tl, t, tr, l, c, r, bl, b, br;
};

template <typename T>
LUMOX_INLINE T larger(T a, T b) {
    return a > b ? a : b;
}

template <typename T>
LUMOX_INLINE T smaller(T a, T b) {
    return a < b ? a : b;
}

// Pixels as unsigned values in 32-bit lanes, for sums and products. A vector step covers
// kLanes pixels read as kLanes / 2 32-bit words: the low halves (even pixels) and the high halves
// (odd pixels) each form a vector of whole windows, because the loads at x - 1 and x + 1 shift
// the halves by one pixel. This needs no shuffles, only masks and shifts. Vec and UVec are the
// signed and unsigned 32-bit vectors of one step.
template <typename VecT, typename UVec>
struct Unsigned32Lanes {
    using Vec = VecT;
    static constexpr int kLanes = 2 * static_cast<int>(sizeof(Vec) / sizeof(int32_t));
    static LUMOX_INLINE int32_t scalar(uint16_t v) { return v; }

    static LUMOX_INLINE Vec low(Vec v) { return v & 0xFFFF; }
    static LUMOX_INLINE Vec high(Vec v) { return (v >> 16) & 0xFFFF; }

    // Writes the kLanes results of window function f for the pixels at t, c, b (rows above, at
    // and below) to out.
    template <typename F>
    static LUMOX_INLINE void apply(const F &f, const uint16_t *t, const uint16_t *c,
                                   const uint16_t *b, uint16_t *out) {
        const Vec tl = simd::load<Vec>(t - 1), tm = simd::load<Vec>(t), tr = simd::load<Vec>(t + 1);
        const Vec ml = simd::load<Vec>(c - 1), mm = simd::load<Vec>(c), mr = simd::load<Vec>(c + 1);
        const Vec bl = simd::load<Vec>(b - 1), bm = simd::load<Vec>(b), br = simd::load<Vec>(b + 1);
        const Win3<Vec> even{low(tl), low(tm), low(tr), low(ml), low(mm),
                             low(mr), low(bl), low(bm), low(br)};
        const Win3<Vec> odd{high(tl), high(tm), high(tr), high(ml), high(mm),
                            high(mr), high(bl), high(bm), high(br)};
        const auto e = reinterpret_cast<UVec>(f(even));
        const auto o = reinterpret_cast<UVec>(f(odd));
        simd::store(out, (e & 0xFFFF) | (o << 16));
    }
};

// Pixels read as signed 16-bit numbers in 16-bit lanes, for comparisons.
template <typename VecT>
struct Signed16Lanes {
    using Vec = VecT;
    static constexpr int kLanes = static_cast<int>(sizeof(Vec) / sizeof(int16_t));
    static LUMOX_INLINE int32_t scalar(uint16_t v) { return static_cast<int16_t>(v); }

    template <typename F>
    static LUMOX_INLINE void apply(const F &f, const uint16_t *t, const uint16_t *c,
                                   const uint16_t *b, uint16_t *out) {
        const Win3<Vec> win{simd::load<Vec>(t - 1), simd::load<Vec>(t), simd::load<Vec>(t + 1),
                            simd::load<Vec>(c - 1), simd::load<Vec>(c), simd::load<Vec>(c + 1),
                            simd::load<Vec>(b - 1), simd::load<Vec>(b), simd::load<Vec>(b + 1)};
        simd::store(out, f(win));
    }
};

// Steps of 16 pixels (one 256-bit register per vector in the wide instruction set) and of 32
// (512-bit registers).
using Unsigned32 = Unsigned32Lanes<simd::I32h, simd::U32h>;
using Signed16 = Signed16Lanes<simd::I16>;
typedef int32_t I32x16 __attribute__((vector_size(16 * sizeof(int32_t))));
typedef uint32_t U32x16 __attribute__((vector_size(16 * sizeof(uint32_t))));
typedef int16_t I16x32 __attribute__((vector_size(32 * sizeof(int16_t))));

// The 32-pixel step of a 16-pixel lane set.
template <typename L>
struct Doubled;
template <>
struct Doubled<Unsigned32> {
    using type = Unsigned32Lanes<I32x16, U32x16>;
};
template <>
struct Doubled<Signed16> {
    using type = Signed16Lanes<I16x32>;
};

struct Box {
    using Lanes = Unsigned32;
    template <typename T>
    LUMOX_INLINE T operator()(const Win3<T> &w) const {
        return (w.tl + w.t + w.tr + w.l + w.r + w.bl + w.b + w.br) >> 3;
    }
};

struct Gauss {
    using Lanes = Unsigned32;
    template <typename T>
    LUMOX_INLINE T operator()(const Win3<T> &w) const {
        return (w.tl + 2 * w.t + w.tr + 2 * w.l + 4 * w.c + 2 * w.r + w.bl + 2 * w.b + w.br) >> 4;
    }
};

struct FlyingPixel {
    using Lanes = Unsigned32;
    int32_t limit;  // threshold >> 4, below 2^28

    template <typename T>
    LUMOX_INLINE T operator()(const Win3<T> &w) const {
        const T tl = w.tl >> 2, t = w.t >> 2, tr = w.tr >> 2, l = w.l >> 2, r = w.r >> 2;
        const T bl = w.bl >> 2, b = w.b >> 2, br = w.br >> 2;
        const T gx = tr + br + 2 * (r - l) - tl - bl;
        const T gy = bl + br + 2 * (b - t) - tl - tr;
        // |g| reaches 65532, so g^2 + g^2 would overflow 32 bits. A component of magnitude
        // 2^14 or more already makes the sum exceed any limit, so clamping the magnitudes there
        // keeps the decision and keeps the sum below 2^29.
        const T ax = smaller(larger(gx, -gx), T{} + kSaturation);
        const T ay = smaller(larger(gy, -gy), T{} + kSaturation);
        return ax * ax + ay * ay > limit ? T{} : w.c;
    }

    static constexpr int32_t kSaturation = 1 << 14;
};

struct FillHole {
    using Lanes = Signed16;
    template <typename T>
    LUMOX_INLINE T operator()(const Win3<T> &w) const {
        const T m = larger(larger(larger(w.tl, w.t), larger(w.tr, w.l)),
                           larger(larger(w.r, w.bl), larger(w.b, w.br)));
        return w.c > 0 ? w.c : m;
    }
};

#if LUMOX_HAVE_WIDE_TARGET
// The flying-pixel test 32 pixels at a time in 16-bit lanes with AVX-512. The window values
// shifted by 2 are below 2^14, so the sums of two of them and twice a difference fit in 16 bits
// exactly; the gradient, their sum, saturates only where its magnitude reaches 2^15, beyond the
// clamp at 2^14 either way. The clamped magnitudes (at most 2^14) are squared and added in 32
// bits by the pairwise multiply-add.
struct FlyingPixel16 {
    static constexpr int kLanes = 32;

    // 32 pixels from p, shifted right by 2.
    [[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] static LUMOX_INLINE __m512i
    quarter(const uint16_t *p) {
        return _mm512_srli_epi16(_mm512_loadu_si512(p), 2);
    }

    template <typename F>
    [[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] static LUMOX_INLINE void apply(
        const F &f, const uint16_t *t, const uint16_t *c, const uint16_t *b, uint16_t *out) {
        const __m512i tl = quarter(t - 1), tm = quarter(t), tr = quarter(t + 1);
        const __m512i ml = quarter(c - 1), mr = quarter(c + 1);
        const __m512i bl = quarter(b - 1), bm = quarter(b), br = quarter(b + 1);
        const __m512i gx =
            _mm512_adds_epi16(_mm512_sub_epi16(_mm512_add_epi16(tr, br), _mm512_add_epi16(tl, bl)),
                              _mm512_slli_epi16(_mm512_sub_epi16(mr, ml), 1));
        const __m512i gy =
            _mm512_adds_epi16(_mm512_sub_epi16(_mm512_add_epi16(bl, br), _mm512_add_epi16(tl, tr)),
                              _mm512_slli_epi16(_mm512_sub_epi16(bm, tm), 1));
        const __m512i clamp = _mm512_set1_epi16(static_cast<int16_t>(FlyingPixel::kSaturation));
        const __m512i ax = _mm512_min_epu16(_mm512_abs_epi16(gx), clamp);
        const __m512i ay = _mm512_min_epu16(_mm512_abs_epi16(gy), clamp);
        // Pixels 0-3 and 4-7 of every 128-bit lane, as (ax, ay) pairs.
        const __m512i low = _mm512_unpacklo_epi16(ax, ay);
        const __m512i high = _mm512_unpackhi_epi16(ax, ay);
        const __m512i limit = _mm512_set1_epi32(f.limit);
        const __m512i far_low =
            _mm512_movm_epi32(_mm512_cmpgt_epi32_mask(_mm512_madd_epi16(low, low), limit));
        const __m512i far_high =
            _mm512_movm_epi32(_mm512_cmpgt_epi32_mask(_mm512_madd_epi16(high, high), limit));
        // Back in pixel order: the pack takes four values of each source per 128-bit lane.
        const __m512i removed = _mm512_packs_epi32(far_low, far_high);
        // The zero-masked form with every lane selected: the plain one starts from an undefined
        // register, which GCC 12 reports as uninitialised.
        _mm512_storeu_si512(out, _mm512_maskz_andnot_epi32(0xFFFF, removed, _mm512_loadu_si512(c)));
    }
};
#endif

// The 32-pixel step of each window function with AVX-512.
template <typename F>
struct Avx512Lanes {
    using type = typename Doubled<typename F::Lanes>::type;
};
#if LUMOX_HAVE_WIDE_TARGET
template <>
struct Avx512Lanes<FlyingPixel> {
    using type = FlyingPixel16;
};
#endif

// One pixel of a 3 x 3 window function, with clamped column indices.
template <typename F>
LUMOX_INLINE uint16_t pixel3x3(const uint16_t *t, const uint16_t *c, const uint16_t *b, int32_t w,
                               int32_t x, const F &f) {
    using L = typename F::Lanes;
    const int32_t l = clamp_index(x - 1, w), r = clamp_index(x + 1, w);
    const Win3<int32_t> win{L::scalar(t[l]), L::scalar(t[x]), L::scalar(t[r]),
                            L::scalar(c[l]), L::scalar(c[x]), L::scalar(c[r]),
                            L::scalar(b[l]), L::scalar(b[x]), L::scalar(b[r])};
    return static_cast<uint16_t>(f(win));
}

// Runs the window function f over every pixel: the edge columns with clamped indices, the inner
// columns a vector at a time (steps of L, then of Narrow for what is left of a row).
template <typename L, typename Narrow, typename F>
LUMOX_INLINE void run3x3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h, const F &f) {
    for (int32_t y = 0; y < h; ++y) {
        const uint16_t *t = src + static_cast<size_t>(clamp_index(y - 1, h)) * w;
        const uint16_t *c = src + static_cast<size_t>(y) * w;
        const uint16_t *b = src + static_cast<size_t>(clamp_index(y + 1, h)) * w;
        uint16_t *out = dst + static_cast<size_t>(y) * w;
        out[0] = pixel3x3(t, c, b, w, 0, f);
        int32_t x = 1;
        for (; x + L::kLanes < w; x += L::kLanes) L::apply(f, t + x, c + x, b + x, out + x);
        for (; x + Narrow::kLanes < w; x += Narrow::kLanes) {
            Narrow::apply(f, t + x, c + x, b + x, out + x);
        }
        for (; x < w; ++x) out[x] = pixel3x3(t, c, b, w, x, f);
    }
}

#if LUMOX_HAVE_WIDE_TARGET
// run3x3 with the 32-pixel steps of Avx512Lanes, whose AVX-512 code inlines only into a function
// of that instruction set.
template <typename F>
[[gnu::target("avx512f,avx512bw,avx512dq,avx512vl")]] void run3x3_avx512(uint16_t *dst,
                                                                         const uint16_t *src,
                                                                         int32_t w, int32_t h,
                                                                         const F &f) {
    using L = typename Avx512Lanes<F>::type;
    using Narrow = typename F::Lanes;
    for (int32_t y = 0; y < h; ++y) {
        const uint16_t *t = src + static_cast<size_t>(clamp_index(y - 1, h)) * w;
        const uint16_t *c = src + static_cast<size_t>(y) * w;
        const uint16_t *b = src + static_cast<size_t>(clamp_index(y + 1, h)) * w;
        uint16_t *out = dst + static_cast<size_t>(y) * w;
        out[0] = pixel3x3(t, c, b, w, 0, f);
        int32_t x = 1;
        for (; x + L::kLanes < w; x += L::kLanes) L::apply(f, t + x, c + x, b + x, out + x);
        for (; x + Narrow::kLanes < w; x += Narrow::kLanes) {
            Narrow::apply(f, t + x, c + x, b + x, out + x);
        }
        for (; x < w; ++x) out[x] = pixel3x3(t, c, b, w, x, f);
    }
}
#endif  // LUMOX_HAVE_WIDE_TARGET

template <typename F>
LUMOX_TARGET_WIDE void run3x3_wide(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                                   const F &f) {
    using L = typename F::Lanes;
    run3x3<L, L>(dst, src, w, h, f);
}

template <typename F>
void run3x3_base(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h, const F &f) {
    using L = typename F::Lanes;
    run3x3<L, L>(dst, src, w, h, f);
}

template <typename F>
void filter3x3(const char *func, uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
               const F &f) {
    if (!filter_size_ok(func, w, h)) return;
#if LUMOX_HAVE_WIDE_TARGET
    if (simd::best_isa() == simd::Isa::kAvx512) {
        run3x3_avx512(dst, src, w, h, f);
        return;
    }
#endif
    if (simd::wide_vectors())
        run3x3_wide(dst, src, w, h, f);
    else
        run3x3_base(dst, src, w, h, f);
}

}  // namespace

}  // namespace lumox

extern "C" {

LUMOX_API void lx_box2d_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) noexcept {
    lumox::filter3x3("lx_box2d_u16_k3", dst, src, w, h, lumox::Box{});
}

LUMOX_API void lx_gauss2d_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w,
                                 int32_t h) noexcept {
    lumox::filter3x3("lx_gauss2d_u16_k3", dst, src, w, h, lumox::Gauss{});
}

LUMOX_API void lx_flypix_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                                uint32_t threshold) noexcept {
    lumox::filter3x3("lx_flypix_u16_k3", dst, src, w, h,
                     lumox::FlyingPixel{static_cast<int32_t>(threshold >> 4)});
}

LUMOX_API void lx_fhole_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) noexcept {
    lumox::filter3x3("lx_fhole_u16_k3", dst, src, w, h, lumox::FillHole{});
}

LUMOX_API void lx_fhole_u16_k5(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) noexcept {
    if (!lumox::filter_size_ok("lx_fhole_u16_k5", w, h)) return;
    using lumox::clamp_index;
    for (int32_t y = 0; y < h; ++y) {
        const uint16_t *rows[5];
        for (int32_t i = 0; i < 5; ++i)
            rows[i] = src + static_cast<size_t>(clamp_index(y + i - 2, h)) * w;
        uint16_t *out = dst + static_cast<size_t>(y) * w;
        for (int32_t x = 0; x < w; ++x) {
            if (static_cast<int16_t>(rows[2][x]) > 0) {
                out[x] = rows[2][x];
                continue;
            }
            int16_t m = INT16_MIN;
            for (int32_t i = 0; i < 5; ++i) {
                for (int32_t j = 0; j < 5; ++j) {
                    if (i == 2 && j == 2) continue;
                    const auto v = static_cast<int16_t>(rows[i][clamp_index(x + j - 2, w)]);
                    m = v > m ? v : m;
                }
            }
            out[x] = static_cast<uint16_t>(m);
        }
    }
}

}  // extern "C"
