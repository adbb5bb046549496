// Batch amplitude and phase of four-DCS pixels: one plain per-pixel implementation and one
// vector kernel, compiled by Highway for every target and dispatched at run time.
//
// The kernel gives the per-pixel results exactly: the square root is the correctly rounded one
// with the rare pixels where the fast root truncates differently recomputed alone, and the angle
// uses the same table and the same integer table index.

// Highway compiles this file once per target (foreach_target.h includes it again); the plain
// part is compiled once.
#ifndef LUMOX_LX_DCS_PLAIN
#define LUMOX_LX_DCS_PLAIN

#include "lx/dcs.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "lumox/image.h"

namespace lumox::dcs {

namespace {

uint32_t sample(const uint8_t *raw, size_t index) {
    return static_cast<uint32_t>(raw[2 * index] | (raw[2 * index + 1] << 8)) & 0xFFF;
}

#include "lx/atan2_lut.inc"

// The angle table widened to 32-bit entries for the gather instructions.
struct AngleTable {
    alignas(64) int32_t entry[ARCTAN2_LUT_NUM];
    AngleTable() {
        for (int i = 0; i < ARCTAN2_LUT_NUM; ++i) entry[i] = g_atan2_LUT[i];
    }
};

const AngleTable &angle_table() {
    static const AngleTable table;
    return table;
}

// The amplitude of a pixel whose squared half-length is s.
uint16_t fast_amplitude(int32_t s) {
    return static_cast<uint16_t>(static_cast<int32_t>(lx_math_sqrtf(static_cast<float>(s))));
}

// What the decode writes beside the amplitudes.
enum class Output { kNone, kPhase, kLookup };

}  // namespace

Pixel pixel(const uint8_t *raw, uint32_t n, uint32_t i) {
    const auto d0 = static_cast<int32_t>(sample(raw, i));
    const auto d1 = static_cast<int32_t>(sample(raw, static_cast<size_t>(n) + i));
    const auto d2 = static_cast<int32_t>(sample(raw, 2 * static_cast<size_t>(n) + i));
    const auto d3 = static_cast<int32_t>(sample(raw, 3 * static_cast<size_t>(n) + i));
    const int32_t hi = std::max(std::max(d0, d1), std::max(d2, d3));
    const int32_t lo = std::min(std::min(d0, d1), std::min(d2, d3));
    if (hi >= 4095 || lo == 0) return Pixel{false, 0, kNoPhase};
    const int32_t dx = d2 - d0;
    const int32_t dy = d3 - d1;
    const uint16_t amplitude = fast_amplitude((dx * dx + dy * dy) >> 2);
    const auto phase = static_cast<uint16_t>((lx_math_atan2_i32(dy, dx) + 15000) % 30000);
    return Pixel{true, amplitude, phase};
}

uint16_t phase_of_code(uint32_t code) {
    const uint32_t eighths = code >> 12 & 7;
    const uint32_t index = code & 4095;
    return static_cast<uint16_t>((eighths * 3750 + g_atan2_LUT[index] + 15000) % 30000);
}

namespace {

// Pixel i alone, for the pixels past the last whole vector and the plain path.
template <Output kOutput>
void single(const uint8_t *raw, uint32_t n, uint32_t i, uint16_t *amp, uint16_t *out,
            const Lookup *lookup) {
    const Pixel px = pixel(raw, n, i);
    if constexpr (kOutput == Output::kLookup) {
        *amp = px.valid ? px.amplitude : lookup->invalid;
        *out = px.valid ? lookup->by_phase[px.phase] : lookup->invalid;
    } else {
        *amp = px.amplitude;
        if constexpr (kOutput == Output::kPhase) *out = px.phase;
    }
}

}  // namespace

}  // namespace lumox::dcs

#endif  // LUMOX_LX_DCS_PLAIN

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lx/dcs.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

#include "lx/lanes-inl.h"

