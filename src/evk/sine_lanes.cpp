// The sine distances of a run of pixels that lie side by side in the raw planes and in the image
// (one raw row of one half), a vector of pixels per step.
//
// Every lane follows SineCalculator: the DCS-sum check, the saturation and overflow checks, the
// hysteresis, the arctangent of the table with the half-turn shift, the folded offset and the
// fast square root. The integer quotient of the arctangent becomes a truncated double quotient:
// both operands are below 2^26 and the divisor at most 8192, where the correctly rounded quotient
// never reaches an integer the exact one does not (an inexact quotient is at least 1 / 8192 away
// from every integer, far more than its rounding error).

#include "evk/sine_lanes.h"

#include "lumox/evk.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "evk/sine_lanes.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

#include "lx/lanes-inl.h"

HWY_BEFORE_NAMESPACE();
namespace lumox::evk::HWY_NAMESPACE {

#if HWY_TARGET == HWY_SCALAR
// Processors without a vector target go pixel by pixel in calculation.cpp.
int lanes() { return 0; }
void run(const SineArgs &, int, int, int) {}
#else
namespace hn = hwy::HWY_NAMESPACE;

using namespace lumox::lanes::HWY_NAMESPACE;
using DU8 = hn::Rebind<uint8_t, DI>;

HWY_INLINE VI pick(MI m, int32_t yes, VI no) { return hn::IfThenElse(m, hn::Set(DI(), yes), no); }

// A phase plus less than a turn, back into 0..29999.
HWY_INLINE VI wrap_turn(VI v) {
    const VI turn = hn::Set(DI(), 30000);
    return hn::IfThenElse(hn::Lt(v, turn), v, hn::Sub(v, turn));
}

HWY_INLINE hn::Vec<DH> half_quotient(hn::Vec<DH> a, hn::Vec<DH> b) {
    const DD dd;
    return hn::DemoteTo(DH(), hn::Div(hn::PromoteTo(dd, a), hn::PromoteTo(dd, b)));
}

// The double quotient of two lanes truncated toward zero, a half of the lanes at a time.
HWY_INLINE VI truncated_quotient(VI a, VI b) {
    const DH dh;
    return hn::Combine(DI(), half_quotient(hn::UpperHalf(dh, a), hn::UpperHalf(dh, b)),
                       half_quotient(hn::LowerHalf(dh, a), hn::LowerHalf(dh, b)));
}

// fast_sqrt16: one step of the fast inverse square root.
HWY_INLINE VI fast_root(VI q) {
    const DF df;
    const DU du;
    const auto x = hn::ConvertTo(df, q);
    const auto bits = hn::Sub(hn::Set(du, 0x5F3759DFu), hn::ShiftRight<1>(hn::BitCast(du, x)));
    auto y = hn::BitCast(df, bits);
    y = hn::Mul(y,
                hn::Sub(hn::Set(df, 1.5f), hn::Mul(hn::Mul(hn::Mul(hn::Set(df, 0.5f), x), y), y)));
    return hn::ConvertTo(DI(), hn::Mul(y, x));
}

HWY_INLINE MI outside(VI d, VI low, VI high) { return hn::Or(hn::Lt(d, low), hn::Gt(d, high)); }

template <bool kPi, bool kAmp>
void block(const SineArgs &a, int n, int index, int count) {
    const DI di;
    const auto lanes = static_cast<int>(hn::Lanes(di));
    const VI mask = hn::Set(di, a.mask);
    const VI zero = hn::Zero(di);
    const VI one = hn::Set(di, 1);
    const VI lane = hn::Iota(di, 0);
    for (int c = 0; c < count; c += lanes, n += lanes, index += lanes) {
        VI s0 = load_u16(DI(), a.raw + n);
        VI s1 = load_u16(DI(), a.raw + a.plane + n);
        VI s2 = zero;
        VI s3 = zero;
        if constexpr (kPi) {
            s2 = load_u16(DI(), a.raw + 2 * a.plane + n);
            s3 = load_u16(DI(), a.raw + 3 * a.plane + n);
            if (a.add_arg) {
                VI sum02 = hn::Add(hn::And(s0, mask), hn::And(s2, mask));
                VI sum13 = hn::Add(hn::And(s1, mask), hn::And(s3, mask));
                if (a.epc635) {
                    sum02 = hn::ShiftRight<4>(sum02);
                    sum13 = hn::ShiftRight<4>(sum13);
                }
                const VI threshold = hn::Set(di, a.add_threshold);
                const VI mid = hn::Set(di, 4096);
                const MI plausible = hn::And(hn::Lt(hn::Abs(hn::Sub(sum02, mid)), threshold),
                                             hn::Lt(hn::Abs(hn::Sub(sum13, mid)), threshold));
                s0 = hn::IfThenElseZero(plausible, s0);
                s1 = hn::IfThenElseZero(plausible, s1);
                s2 = hn::IfThenElseZero(plausible, s2);
                s3 = hn::IfThenElseZero(plausible, s3);
            }
        }
        const VI full = hn::Set(di, 4095);
        MI saturated = hn::Or(hn::Eq(s0, full), hn::Eq(s1, full));
        if constexpr (kPi)
            saturated = hn::Or(saturated, hn::Or(hn::Eq(s2, full), hn::Eq(s3, full)));
        if (!a.check_saturation) saturated = hn::FirstN(di, 0);
        const VI d0 = hn::And(s0, mask);
        const VI d1 = hn::And(s1, mask);
        const VI d2 = hn::And(s2, mask);
        const VI d3 = hn::And(s3, mask);
        MI overflow = hn::FirstN(di, 0);
        if (a.check_overflow) {
            const VI low = hn::Set(di, a.overflow_min);
            const VI high = hn::Set(di, a.overflow_max);
            overflow = hn::Or(outside(d0, low, high), outside(d1, low, high));
            if constexpr (kPi) {
                overflow = hn::Or(overflow, hn::Or(outside(d2, low, high), outside(d3, low, high)));
            } else if (a.filler_outside) {
                overflow = hn::FirstN(di, hn::Lanes(di));
            }
        }
        VI arg1;
        VI arg2;
        VI q;
        if constexpr (kPi) {
            arg1 = hn::Sub(d3, d1);
            arg2 = hn::Sub(d2, d0);
            if (a.epc635) {
                arg1 = hn::ShiftRight<4>(arg1);
                arg2 = hn::ShiftRight<4>(arg2);
            }
            q = hn::ShiftRight<2>(hn::Add(hn::Mul(arg1, arg1), hn::Mul(arg2, arg2)));
        } else {
            const VI mid = hn::Set(di, 2048);
            arg2 = hn::Sub(mid, a.epc635 ? hn::ShiftRight<4>(d0) : d0);
            arg1 = hn::Sub(mid, a.epc635 ? hn::ShiftRight<4>(d1) : d1);
            q = hn::Add(hn::Mul(arg1, arg1), hn::Mul(arg2, arg2));
        }
        // The hysteresis state moves only for pixels that passed the checks.
        const MI code = hn::Or(saturated, overflow);
        VI state = hn::PromoteTo(di, hn::LoadU(DU8(), a.state + n));
        const VI updated =
            hn::IfThenElse(hn::Lt(q, hn::Set(di, a.upper)),
                           hn::IfThenZeroElse(hn::Lt(q, hn::Set(di, a.lower)), state), one);
        state = hn::IfThenElse(code, state, updated);
        hn::StoreU(hn::DemoteTo(DU8(), state), DU8(), a.state + n);

        // The arctangent of (arg1, arg2) by octants, as atan2_with; y = 0 has its angle without
        // the table (its lanes divide 0 by 1).
        const VI y = arg1;
        const VI x = arg2;
        VI yy = y;
        VI xx = x;
        const VI base = hn::Mul(fold_octant(xx, yy), hn::Set(di, 3750));
        const MI on_axis = hn::Eq(y, zero);
        const VI ratio = truncated_quotient(hn::Mul(yy, hn::Set(di, 4096)), xx);
        VI angle = hn::Add(base, hn::GatherIndex(di, a.atan, ratio));
        angle =
            hn::IfThenElse(on_axis, hn::IfThenElseZero(hn::Lt(x, zero), hn::Set(di, 15000)), angle);
        VI phase = wrap_turn(hn::Add(angle, hn::Set(di, 15000)));
        if (a.fold) phase = wrap_turn(hn::Add(phase, hn::Set(di, a.offset)));
        const VI reserved =
            pick(saturated, LUMOX_EVK_SATURATED,
                 pick(overflow, LUMOX_EVK_ADC_OVERFLOW, hn::Set(di, LUMOX_EVK_LOW_AMPLITUDE)));
        const MI measured = hn::AndNot(code, hn::Eq(state, one));
        store_u16(DI(), a.dist + index, hn::IfThenElse(measured, phase, reserved));
        if constexpr (kAmp) {
            store_u16(DI(), a.amp + index, hn::IfThenElse(measured, fast_root(q), reserved));
        }
        hn::StoreU(a.calibrated ? hn::Add(lane, hn::Set(di, n)) : hn::Set(di, -1), di,
                   a.calibration + index);
    }
}

int lanes() { return static_cast<int>(hn::Lanes(DI())); }

void run(const SineArgs &a, int n, int index, int count) {
    if (a.pi) {
        if (a.amp) {
            block<true, true>(a, n, index, count);
        } else {
            block<true, false>(a, n, index, count);
        }
    } else if (a.amp) {
        block<false, true>(a, n, index, count);
    } else {
        block<false, false>(a, n, index, count);
    }
}
#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace lumox::evk::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumox::evk {

HWY_EXPORT(lanes);
HWY_EXPORT(run);

int sine_lanes() { return HWY_DYNAMIC_DISPATCH(lanes)(); }

void sine_run(const SineArgs &args, int n, int index, int count) {
    HWY_DYNAMIC_DISPATCH(run)(args, n, index, count);
}

}  // namespace lumox::evk
#endif  // HWY_ONCE
