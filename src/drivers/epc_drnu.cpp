// The DRNU distance formula: the plain per-pixel routine and one vector kernel, compiled by
// Highway for every target and dispatched at run time.
//
// The vector kernels keep every rounding of the plain routine. The integer quotients become
// double quotients truncated toward zero: for integers a and b > 0 with |a| < 2^53 the correctly
// rounded a / b lies on the same side of every integer as the exact quotient (an integer quotient
// is exact; otherwise the quotient is at least 1 / b away from the nearest integer, more than its
// rounding error |a / b| x 2^-53), so the truncations agree. The table reads are gathers of two
// neighbouring entries at once.

// Highway compiles this file once per target (foreach_target.h includes it again); the plain
// part is compiled once.
#ifndef LUMOX_DRIVERS_EPC_DRNU_PLAIN
#define LUMOX_DRIVERS_EPC_DRNU_PLAIN

#include "drivers/epc_drnu.h"

#include <cmath>
#include <cstring>

#include "lx/dcs.h"

namespace lumox::drivers::drnu {
namespace {

constexpr uint32_t kPhaseUnits = 30000;

// Truncation toward zero; values outside the 32-bit range (and NaN) give INT32_MIN, the
// "integer indefinite" of the hardware conversion.
inline int32_t trunc_i32(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// Whether a frame's arithmetic can run in single precision where the plain routine uses double
// precision, with the same results, for rows of up to kMaxNarrowEntries entries: the temperature
// drift Tp is 0 or of a magnitude in 2^-13 .. 2^18. Then p - Tp is exact in double precision for
// every 16-bit p (its bits span fewer than 53 places), so its rounding to single precision is one
// single-precision subtraction; and |J| <= 65535 + 2^18 + 1, so the segment numerator
// (J - L[0]) x (K-1) stays below 2^24, where a truncated single-precision quotient equals the
// integer one (the argument above, with 2^24 for 2^53). The segment base float(s x step) is one
// single-precision product whatever the drift and row length: s is below 2^22 (the size of a
// bank), so s x step has at most 46 significant bits, the double product is exact and it rounds
// as the single-precision one does.
constexpr int32_t kMaxNarrowEntries = 32;

inline bool narrow_drift(float temp_ph) {
    const float drift = std::fabs(temp_ph);
    return temp_ph == 0 || (drift >= 0x1p-13f && drift <= 0x1p18f);
}

}  // namespace

uint16_t distance(const Params &p, uint16_t phase, uint32_t pixel) {
    if (phase == lumox::dcs::kNoPhase) return kInvalidDistance;
    int32_t j = trunc_i32(static_cast<float>(phase - static_cast<double>(p.temp_ph)));
    if (p.k >= 2) {
        const uint16_t *row = p.table + static_cast<size_t>(pixel) * p.k;
        const int32_t first = row[0];
        const int32_t last = row[p.k - 1];
        if (last > first) {
            const int64_t q = (static_cast<int64_t>(j) - first) * (p.k - 1) / (last - first);
            const int32_t s = q < 0 ? 0 : (q >= p.k - 1 ? p.k - 2 : static_cast<int32_t>(q));
            const double seg = (static_cast<double>(j) - row[s]) * p.step_ph /
                               static_cast<double>(row[s + 1] - row[s]);
            const float base = static_cast<float>(s * static_cast<double>(p.step_ph));
            const int64_t sum = static_cast<int64_t>(trunc_i32(seg + base)) + p.offset_ph;
            j = static_cast<int32_t>(static_cast<uint32_t>(sum));
        }
    }
    const auto range = static_cast<uint32_t>(p.range_mm);
    uint32_t mm = static_cast<uint32_t>(j) * range / kPhaseUnits;
    if (mm > range) mm -= range;
    return static_cast<uint16_t>(mm);
}

}  // namespace lumox::drivers::drnu

#endif  // LUMOX_DRIVERS_EPC_DRNU_PLAIN

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "drivers/epc_drnu.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/cache_control.h>
#include <hwy/highway.h>

#include "lx/lanes-inl.h"

HWY_BEFORE_NAMESPACE();
namespace lumox::drivers::drnu::HWY_NAMESPACE {

#if HWY_TARGET == HWY_SCALAR
// Processors without a vector target run the plain routine.
void distances(const Params &p, const uint16_t *phase, uint32_t first, uint32_t count,
               uint16_t *dist) {
    for (uint32_t i = 0; i < count; ++i) dist[i] = distance(p, phase[i], first + i);
}
#else
namespace hn = hwy::HWY_NAMESPACE;

// Pixels in 32-bit lanes of a whole vector; where the arithmetic needs double precision, the
// lower and the upper half of them in a vector of doubles each.
using namespace lumox::lanes::HWY_NAMESPACE;
using DU64 = hn::Repartition<uint64_t, DU>;

// The lanes as doubles, lower and upper half. (Separate functions rather than a pair: SVE's
// vectors have no size known to the compiler and cannot be members of a struct.)
HWY_INLINE VD low_double(VI v) { return hn::PromoteTo(DD(), hn::LowerHalf(DH(), v)); }
HWY_INLINE VD high_double(VI v) { return hn::PromoteTo(DD(), hn::UpperHalf(DH(), v)); }
HWY_INLINE VD low_double(hn::Vec<DF> v) {
    return hn::PromoteTo(DD(), hn::LowerHalf(hn::Half<DF>(), v));
}
HWY_INLINE VD high_double(hn::Vec<DF> v) {
    return hn::PromoteTo(DD(), hn::UpperHalf(hn::Half<DF>(), v));
}

// The conversions toward zero. x86's own instructions give INT32_MIN outside the 32-bit range
// and for NaN, as trunc_i32 does, where Highway's conversions saturate and then need a range
// check around them: on SSE4 and AVX2 the checks made the kernel 10-15 % slower than the one
// written with the instructions before, and on AVX-512 they take five instructions per
// conversion where the instruction alone does, so on x86 the instructions are used directly.
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
#define LUMOX_DRNU_AVX512 1
#endif

// Lanes whose truncation lies in the 32-bit range.
HWY_INLINE VI truncate_in_range(hn::Vec<DF> v) {
#if defined(LUMOX_DRNU_AVX512)
    return VI{_mm512_cvttps_epi32(v.raw)};
#elif HWY_TARGET == HWY_AVX2
    return VI{_mm256_cvttps_epi32(v.raw)};
#elif HWY_TARGET == HWY_SSE4
    return VI{_mm_cvttps_epi32(v.raw)};
#else
    return hn::ConvertTo(DI(), v);
#endif
}

// trunc_i32 per lane: INT32_MIN outside the 32-bit range and for NaN.
HWY_INLINE hn::Vec<DH> truncate_half(VD v) {
#if defined(LUMOX_DRNU_AVX512)
    return hn::Vec<DH>{_mm512_cvttpd_epi32(v.raw)};
#elif HWY_TARGET == HWY_AVX2
    return hn::Vec<DH>{_mm256_cvttpd_epi32(v.raw)};
#elif HWY_TARGET == HWY_SSE4
    return hn::Vec<DH>{_mm_cvttpd_epi32(v.raw)};
#else
    const DD dd;
    const auto in_range =
        hn::And(hn::Gt(v, hn::Set(dd, -2147483649.0)), hn::Lt(v, hn::Set(dd, 2147483648.0)));
    return hn::DemoteTo(DH(), hn::IfThenElse(in_range, v, hn::Set(dd, -2147483648.0)));
#endif
}

HWY_INLINE VI truncate(VD low, VD high) {
    return hn::Combine(DI(), truncate_half(high), truncate_half(low));
}

// The float rounding of each lane, back in double precision.
HWY_INLINE VD round_to_float(VD v) {
    return hn::PromoteTo(DD(), hn::DemoteTo(hn::Rebind<float, DD>(), v));
}

// u / 30000 = (u x 2345624806) >> 46 for every 32-bit u: the multiplier exceeds 2^46 / 30000 by
// less than 2336 / 30000, which moves the quotient of u < 2^32 by less than 1 / 30000, too
// little to reach the next integer. The products of the even and the odd lanes in turn.
HWY_INLINE VU quotient_30000(VU u) {
    const DU du;
    const DU64 du64;
    const VU m = hn::Set(du, 2345624806u);
    const auto even = hn::ShiftRight<46>(hn::MulEven(u, m));
    const VU odd_lanes = hn::BitCast(du, hn::ShiftRight<32>(hn::BitCast(du64, u)));
    const auto odd = hn::ShiftRight<46>(hn::MulEven(odd_lanes, m));
    return hn::BitCast(du, hn::Or(even, hn::ShiftLeft<32>(odd)));
}

// Entries index and index + 1 (16-bit words) of the table in the low and high half of each lane.
HWY_INLINE VI gather_pair(const uint16_t *table, VI index) {
    return hn::GatherOffset(DI(), reinterpret_cast<const int32_t *>(table),
                            hn::ShiftLeft<1>(index));
}

HWY_INLINE VI low_word(VI v) { return hn::And(v, hn::Set(DI(), 0xFFFF)); }
HWY_INLINE VI high_word(VI v) {
    return hn::BitCast(DI(), hn::ShiftRight<16>(hn::BitCast(DU(), v)));
}

// Lanes of q clamped to 0..K-2 where q <= -1 or q >= K-1: the truncation of the result is the
// integer quotient clamped (q < 0 exactly when the quotient is at most -1, q >= K-1 exactly when
// it is at least K-1).
template <class D>
HWY_INLINE hn::Vec<D> clamp_segment(D d, hn::Vec<D> q, hn::Vec<D> segments,
                                    hn::Vec<D> last_segment) {
    return hn::IfThenElse(hn::Le(q, hn::Set(d, -1)), hn::Zero(d),
                          hn::IfThenElse(hn::Ge(q, segments), last_segment, q));
}

// Pixels between the row being prefetched and the row being read.
constexpr uint32_t kAhead = 256;

// kNarrow: narrow_drift(p.temp_ph), and rows of at most kMaxNarrowEntries entries.
template <bool kNarrow>
void lane_distances(const Params &p, const uint16_t *phase, uint32_t first, uint32_t count,
                    uint16_t *dist) {
    const DD dd;
    const DI di;
    const DU du;
    const DF df;
    const DU16 du16;
    const uint32_t lanes = static_cast<uint32_t>(hn::Lanes(di));
    const VD temp = hn::Set(dd, p.temp_ph);
    const VD step = hn::Set(dd, p.step_ph);
    const auto temp_f = hn::Set(df, p.temp_ph);
    const auto step_f = hn::Set(df, p.step_ph);
    const bool use_table = p.k >= 2;
    const int32_t k = p.k;
    const VD segments = hn::Set(dd, k - 1.0);
    const VD last_segment = hn::Set(dd, k - 2.0);
    const auto segments_f = hn::Set(df, static_cast<float>(k - 1));
    const auto last_segment_f = hn::Set(df, static_cast<float>(k - 2));
    const VI range = hn::Set(di, p.range_mm);
    const VU offset = hn::Set(du, static_cast<uint32_t>(p.offset_ph));
    const VI no_phase = hn::Set(di, lumox::dcs::kNoPhase);
    const VI invalid = hn::Set(di, kInvalidDistance);
    const VI lane = hn::Iota(di, 0);
    uint32_t i = 0;
    for (; i + lanes <= count; i += lanes) {
        const VI ph = hn::PromoteTo(di, hn::LoadU(du16, phase + i));
        const auto valid = hn::Ne(ph, no_phase);
        // J = trunc(float(p - Tp)).
        VI j;
        if (kNarrow) {
            j = truncate_in_range(hn::Sub(hn::ConvertTo(df, ph), temp_f));
        } else {
            j = truncate(round_to_float(hn::Sub(low_double(ph), temp)),
                         round_to_float(hn::Sub(high_double(ph), temp)));
        }
        if (use_table) {
            // The rows are read in order but through gathers, which the hardware prefetchers
            // do not follow: fetch the rows a few vectors ahead.
            const uint16_t *ahead = p.table + static_cast<size_t>(first + i + kAhead) * k;
            if (kNarrow) {
                // Rows of at most 64 bytes: the line where each begins (a second line it
                // reaches into is where the next row begins).
                for (uint32_t l = 0; l < lanes; ++l) hwy::Prefetch(ahead + l * k);
            } else {
                for (uint32_t line = 0; line < static_cast<uint32_t>(k) * lanes * 2; line += 64) {
                    hwy::Prefetch(reinterpret_cast<const char *>(ahead) + line);
                }
            }
            const VI at = hn::Mul(hn::Add(lane, hn::Set(di, static_cast<int32_t>(first + i))),
                                  hn::Set(di, k));
            const VI head = gather_pair(p.table, at);
            const VI tail = gather_pair(p.table, hn::Add(at, hn::Set(di, k - 2)));
            const VI l0 = low_word(head);
            const VI lk = high_word(tail);
            const auto rising = hn::Gt(lk, l0);
            if (!hn::AllFalse(di, hn::And(rising, valid))) {
                const VD j_low = low_double(j);
                const VD j_high = high_double(j);
                // Segment: the truncated quotient clamped to 0..K-2.
                const VI span = hn::IfThenElse(rising, hn::Sub(lk, l0), hn::Set(di, 1));
                VI s;
                if (kNarrow) {
                    const auto q = hn::Div(hn::Mul(hn::ConvertTo(df, hn::Sub(j, l0)), segments_f),
                                           hn::ConvertTo(df, span));
                    s = truncate_in_range(clamp_segment(df, q, segments_f, last_segment_f));
                } else {
                    const VD q_low = hn::Div(hn::Mul(hn::Sub(j_low, low_double(l0)), segments),
                                             low_double(span));
                    const VD q_high = hn::Div(hn::Mul(hn::Sub(j_high, high_double(l0)), segments),
                                              high_double(span));
                    s = truncate(clamp_segment(dd, q_low, segments, last_segment),
                                 clamp_segment(dd, q_high, segments, last_segment));
                }
                const VI pair = gather_pair(p.table, hn::Add(at, s));
                const VI ls = low_word(pair);
                // J - L[s] is exact in 32 bits where J stays in the narrow range, and in
                // double precision always.
                const VD from_low =
                    kNarrow ? low_double(hn::Sub(j, ls)) : hn::Sub(j_low, low_double(ls));
                const VD from_high =
                    kNarrow ? high_double(hn::Sub(j, ls)) : hn::Sub(j_high, high_double(ls));
                const VI width = hn::Sub(high_word(pair), ls);
                const auto base = hn::Mul(hn::ConvertTo(df, s), step_f);
                const VD sum_low =
                    hn::Add(hn::Div(hn::Mul(from_low, step), low_double(width)), low_double(base));
                const VD sum_high = hn::Add(hn::Div(hn::Mul(from_high, step), high_double(width)),
                                            high_double(base));
                const VU moved = hn::Add(hn::BitCast(du, truncate(sum_low, sum_high)), offset);
                j = hn::IfThenElse(rising, hn::BitCast(di, moved), j);
            }
        }
        // (J x range) / 30000 in unsigned 32 bits: the product wraps, the quotient is exact.
        const VU product = hn::Mul(hn::BitCast(du, j), hn::BitCast(du, range));
        VI mm = hn::BitCast(di, quotient_30000(product));
        mm = hn::Sub(mm, hn::IfThenElseZero(hn::Gt(mm, range), range));
        const VI out = hn::IfThenElse(valid, mm, invalid);
        hn::StoreU(hn::DemoteTo(du16, hn::And(out, hn::Set(di, 0xFFFF))), du16, dist + i);
    }
    for (; i < count; ++i) dist[i] = distance(p, phase[i], first + i);
}

void distances(const Params &p, const uint16_t *phase, uint32_t first, uint32_t count,
               uint16_t *dist) {
    if (p.k <= kMaxNarrowEntries && narrow_drift(p.temp_ph)) {
        lane_distances<true>(p, phase, first, count, dist);
    } else {
        lane_distances<false>(p, phase, first, count, dist);
    }
}
#endif  // HWY_TARGET == HWY_SCALAR

#undef LUMOX_DRNU_AVX512
}  // namespace lumox::drivers::drnu::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumox::drivers::drnu {

HWY_EXPORT(distances);

void distances(const Params &p, const uint16_t *phase, uint32_t first, uint32_t count,
               uint16_t *dist) {
    HWY_DYNAMIC_DISPATCH(distances)(p, phase, first, count, dist);
}

}  // namespace lumox::drivers::drnu
#endif  // HWY_ONCE