HWY_BEFORE_NAMESPACE();
namespace lumox::dcs::HWY_NAMESPACE {

#if HWY_TARGET == HWY_SCALAR
// Processors without a vector target run the plain routine.
template <Output kOutput>
void decode(const uint8_t *raw, uint32_t n, uint32_t first, uint32_t count, uint16_t *amp,
            uint16_t *out, const Lookup *lookup) {
    for (uint32_t i = 0; i < count; ++i) {
        single<kOutput>(raw, n, first + i, amp + i, out ? out + i : nullptr, lookup);
    }
}
#else
namespace hn = hwy::HWY_NAMESPACE;
using namespace lumox::lanes::HWY_NAMESPACE;
using D32 = DI;

// Samples (12 bits of each little-endian 16-bit word) of the lanes from p.
HWY_INLINE VI samples(D32 d, const uint8_t *p) {
    return hn::And(load_u16(d, reinterpret_cast<const uint16_t *>(p)), hn::Set(d, 0xFFF));
}

// The angle of (dx, dy) as lx_math_atan2_i32 works it out, as an angle code: the eighths of a
// turn fold_octant counts and the table index, the integer quotient (y << 12) / x. The
// single-precision quotient of these integers (below 2^24) is within 2^-12 of the exact one, so its
// truncation is off by at most one, which the remainder check corrects.
HWY_INLINE VI angle_code(D32 d, VI dx, VI dy) {
    const DF df;
    const VI zero = hn::Zero(d);
    VI x = dx;
    VI y = dy;
    const VI eighths = fold_octant(x, y);
    const VI num = hn::ShiftLeft<12>(y);
    VI q = hn::ConvertTo(d, hn::Div(hn::ConvertTo(df, num), hn::ConvertTo(df, x)));
    const VI rem = hn::Sub(num, hn::Mul(q, x));
    q = hn::Add(q, hn::VecFromMask(d, hn::Lt(rem, zero)));  // true lanes are -1
    q = hn::Sub(q, hn::VecFromMask(d, at_least(rem, x)));   // true lanes are -1
    return hn::Or(hn::ShiftLeft<12>(eighths), q);
}

// The phase of (dx, dy): 30000 units per turn, shifted by half a turn.
HWY_INLINE VI angle(D32 d, VI dx, VI dy) {
    const VI code = angle_code(d, dx, dy);
    const VI entry = hn::GatherIndex(d, angle_table().entry, hn::And(code, hn::Set(d, 4095)));
    VI a = hn::Add(hn::Add(hn::Mul(hn::ShiftRight<12>(code), hn::Set(d, 3750)), entry),
                   hn::Set(d, 15000));
    const VI turn = hn::Set(d, 30000);
    return hn::Sub(a, hn::IfThenElseZero(at_least(a, turn), turn));
}

// Vectors whose pixels near a perfect square are set aside for the scalar square root; the
// vector loop stops when this many are waiting, so that it makes no calls.
constexpr uint32_t kNearMax = 32;
constexpr size_t kMaxLanes = HWY_MAX_BYTES / sizeof(int32_t);

// Amplitudes into amp and, as kOutput says, phases or their values under lookup into out.
template <Output kOutput>
void decode(const uint8_t *raw, uint32_t n, uint32_t first, uint32_t count, uint16_t *amp,
            uint16_t *out, const Lookup *lookup) {
    const D32 d;
    const DF df;
    const uint32_t lanes = static_cast<uint32_t>(hn::Lanes(d));
    const size_t plane = 2 * static_cast<size_t>(n);
    const VI zero = hn::Zero(d);
    const VI one = hn::Set(d, 1);
    uint32_t i = 0;
    HWY_ALIGN int32_t near_s[kNearMax * kMaxLanes];
    HWY_ALIGN int32_t near_mask[kNearMax * kMaxLanes];
    uint32_t near_at[kNearMax];
    while (i + lanes <= count) {
        uint32_t near_count = 0;
        for (; i + lanes <= count && near_count < kNearMax; i += lanes) {
            const uint8_t *p = raw + 2 * (static_cast<size_t>(first) + i);
            const VI d0 = samples(d, p);
            const VI d1 = samples(d, p + plane);
            const VI d2 = samples(d, p + 2 * plane);
            const VI d3 = samples(d, p + 3 * plane);
            const MI valid =
                hn::And(hn::Lt(hn::Max(hn::Max(d0, d1), hn::Max(d2, d3)), hn::Set(d, 4095)),
                        hn::Ne(hn::Min(hn::Min(d0, d1), hn::Min(d2, d3)), zero));
            const VI dx = hn::Sub(d2, d0);
            const VI dy = hn::Sub(d3, d1);
            // The fast square root truncates to floor(sqrt(s)), except a little below a perfect
            // square, where it may already give the square's root (s at most 0.0087 x the root
            // below the square). Those few pixels take the fast square root itself.
            const VI s = hn::ShiftRight<2>(hn::Add(hn::Mul(dx, dx), hn::Mul(dy, dy)));
            const VI root = hn::ConvertTo(d, hn::Sqrt(hn::ConvertTo(df, s)));
            const VI next = hn::Add(root, one);
            const MI near_square = hn::And(
                valid, at_most(hn::Sub(hn::Mul(next, next), s),
                               hn::Add(hn::ShiftRight<10>(hn::Mul(next, hn::Set(d, 9))), one)));
            if constexpr (kOutput == Output::kLookup) {
                const VI invalid = hn::Set(d, lookup->invalid);
                store_u16(d, amp + i, hn::IfThenElse(valid, root, invalid));
                // The 32 bits at the code's 16-bit entry: the low half is the entry.
                const VI offset = hn::ShiftLeft<1>(angle_code(d, dx, dy));
                const VI value =
                    hn::GatherOffset(d, reinterpret_cast<const int32_t *>(lookup->by_code), offset);
                store_u16(d, out + i, hn::IfThenElse(valid, value, invalid));
            } else {
                store_u16(d, amp + i, hn::IfThenElseZero(valid, root));
                if constexpr (kOutput == Output::kPhase) {
                    store_u16(d, out + i, hn::IfThenElse(valid, angle(d, dx, dy), hn::Set(d, -1)));
                }
            }
            if (!hn::AllFalse(d, near_square)) {
                hn::Store(s, d, near_s + near_count * lanes);
                hn::Store(hn::VecFromMask(d, near_square), d, near_mask + near_count * lanes);
                near_at[near_count] = i;
                ++near_count;
            }
        }
        for (uint32_t v = 0; v < near_count; ++v) {
            for (uint32_t k = 0; k < lanes; ++k) {
                if (near_mask[v * lanes + k]) {
                    amp[near_at[v] + k] = fast_amplitude(near_s[v * lanes + k]);
                }
            }
        }
    }
    for (; i < count; ++i) {
        single<kOutput>(raw, n, first + i, amp + i, out ? out + i : nullptr, lookup);
    }
}
#endif  // HWY_TARGET == HWY_SCALAR

void decode_phase(const uint8_t *raw, uint32_t n, uint32_t first, uint32_t count, uint16_t *amp,
                  uint16_t *phase, const Lookup *lookup) {
    decode<Output::kPhase>(raw, n, first, count, amp, phase, lookup);
}

void decode_amplitude(const uint8_t *raw, uint32_t n, uint32_t first, uint32_t count, uint16_t *amp,
                      uint16_t *unused, const Lookup *lookup) {
    decode<Output::kNone>(raw, n, first, count, amp, unused, lookup);
}

void decode_lookup(const uint8_t *raw, uint32_t n, uint32_t first, uint32_t count, uint16_t *amp,
                   uint16_t *out, const Lookup *lookup) {
    decode<Output::kLookup>(raw, n, first, count, amp, out, lookup);
}

}  // namespace lumox::dcs::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumox::dcs {

HWY_EXPORT(decode_phase);
HWY_EXPORT(decode_amplitude);
HWY_EXPORT(decode_lookup);

void amplitude_phase(const uint8_t *raw, uint32_t n, uint32_t first, uint32_t count, uint16_t *amp,
                     uint16_t *phase) {
    HWY_DYNAMIC_DISPATCH(decode_phase)(raw, n, first, count, amp, phase, nullptr);
}

void amplitude(const uint8_t *raw, uint32_t n, uint32_t first, uint32_t count, uint16_t *amp) {
    HWY_DYNAMIC_DISPATCH(decode_amplitude)(raw, n, first, count, amp, nullptr, nullptr);
}

void amplitude_lookup(const uint8_t *raw, uint32_t n, uint32_t first, uint32_t count,
                      const Lookup &t, uint16_t *amp, uint16_t *out) {
    HWY_DYNAMIC_DISPATCH(decode_lookup)(raw, n, first, count, amp, out, &t);
}

}  // namespace lumox::dcs
#endif  // HWY_ONCE
