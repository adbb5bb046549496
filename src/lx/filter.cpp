// Depth filters on 16-bit images: box and Gaussian smoothing, flying-pixel removal and hole
// filling. Every kernel reads a clamped window (edge pixels repeat) and writes a separate image.
//
// The 3 x 3 kernels are written once as window functions: over 32-bit values for single pixels
// at the clamped edges, and over Highway vectors for the inner columns, compiled for every target
// and dispatched at run time. Every target gives the single-pixel results exactly.

// Highway compiles this file once per target (foreach_target.h includes it again); the plain
// part is compiled once.
#ifndef LUMOX_LX_FILTER_PLAIN
#define LUMOX_LX_FILTER_PLAIN

#include "lx/filter.h"

#include <algorithm>
#include <cstddef>

#include "lumox/image.h"
#include "lumox/log.h"

namespace lumox {

bool filter_size_ok(const char *func, int32_t w, int32_t h) {
    if (w > 1 && h > 1) return true;
    lx_log(LX_LOG_ERR, "ERR", "[%s]  wrong parameter:w/h=%d/%d\n", func, w, h);
    return false;
}

namespace {

// The nine values of a 3 x 3 window.
struct Win3 {
    int32_t tl, t, tr, l, c, r, bl, b, br;
};

// The window functions on one pixel. Box, Gauss and FlyingPixel read pixels as unsigned values,
// FillHole as signed 16-bit numbers.
struct Box {
    static constexpr bool kSigned = false;
    int32_t operator()(const Win3 &w) const {
        return (w.tl + w.t + w.tr + w.l + w.r + w.bl + w.b + w.br) >> 3;
    }
};

struct Gauss {
    static constexpr bool kSigned = false;
    int32_t operator()(const Win3 &w) const {
        return (w.tl + 2 * w.t + w.tr + 2 * w.l + 4 * w.c + 2 * w.r + w.bl + 2 * w.b + w.br) >> 4;
    }
};

struct FlyingPixel {
    static constexpr bool kSigned = false;
    // |g| reaches 65532, so g^2 + g^2 would overflow 32 bits. A component of magnitude 2^14 or
    // more already makes the sum exceed any limit, so clamping the magnitudes there keeps the
    // decision and keeps the sum below 2^29.
    static constexpr int32_t kSaturation = 1 << 14;
    int32_t limit;  // threshold >> 4, below 2^28

    int32_t operator()(const Win3 &w) const {
        const int32_t tl = w.tl >> 2, t = w.t >> 2, tr = w.tr >> 2, l = w.l >> 2, r = w.r >> 2;
        const int32_t bl = w.bl >> 2, b = w.b >> 2, br = w.br >> 2;
        const int32_t gx = tr + br + 2 * (r - l) - tl - bl;
        const int32_t gy = bl + br + 2 * (b - t) - tl - tr;
        const int32_t ax = std::min(gx < 0 ? -gx : gx, kSaturation);
        const int32_t ay = std::min(gy < 0 ? -gy : gy, kSaturation);
        return ax * ax + ay * ay > limit ? 0 : w.c;
    }
};

struct FillHole {
    static constexpr bool kSigned = true;
    int32_t operator()(const Win3 &w) const {
        const int32_t m = std::max({w.tl, w.t, w.tr, w.l, w.r, w.bl, w.b, w.br});
        return w.c > 0 ? w.c : m;
    }
};

// One pixel of a 3 x 3 window function, with clamped column indices.
template <typename F>
inline uint16_t pixel3x3(const uint16_t *t, const uint16_t *c, const uint16_t *b, int32_t w,
                         int32_t x, const F &f) {
    const auto value = [](uint16_t v) -> int32_t {
        return F::kSigned ? static_cast<int16_t>(v) : v;
    };
    const int32_t l = clamp_index(x - 1, w), r = clamp_index(x + 1, w);
    const Win3 win{value(t[l]), value(t[x]), value(t[r]), value(c[l]), value(c[x]),
                   value(c[r]), value(b[l]), value(b[x]), value(b[r])};
    return static_cast<uint16_t>(f(win));
}

}  // namespace

}  // namespace lumox

