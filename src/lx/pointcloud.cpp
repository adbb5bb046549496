// Point clouds: the plain per-pixel loop, and one vector kernel that Highway compiles for every
// target and dispatches at run time.
//
// The kernel forms every product, quotient and sum in the same precision and order as the plain
// loop (double lanes where it widens to double, single where it rounds), so each point is the
// same to the bit; the colour lookup is the colour map's, with the palette read by gathers. The
// points are packed from the lanes in pixel order.

// Highway compiles this file once per target (foreach_target.h includes it again); the plain
// part is compiled once.
#ifndef LUMOX_LX_POINTCLOUD_PLAIN
#define LUMOX_LX_POINTCLOUD_PLAIN

#include "lx/pointcloud.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

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

}  // namespace lumox::pcl

#endif  // LUMOX_LX_POINTCLOUD_PLAIN

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lx/pointcloud.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumox::pcl::HWY_NAMESPACE {

#if HWY_TARGET == HWY_SCALAR
// Processors without a vector target run the plain loop.
uint64_t project_lanes(const View &view, const float *dist, uint32_t width, uint32_t height,
                       Fourth fourth, const lx_cmap *colour, float *out, uint64_t max_points) {
    return project_plain(view, dist, width, height, fourth, colour, out, max_points);
}
#else
namespace hn = hwy::HWY_NAMESPACE;

// Where the arithmetic widens to double, a vector of doubles takes the floats of one part of the
// pixels' vector: on targets of 256 bits and more the part is the whole vector (one conversion
// each way, as many pixels a step as double lanes); on 128-bit targets, where that would leave two
// pixels a step, the vector has four floats in two parts.
#if HWY_MAX_BYTES == 16
constexpr size_t kParts = 2;
#else
constexpr size_t kParts = 1;
#endif
using DD = hn::ScalableTag<double>;
using DFP = hn::Rebind<float, DD>;
using DIP = hn::Rebind<int32_t, DD>;
using DF = std::conditional_t<kParts == 2, hn::Twice<DFP>, DFP>;
using VD = hn::Vec<DD>;
using VFP = hn::Vec<DFP>;
using VIP = hn::Vec<DIP>;
using VF = hn::Vec<DF>;

// trunc_i32 per lane: truncation toward zero, INT32_MIN outside the 32-bit range and for NaN.
HWY_INLINE VIP truncate(VD v) {
    const DD dd;
    const auto inside =
        hn::And(hn::Gt(v, hn::Set(dd, -2147483649.0)), hn::Lt(v, hn::Set(dd, 2147483648.0)));
    return hn::DemoteTo(DIP(), hn::IfThenElse(inside, v, hn::Set(dd, -2147483648.0)));
}

// lx_cmap_get_color per lane, with the map's fields read once per call.
struct Colours {
    const int32_t *palette = nullptr;
    int32_t size = 0;
    int32_t range_min = 0;
    int32_t range_max = 0;
    double index_scale = 0;

    explicit Colours(const lx_cmap *map) {
        if (map && map->palette && map->size > 0) {
            palette = reinterpret_cast<const int32_t *>(map->palette);
            size = map->size;
            range_min = map->range_min;
            range_max = map->range_max;
            index_scale = map->index_scale;
        }
    }

    HWY_INLINE VIP operator()(VIP v) const {
        const DIP di;
        const VIP zero = hn::Zero(di);
        VIP colour = zero;
        if (palette) {
            const auto inside =
                hn::AndNot(hn::Gt(v, hn::Set(di, range_max)), hn::Gt(v, hn::Set(di, range_min)));
            // v - range_min as the map works it out: unsigned, wrapping, read back as signed.
            const VFP offset = hn::ConvertTo(DFP(), hn::Sub(v, hn::Set(di, range_min)));
            const VIP scaled =
                truncate(hn::Mul(hn::PromoteTo(DD(), offset), hn::Set(DD(), index_scale)));
            VIP k = hn::Sub(hn::Set(di, size), scaled);
            k = hn::IfThenElse(
                hn::Gt(k, zero),
                hn::IfThenElse(hn::Lt(k, hn::Set(di, size)), k, hn::Set(di, size - 1)), zero);
            colour = hn::IfThenElseZero(
                inside, hn::GatherIndex(di, palette, hn::IfThenElseZero(inside, k)));
        }
        colour = hn::IfThenZeroElse(hn::Eq(v, hn::Set(di, 65300)), colour);
        colour = hn::IfThenElse(hn::Eq(v, hn::Set(di, 65400)), hn::Set(di, 0x8000FF), colour);
        colour = hn::IfThenElse(hn::Eq(v, hn::Set(di, 65500)), hn::Set(di, 0xFF0EA9), colour);
        return colour;
    }
};

// float(c - cx) as doubles, column by column: the same for every row, worked out once per call
// for the first kColumnCache columns.
constexpr uint32_t kColumnCache = 1024;

struct Columns {
    double cx;
    alignas(64) double at[kColumnCache];

    Columns(double centre, uint32_t width) : cx(centre) {
        const uint32_t cached = std::min(width, kColumnCache);
        for (uint32_t c = 0; c < cached; ++c) {
            at[c] = static_cast<float>(static_cast<double>(c) - cx);
        }
    }

    // Columns c and on, one a lane.
    HWY_INLINE VD operator()(uint32_t c) const {
        const DD dd;
        if (c + hn::Lanes(dd) <= kColumnCache) return hn::LoadU(dd, at + c);
        const VD exact = hn::Sub(hn::Add(hn::Iota(dd, 0), hn::Set(dd, c)), hn::Set(dd, cx));
        return hn::PromoteTo(dd, hn::DemoteTo(hn::Rebind<float, DD>(), exact));
    }
};

// The lanes' points, x, y, z (and w with a stride of 4) each, one after the other.
template <uint32_t kStride>
HWY_INLINE void store_points(VF x, VF y, VF z, VF w, float *out) {
    if constexpr (kStride == 3) {
        hn::StoreInterleaved3(x, y, z, DF(), out);
    } else {
        hn::StoreInterleaved4(x, y, z, w, DF(), out);
    }
}

constexpr size_t kMaxLanes = HWY_MAX_BYTES / sizeof(float);

// The first `count` points of `packed` (aligned, whole vectors) into out, and nothing past them:
// a vector at a time, the last one by a masked store. (A copy loop or memcpy of this size becomes
// a string move, whose start-up costs as much as the points' arithmetic.)
template <uint32_t kStride>
HWY_INLINE void copy_points(const float *packed, uint32_t count, float *out) {
    const DF df;
    const size_t lanes = hn::Lanes(df);
    const size_t floats = size_t{kStride} * count;
    for (uint32_t k = 0; k < kStride; ++k) {
        const size_t at = k * lanes;
        if (at >= floats) return;
        const VF v = hn::Load(df, packed + at);
        if (floats - at >= lanes) {
            hn::StoreU(v, df, out + at);
        } else {
            hn::BlendedStore(v, hn::FirstN(df, floats - at), df, out + at);
        }
    }
}

// x, y, z and the fourth value of the pixels of one part, from their scaled distances and columns.
template <Fourth kFourth>
HWY_INLINE void part_points(VFP scaled, VD column, VD row, VD fx, VD fy, const Colours &colours,
                            VFP &x, VFP &y, VFP &z, VFP &w) {
    const DD dd;
    const DFP df;
    const VD d = hn::PromoteTo(dd, scaled);
    x = hn::DemoteTo(df, hn::Div(hn::Mul(column, d), fx));
    y = hn::DemoteTo(df, hn::Div(hn::Mul(row, d), fy));
    const VD xd = hn::PromoteTo(dd, x);
    const VD yd = hn::PromoteTo(dd, y);
    z = hn::Sqrt(
        hn::DemoteTo(df, hn::Sub(hn::Sub(hn::Mul(d, d), hn::Mul(xd, xd)), hn::Mul(yd, yd))));
    w = scaled;
    if constexpr (kFourth == Fourth::kColour) {
        w = hn::ConvertTo(df, colours(truncate(hn::Mul(d, hn::Set(dd, 1000.0)))));
    }
}

// The points of the pixels of columns c and on, part by part.
template <Fourth kFourth>
HWY_INLINE void points(VF scaled, const Columns &columns, uint32_t c, VD row, VD fx, VD fy,
                       const Colours &colours, VF &x, VF &y, VF &z, VF &w) {
#if HWY_MAX_BYTES == 16
    const DFP dp;
    const DF df;
    VFP x0, y0, z0, w0, x1, y1, z1, w1;
    part_points<kFourth>(hn::LowerHalf(dp, scaled), columns(c), row, fx, fy, colours, x0, y0, z0,
                         w0);
    part_points<kFourth>(hn::UpperHalf(dp, scaled), columns(c + hn::Lanes(DD())), row, fx, fy,
                         colours, x1, y1, z1, w1);
    x = hn::Combine(df, x1, x0);
    y = hn::Combine(df, y1, y0);
    z = hn::Combine(df, z1, z0);
    w = hn::Combine(df, w1, w0);
#else
    part_points<kFourth>(scaled, columns(c), row, fx, fy, colours, x, y, z, w);
#endif
}

template <Fourth kFourth>
uint64_t project_as(const View &view, const float *dist, uint32_t width, uint32_t height,
                    const lx_cmap *colour_map, float *out, uint64_t max_points) {
    constexpr uint32_t stride = kFourth == Fourth::kNone ? 3 : 4;
    const DF df;
    const DD dd;
    const auto lanes = static_cast<uint32_t>(hn::Lanes(df));
    const Colours colours(colour_map);
    const Columns columns(view.cx, width);
    const VF scale = hn::Set(df, view.dist_scale);
    const VF no_distance = hn::Zero(df);
    const VF too_far = hn::Set(df, kMaxPointDistance);
    const VD fx = hn::Set(dd, view.fx);
    const VD fy = hn::Set(dd, view.fy);
    // The points of a vector with lanes that make none, packed here before they are copied out:
    // nothing past the last point is written.
    HWY_ALIGN float packed[4 * kMaxLanes];
    uint64_t n = 0;
    for (uint32_t r = 0; r < height; ++r) {
        const float dr = static_cast<float>(r - view.cy);
        const VD row_d = hn::Set(dd, static_cast<double>(dr));
        const float *row = dist + static_cast<uint64_t>(r) * width;
        uint32_t c = 0;
        for (; c + lanes <= width; c += lanes) {
            if (n >= max_points) return n;
            const VF d = hn::LoadU(df, row + c);
            const auto valid = hn::And(hn::Gt(d, no_distance), hn::Lt(d, too_far));
            if (hn::AllFalse(df, valid)) continue;
            VF x, y, z, w;
            points<kFourth>(hn::Mul(d, scale), columns, c, row_d, fx, fy, colours, x, y, z, w);
            const uint64_t room = max_points - n;
            // Every lane a point (most of an image): straight to the output.
            if (room >= lanes && hn::AllTrue(df, valid)) {
                store_points<stride>(x, y, z, w, out + stride * n);
                n += lanes;
                continue;
            }
            store_points<stride>(hn::Compress(x, valid), hn::Compress(y, valid),
                                 hn::Compress(z, valid), hn::Compress(w, valid), packed);
            // Where fewer points fit, the first of them.
            const auto count =
                static_cast<uint32_t>(std::min<uint64_t>(hn::CountTrue(df, valid), room));
            copy_points<stride>(packed, count, out + stride * n);
            n += count;
        }
        for (; c < width; ++c) {
            if (n >= max_points) return n;
            if (plain_point(view, row[c], c, dr, kFourth, colour_map, out + stride * n)) ++n;
        }
    }
    return n;
}

uint64_t project_lanes(const View &view, const float *dist, uint32_t width, uint32_t height,
                       Fourth fourth, const lx_cmap *colour, float *out, uint64_t max_points) {
    switch (fourth) {
        case Fourth::kDistance:
            return project_as<Fourth::kDistance>(view, dist, width, height, colour, out,
                                                 max_points);
        case Fourth::kColour:
            return project_as<Fourth::kColour>(view, dist, width, height, colour, out, max_points);
        case Fourth::kNone:
            break;
    }
    return project_as<Fourth::kNone>(view, dist, width, height, colour, out, max_points);
}
#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace lumox::pcl::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumox::pcl {

HWY_EXPORT(project_lanes);

uint64_t project(const View &view, const float *dist, uint32_t width, uint32_t height,
                 Fourth fourth, const lx_cmap *colour, float *out, uint64_t max_points) {
    return HWY_DYNAMIC_DISPATCH(project_lanes)(view, dist, width, height, fourth, colour, out,
                                               max_points);
}

}  // namespace lumox::pcl
#endif  // HWY_ONCE