#endif  // LUMOX_LX_FILTER_PLAIN

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lx/filter.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumox::HWY_NAMESPACE {
namespace {

namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR
// Processors without a vector target run every pixel through the plain function.
template <typename F>
HWY_INLINE size_t inner_lanes() {
    return 0;
}
template <typename F>
HWY_INLINE void inner(const F &, const uint16_t *, const uint16_t *, const uint16_t *, uint16_t *) {
}
#else
using D16 = hn::ScalableTag<uint16_t>;
using DS16 = hn::RebindToSigned<D16>;
using D32 = hn::Repartition<int32_t, D16>;
using V16 = hn::Vec<DS16>;
using V32 = hn::Vec<D32>;

// Pixels as unsigned values in 32-bit lanes, for sums and products. A vector of 16-bit pixels
// read as 32-bit words holds the even pixels in the low halves and the odd ones in the high
// halves; because the loads at x - 1 and x + 1 shift the halves by one pixel, the low halves of
// the nine loads form whole windows of even pixels and the high halves of odd ones. This needs
// no shuffles, only masks and shifts. (SVE vectors cannot be members, so a window is nine
// separate values.)

HWY_INLINE V32 words(const uint16_t *p) { return hn::BitCast(D32(), hn::LoadU(D16(), p)); }
HWY_INLINE V32 low(V32 v) { return hn::And(v, hn::Set(D32(), 0xFFFF)); }
// The high half, shifted as an unsigned word so that zeros come in.
HWY_INLINE V32 high(V32 v) {
    const hn::RebindToUnsigned<D32> du;
    return hn::BitCast(D32(), hn::ShiftRight<16>(hn::BitCast(du, v)));
}

// Runs the 32-bit window function f on the even and the odd pixels of the step and stores the
// 16-bit results in pixel order.
template <typename F>
HWY_INLINE void apply32(const F &f, const uint16_t *t, const uint16_t *c, const uint16_t *b,
                        uint16_t *out) {
    const V32 tl = words(t - 1), tm = words(t), tr = words(t + 1);
    const V32 ml = words(c - 1), mm = words(c), mr = words(c + 1);
    const V32 bl = words(b - 1), bm = words(b), br = words(b + 1);
    const V32 even =
        f(low(tl), low(tm), low(tr), low(ml), low(mm), low(mr), low(bl), low(bm), low(br));
    const V32 odd =
        f(high(tl), high(tm), high(tr), high(ml), high(mm), high(mr), high(bl), high(bm), high(br));
    // Both results fit 16 bits.
    hn::StoreU(hn::BitCast(D16(), hn::Or(even, hn::ShiftLeft<16>(odd))), D16(), out);
}

template <typename F>
struct Lanes;

template <>
struct Lanes<Box> {
    static HWY_INLINE void apply(const Box &, const uint16_t *t, const uint16_t *c,
                                 const uint16_t *b, uint16_t *out) {
        apply32(
            [](V32 tl, V32 tm, V32 tr, V32 ml, V32, V32 mr, V32 bl, V32 bm, V32 br) {
                const V32 sum = hn::Add(hn::Add(hn::Add(tl, tm), hn::Add(tr, ml)),
                                        hn::Add(hn::Add(mr, bl), hn::Add(bm, br)));
                return hn::ShiftRight<3>(sum);
            },
            t, c, b, out);
    }
};

template <>
struct Lanes<Gauss> {
    static HWY_INLINE void apply(const Gauss &, const uint16_t *t, const uint16_t *c,
                                 const uint16_t *b, uint16_t *out) {
        apply32(
            [](V32 tl, V32 tm, V32 tr, V32 ml, V32 mm, V32 mr, V32 bl, V32 bm, V32 br) {
                const V32 corners = hn::Add(hn::Add(tl, tr), hn::Add(bl, br));
                const V32 sides = hn::Add(hn::Add(tm, bm), hn::Add(ml, mr));
                const V32 sum =
                    hn::Add(hn::Add(corners, hn::ShiftLeft<1>(sides)), hn::ShiftLeft<2>(mm));
                return hn::ShiftRight<4>(sum);
            },
            t, c, b, out);
    }
};

// The flying-pixel test in 16-bit lanes. The window values shifted by 2 are below 2^14, so the
// sums of two of them and twice a difference fit in 16 bits exactly; the gradient, their sum,
// saturates only where its magnitude reaches 2^15, beyond the clamp at 2^14 either way. The
// clamped magnitudes are squared and added in 32-bit lanes, even and odd pixels apart as above.
template <>
struct Lanes<FlyingPixel> {
    static HWY_INLINE V16 quarter(const uint16_t *p) {
        return hn::BitCast(DS16(), hn::ShiftRight<2>(hn::LoadU(D16(), p)));
    }

    // min(|g|, 2^14): clamped first, so that no lane is -2^15, whose magnitude 16 bits lack.
    static HWY_INLINE V16 magnitude(V16 g) {
        const DS16 d;
        const V16 above = hn::Set(d, FlyingPixel::kSaturation);
        const V16 below = hn::Set(d, -FlyingPixel::kSaturation);
        return hn::Abs(hn::Max(hn::Min(g, above), below));
    }

    static HWY_INLINE void apply(const FlyingPixel &f, const uint16_t *t, const uint16_t *c,
                                 const uint16_t *b, uint16_t *out) {
        const DS16 d;
        const D32 d32;
        const V16 tl = quarter(t - 1), tm = quarter(t), tr = quarter(t + 1);
        const V16 ml = quarter(c - 1), mr = quarter(c + 1);
        const V16 bl = quarter(b - 1), bm = quarter(b), br = quarter(b + 1);
        const V16 gx = hn::SaturatedAdd(hn::Sub(hn::Add(tr, br), hn::Add(tl, bl)),
                                        hn::ShiftLeft<1>(hn::Sub(mr, ml)));
        const V16 gy = hn::SaturatedAdd(hn::Sub(hn::Add(bl, br), hn::Add(tl, tr)),
                                        hn::ShiftLeft<1>(hn::Sub(bm, tm)));
        const V32 ax = hn::BitCast(d32, magnitude(gx));
        const V32 ay = hn::BitCast(d32, magnitude(gy));
        // The magnitudes are at most 2^14: the odd pixels' words are non-negative.
        const V32 ax_even = low(ax), ay_even = low(ay);
        const V32 ax_odd = hn::ShiftRight<16>(ax), ay_odd = hn::ShiftRight<16>(ay);
        const V32 limit = hn::Set(d32, f.limit);
        const V32 far_even = hn::VecFromMask(
            d32, hn::Gt(hn::Add(hn::Mul(ax_even, ax_even), hn::Mul(ay_even, ay_even)), limit));
        const V32 far_odd = hn::VecFromMask(
            d32, hn::Gt(hn::Add(hn::Mul(ax_odd, ax_odd), hn::Mul(ay_odd, ay_odd)), limit));
        // Each pixel's decision is the 16-bit half of its word: the odd lanes from far_odd.
        const V16 removed = hn::OddEven(hn::BitCast(d, far_odd), hn::BitCast(d, far_even));
        const V16 centre = hn::BitCast(d, hn::LoadU(D16(), c));
        hn::StoreU(hn::BitCast(D16(), hn::AndNot(removed, centre)), D16(), out);
    }
};

template <>
struct Lanes<FillHole> {
    static HWY_INLINE V16 load(const uint16_t *p) {
        return hn::BitCast(DS16(), hn::LoadU(D16(), p));
    }

    static HWY_INLINE void apply(const FillHole &, const uint16_t *t, const uint16_t *c,
                                 const uint16_t *b, uint16_t *out) {
        const V16 m =
            hn::Max(hn::Max(hn::Max(load(t - 1), load(t)), hn::Max(load(t + 1), load(c - 1))),
                    hn::Max(hn::Max(load(c + 1), load(b - 1)), hn::Max(load(b), load(b + 1))));
        const V16 centre = load(c);
        const V16 result = hn::IfThenElse(hn::Gt(centre, hn::Zero(DS16())), centre, m);
        hn::StoreU(hn::BitCast(D16(), result), D16(), out);
    }
};

template <typename F>
HWY_INLINE size_t inner_lanes() {
    return hn::Lanes(D16());
}
template <typename F>
HWY_INLINE void inner(const F &f, const uint16_t *t, const uint16_t *c, const uint16_t *b,
                      uint16_t *out) {
    Lanes<F>::apply(f, t, c, b, out);
}
#endif  // HWY_TARGET == HWY_SCALAR

// Runs the window function f over every pixel: the edge columns with clamped indices, the inner
// columns a vector at a time. What is left of a row after the whole vectors is covered by one
// more vector ending at the last inner column, which computes some pixels again (the result
// goes to a separate image, so they come out the same); rows narrower than a vector go pixel by
// pixel.
template <typename F>
void run3x3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h, const F &f) {
    const auto lanes = static_cast<int32_t>(inner_lanes<F>());
    for (int32_t y = 0; y < h; ++y) {
        const uint16_t *t = src + static_cast<size_t>(clamp_index(y - 1, h)) * w;
        const uint16_t *c = src + static_cast<size_t>(y) * w;
        const uint16_t *b = src + static_cast<size_t>(clamp_index(y + 1, h)) * w;
        uint16_t *out = dst + static_cast<size_t>(y) * w;
        out[0] = pixel3x3(t, c, b, w, 0, f);
        int32_t x = 1;
        if (lanes > 0 && lanes + 1 < w) {
            // A vector at x reads columns x - 1 .. x + lanes, which must stay below w.
            for (; x + lanes < w; x += lanes) inner(f, t + x, c + x, b + x, out + x);
            if (x < w - 1) {
                const int32_t last = w - 1 - lanes;
                inner(f, t + last, c + last, b + last, out + last);
            }
            x = w - 1;
        }
        for (; x < w; ++x) out[x] = pixel3x3(t, c, b, w, x, f);
    }
}

void box3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) {
    run3x3(dst, src, w, h, Box{});
}
void gauss3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) {
    run3x3(dst, src, w, h, Gauss{});
}
void flypix3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h, int32_t limit) {
    run3x3(dst, src, w, h, FlyingPixel{limit});
}
void fhole3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) {
    run3x3(dst, src, w, h, FillHole{});
}

}  // namespace
}  // namespace lumox::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumox {

HWY_EXPORT(box3);
HWY_EXPORT(gauss3);
HWY_EXPORT(flypix3);
HWY_EXPORT(fhole3);

}  // namespace lumox

extern "C" {

LUMOX_API void lx_box2d_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) noexcept {
    if (!lumox::filter_size_ok("lx_box2d_u16_k3", w, h)) return;
    HWY_DYNAMIC_DISPATCH(lumox::box3)(dst, src, w, h);
}

LUMOX_API void lx_gauss2d_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w,
                                 int32_t h) noexcept {
    if (!lumox::filter_size_ok("lx_gauss2d_u16_k3", w, h)) return;
    HWY_DYNAMIC_DISPATCH(lumox::gauss3)(dst, src, w, h);
}

LUMOX_API void lx_flypix_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                                uint32_t threshold) noexcept {
    if (!lumox::filter_size_ok("lx_flypix_u16_k3", w, h)) return;
    HWY_DYNAMIC_DISPATCH(lumox::flypix3)(dst, src, w, h, static_cast<int32_t>(threshold >> 4));
}

LUMOX_API void lx_fhole_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) noexcept {
    if (!lumox::filter_size_ok("lx_fhole_u16_k3", w, h)) return;
    HWY_DYNAMIC_DISPATCH(lumox::fhole3)(dst, src, w, h);
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

#endif  // HWY_ONCE
