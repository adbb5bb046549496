// The Kalman filters of the kit, pixel by pixel, and the one-pass running average, filter and
// offset of a whole image: a vector kernel that Highway compiles for every target and dispatches
// at run time, with the per-pixel stages as its reference.

// Highway compiles this file once per target (foreach_target.h includes it again); the plain
// part is compiled once.
#ifndef LUMOX_EVK_KALMAN_PLAIN
#define LUMOX_EVK_KALMAN_PLAIN

#include "evk/kalman.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "evk/calculation.h"
#include "evk/settings.h"
#include "lumox/evk.h"

namespace lumox::evk {
namespace {

constexpr uint16_t kMaxPhase = 29999;
constexpr int kDiagnosticPixel = 4500;
constexpr uint32_t kSamplesForSigma = 10;
constexpr uint16_t kFirstCode = LUMOX_EVK_LOW_AMPLITUDE;
constexpr int kPhaseUnits = 30000;

KalmanState g_state;

KalmanState &state() { return g_state; }

bool in_range(int pixel) { return pixel >= 0 && pixel < kArrayPixels; }

}  // namespace

uint16_t kalman_phase(double v) {
    // lround's result, clamped: the integer nearest to v with halves away from zero. v - trunc(v)
    // is exact, so the half is decided exactly. NaN and values whose rounding leaves the 64-bit
    // range (lround then gives LONG_MIN) clamp to 0.
    if (!(v > -9223372036854775808.0 && v < 9223372036854775808.0)) return 0;
    if (v <= 0) return 0;
    if (v >= kMaxPhase) return kMaxPhase;
    const double t = std::trunc(v);
    const auto r = static_cast<int32_t>(t) + (v - t >= 0.5 ? 1 : 0);
    return static_cast<uint16_t>(std::min<int32_t>(r, kMaxPhase));
}

namespace {

uint16_t to_phase(double v) { return kalman_phase(v); }

void start_pixel(size_t p, double value) {
    KalmanState &s = state();
    s.previous_raw[p] = value;
    s.estimate[p] = value;
    s.last_valid[p] = value;
    s.check[p] = 0;
}

// Restart of the full filter: the counters and the sums start again with the next image.
void reset_full(size_t p) {
    KalmanState &s = state();
    s.check[p] = 0;
    s.sum[p] = 0;
    s.sum_squares[p] = 0;
    pixel_settings().kalman_samples[p] = static_cast<uint32_t>(-1);
    print(1, 1, "reset Kalman 2  \n");
}

// Running variance of the pixel's raw values, the new value included.
double running_variance(size_t p, double value) {
    KalmanState &s = state();
    const auto count = static_cast<int32_t>(pixel_settings().kalman_samples[p]);
    if (count <= 0) {
        s.sum[p] = 0;
        s.sum_squares[p] = 0;
    }
    s.sum[p] += value;
    s.sum_squares[p] += value * value;
    const int n = std::max(count, 0) + 1;
    if (n < 2) return 0.0;
    const double mean = s.sum[p] / n;
    return std::max(s.sum_squares[p] / n - mean * mean, 0.0);
}

// The simple filter of one pixel in range, with the state and settings at hand.
inline double simple_filter(KalmanState &s, const PixelSettings &settings, double value, int pixel,
                            double gain) {
    const auto p = static_cast<size_t>(pixel);
    if (std::fabs(value - s.previous_raw[p]) < settings.kalman_threshold1) {
        ++s.check[p];
    } else {
        s.check[p] = 0;
    }
    s.previous_raw[p] = value;
    s.estimate[p] = (1.0 - gain) * s.estimate[p] + gain * value;
    if (s.check[p] >= settings.kalman_num_check) {
        s.check[p] = settings.kalman_num_check;
        if (std::fabs(value - s.last_valid[p]) > settings.kalman_threshold1) s.estimate[p] = value;
        s.last_valid[p] = value;
    }
    if (pixel == kDiagnosticPixel) {
        print(1, 2, "print test 4500 NumCheck: %d gThresholdCheck[4500]: %d  leastValid: %2.4f \n",
              settings.kalman_num_check, s.check[p], s.last_valid[p]);
    }
    return s.estimate[p];
}

// The full filter of one pixel in range, with the state and settings at hand.
inline double full_filter(KalmanState &s, PixelSettings &settings, double value, int pixel,
                          double q, double variance) {
    const auto p = static_cast<size_t>(pixel);
    float &covariance = settings.kalman_covariance[p];
    const double predicted = covariance + q;
    const double gain = variance + predicted > 0 ? predicted / (variance + predicted) : 1.0;
    covariance = static_cast<float>(predicted * (1.0 - gain));
    const double threshold = settings.kalman_samples[p] > kSamplesForSigma &&
                                     settings.kalman_samples[p] != static_cast<uint32_t>(-1)
                                 ? 6.0 * std::sqrt(variance)
                                 : settings.kalman_threshold2;
    if (pixel == kDiagnosticPixel) print(1, 2, "threshold = %2.4f \n", threshold);
    const double estimate = s.previous[p] + gain * (value - s.previous[p]);
    const bool within = std::fabs(value - s.previous[p]) < threshold;
    double result = estimate;
    if (settings.kalman_num_check == 0) {
        if (within) {
            s.last_valid[p] = estimate;
        } else {
            result = value;
            reset_full(p);
        }
    } else if (within) {
        ++s.check[p];
        if (pixel == kDiagnosticPixel) {
            print(1, 2, "print test 4500 NumCheck: %d gThresholdCheck[4500]: %d \n ",
                  settings.kalman_num_check, s.check[p]);
        }
        if (s.check[p] >= settings.kalman_num_check) {
            s.check[p] = 0;
            if (std::fabs(s.last_valid[p] - value) < threshold) {
                s.last_valid[p] = estimate;
            } else {
                result = value;
                reset_full(p);
            }
        }
    } else {
        s.check[p] = 0;
    }
    s.previous[p] = result;
    return result;
}

// One pixel of calculationFalmanFiltering in mode 1 to 3: its value (a phase) filtered, the
// pixel's state and sample count moved on.
uint16_t filter_pixel(KalmanState &s, PixelSettings &settings, int mode, int i, uint16_t phase) {
    const auto p = static_cast<size_t>(i);
    const double value = phase;
    uint32_t &samples = settings.kalman_samples[p];
    const bool first = samples == 0;
    if (mode == 2) {
        const double variance = running_variance(p, value);
        const uint16_t out =
            to_phase(full_filter(s, settings, value, i, settings.kalman_q, variance));
        ++samples;
        return out;
    }
    double gain = settings.kalman_k;
    if (first) {
        start_pixel(p, value);
    } else if (mode == 3) {
        const double jump = std::fabs(s.previous_raw[p] - value);
        gain = jump == 0 ? settings.kalman_max_gain
                         : std::min(settings.kalman_kdiff / jump, settings.kalman_max_gain);
        if (i == kDiagnosticPixel) print(1, 2, "set gK 4500: %2.4f \n", gain);
    }
    const uint16_t out = to_phase(simple_filter(s, settings, value, i, gain));
    ++samples;
    return out;
}

// What the vector kernels of average_filter_offset need.
struct FusedArgs {
    uint16_t *image;
    uint16_t *previous;  // null without the running average
    double weight;       // pictures - 1
    double divisor;      // pictures
    int mode;
    KalmanState *state;
    uint32_t *samples;
    float *covariance;
    double k;
    double max_gain;
    double kdiff;
    double q;
    double threshold1;
    double threshold2;
    int num_check;
    bool report_resets;
    int32_t offset;
};

// One pixel of average_filter_offset, as the three stages do it.
void fused_pixel(const FusedArgs &a, int pictures, int i) {
    uint16_t v = a.image[i];
    if (a.previous) {
        uint16_t &previous = a.previous[i];
        if (previous < kFirstCode && v < kFirstCode) {
            const auto sum = static_cast<double>(v + static_cast<int64_t>(pictures - 1) * previous);
            v = static_cast<uint16_t>(static_cast<int64_t>(sum / a.divisor));
        }
        previous = v;
    }
    if (v <= kMaxPhase) v = filter_pixel(*a.state, pixel_settings(), a.mode, i, v);
    if (v != LUMOX_EVK_LOW_AMPLITUDE && v != LUMOX_EVK_SATURATED && v != LUMOX_EVK_ADC_OVERFLOW) {
        auto sum = static_cast<uint32_t>(a.offset) + v;
        if (sum >= 2 * kPhaseUnits) sum -= 2 * kPhaseUnits;
        if (sum >= kPhaseUnits) sum -= kPhaseUnits;
        v = static_cast<uint16_t>(sum);
    }
    a.image[i] = v;
}

}  // namespace

}  // namespace lumox::evk

#endif  // LUMOX_EVK_KALMAN_PLAIN

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "evk/kalman.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

#include "lx/lanes-inl.h"

HWY_BEFORE_NAMESPACE();
namespace lumox::evk::HWY_NAMESPACE {

#if HWY_TARGET == HWY_SCALAR || HWY_MAX_BYTES == 16
// Two double lanes gain nothing over the stages in turn: these targets run those.
int fused_lanes() { return 0; }
void fused_run(const FusedArgs &, int, int) {}
#else
namespace hn = hwy::HWY_NAMESPACE;

// A pixel a double lane; its integers, flags and 16-bit values in lanes of the same count.
using DD = hn::ScalableTag<double>;
using DI = hn::Rebind<int32_t, DD>;
using DU = hn::Rebind<uint32_t, DD>;
using DL = hn::Rebind<int64_t, DD>;
using DF = hn::Rebind<float, DD>;
using VD = hn::Vec<DD>;
using VI = hn::Vec<DI>;
using VU = hn::Vec<DU>;
using MD = hn::Mask<DD>;
using MI = hn::Mask<DI>;
using lumox::lanes::HWY_NAMESPACE::at_least;
using lumox::lanes::HWY_NAMESPACE::load_u16;
using lumox::lanes::HWY_NAMESPACE::store_u16;

// Masks between the 32-bit and the double lanes.
HWY_INLINE MD wide(MI m) {
    return hn::MaskFromVec(hn::BitCast(DD(), hn::PromoteTo(DL(), hn::VecFromMask(DI(), m))));
}
HWY_INLINE MI narrow(MD m) {
    return hn::MaskFromVec(hn::DemoteTo(DI(), hn::IfThenElseZero(m, hn::Set(DD(), -1.0))));
}

HWY_INLINE VD to_double(VI v) { return hn::PromoteTo(DD(), v); }
HWY_INLINE VD fabs_lanes(VD v) { return hn::IfThenElse(hn::Lt(v, hn::Zero(DD())), hn::Neg(v), v); }
// kalman_phase per lane: the integer nearest to v with halves away from zero, clamped to
// 0..kMaxPhase (NaN and what lies outside the 64-bit range to 0).
HWY_INLINE VI phase_lanes(VD v) {
    const DD dd;
    const VD max_phase = hn::Set(dd, static_cast<double>(kMaxPhase));
    const MD ok = hn::And(hn::Gt(v, hn::Zero(dd)), hn::Lt(v, hn::Set(dd, 9223372036854775808.0)));
    const MD top = hn::Ge(v, max_phase);
    const MD inside = hn::AndNot(top, ok);
    const VD clipped = hn::IfThenElseZero(inside, v);
    const VD t = hn::Trunc(clipped);
    const VD rest = hn::Sub(clipped, t);
    VD r = hn::Add(t, hn::IfThenElseZero(hn::Ge(rest, hn::Set(dd, 0.5)), hn::Set(dd, 1.0)));
    r = hn::Min(r, max_phase);
    r = hn::IfThenElse(inside, r, hn::IfThenElseZero(hn::And(ok, top), max_phase));
    return hn::DemoteTo(DI(), r);
}

// Each lane does what imageAverage, calculationFalmanFiltering and calculationAddOffset do to its
// pixel one after the other, with every double operation in the same order (the file is
// compiled without contraction into fused multiply-adds), so results and filter state are the
// same bit for bit. kCounted: the full filter confirms against the last valid value after a
// number of checks.
template <int kMode, bool kAverage, bool kCounted>
void fused_block(const FusedArgs &a, int i, int count) {
    const DD dd;
    const DI di;
    const DU du;
    const auto lanes = static_cast<int>(hn::Lanes(dd));
    const VI zero = hn::Zero(di);
    const VI one = hn::Set(di, 1);
    const VD zero_d = hn::Zero(dd);
    const VD one_d = hn::Set(dd, 1.0);
    const VI num_check = hn::Set(di, a.num_check);
    KalmanState &s = *a.state;
    for (int end = i + count; i < end; i += lanes) {
        VI v = load_u16(di, a.image + i);
        if constexpr (kAverage) {
            const VI previous = load_u16(di, a.previous + i);
            const VI first_code = hn::Set(di, kFirstCode);
            const MI both = hn::And(hn::Lt(previous, first_code), hn::Lt(v, first_code));
            const VD sum =
                hn::Add(to_double(v), hn::Mul(hn::Set(dd, a.weight), to_double(previous)));
            const VI mean = hn::DemoteTo(di, hn::Div(sum, hn::Set(dd, a.divisor)));
            v = hn::IfThenElse(both, mean, v);
            store_u16(di, a.previous + i, v);
        }
        const MI active = hn::Not(hn::Gt(v, hn::Set(di, kMaxPhase)));
        const MD wide_active = wide(active);
        const VD value = to_double(v);
        VU samples = hn::LoadU(du, a.samples + i);
        VD result;
        if constexpr (kMode == 2) {
            const VI count_now = hn::BitCast(di, samples);
            const MD fresh = wide(hn::Not(hn::Gt(count_now, zero)));
            const VD sum_in = hn::LoadU(dd, s.sum.data() + i);
            const VD squares_in = hn::LoadU(dd, s.sum_squares.data() + i);
            VD sum = hn::IfThenZeroElse(fresh, sum_in);
            VD squares = hn::IfThenZeroElse(fresh, squares_in);
            sum = hn::Add(sum, value);
            squares = hn::Add(squares, hn::Mul(value, value));
            const VI n = hn::Add(hn::IfThenZeroElse(hn::Lt(count_now, zero), count_now), one);
            const VD nd = to_double(n);
            const VD mean = hn::Div(sum, nd);
            VD variance = hn::Sub(hn::Div(squares, nd), hn::Mul(mean, mean));
            variance = hn::IfThenZeroElse(hn::Lt(variance, zero_d), variance);
            variance = hn::IfThenZeroElse(hn::Lt(nd, hn::Set(dd, 2.0)), variance);

            const DF df;
            const auto covariance_in = hn::LoadU(df, a.covariance + i);
            const VD predicted = hn::Add(hn::PromoteTo(dd, covariance_in), hn::Set(dd, a.q));
            const VD total = hn::Add(variance, predicted);
            const VD gain = hn::IfThenElse(hn::Gt(total, zero_d), hn::Div(predicted, total), one_d);
            const auto covariance = hn::DemoteTo(df, hn::Mul(predicted, hn::Sub(one_d, gain)));
            const MI sigma = hn::RebindMask(
                di, hn::AndNot(hn::Eq(samples, hn::Set(du, static_cast<uint32_t>(-1))),
                               hn::Gt(samples, hn::Set(du, kSamplesForSigma))));
            const VD threshold =
                hn::IfThenElse(wide(sigma), hn::Mul(hn::Set(dd, 6.0), hn::Sqrt(variance)),
                               hn::Set(dd, a.threshold2));
            const VD before = hn::LoadU(dd, s.previous.data() + i);
            const VD estimate = hn::Add(before, hn::Mul(gain, hn::Sub(value, before)));
            const MD within = hn::Lt(fabs_lanes(hn::Sub(value, before)), threshold);
            const VD last_in = hn::LoadU(dd, s.last_valid.data() + i);
            const VI check_in = hn::LoadU(di, s.check.data() + i);
            VD last = last_in;
            VI check = check_in;
            MI reset;
            if constexpr (!kCounted) {
                last = hn::IfThenElse(within, estimate, last);
                reset = hn::Not(narrow(within));
            } else {
                const MI within_i = narrow(within);
                const VI counted = hn::Add(check, one);
                const MI confirm = hn::And(within_i, at_least(counted, num_check));
                const MI good =
                    hn::And(confirm, narrow(hn::Lt(fabs_lanes(hn::Sub(last, value)), threshold)));
                last = hn::IfThenElse(wide(good), estimate, last);
                reset = hn::AndNot(good, confirm);
                check = hn::IfThenElseZero(within_i, hn::IfThenZeroElse(confirm, counted));
            }
            reset = hn::And(reset, active);
            const MD wide_reset = wide(reset);
            result = hn::IfThenElse(wide_reset, value, estimate);
            check = hn::IfThenZeroElse(reset, check);
            sum = hn::IfThenZeroElse(wide_reset, sum);
            squares = hn::IfThenZeroElse(wide_reset, squares);
            samples = hn::Or(hn::BitCast(du, hn::VecFromMask(di, reset)), samples);  // -1
            if (a.report_resets) {
                for (size_t k = hn::CountTrue(di, reset); k > 0; --k) {
                    print(1, 1, "reset Kalman 2  \n");
                }
            }
            hn::StoreU(hn::IfThenElse(wide_active, sum, sum_in), dd, s.sum.data() + i);
            hn::StoreU(hn::IfThenElse(wide_active, squares, squares_in), dd,
                       s.sum_squares.data() + i);
            hn::StoreU(hn::IfThenElse(wide_active, last, last_in), dd, s.last_valid.data() + i);
            hn::StoreU(hn::IfThenElse(active, check, check_in), di, s.check.data() + i);
            hn::StoreU(hn::IfThenElse(wide_active, result, before), dd, s.previous.data() + i);
            hn::StoreU(hn::IfThenElse(hn::RebindMask(df, active), covariance, covariance_in), df,
                       a.covariance + i);
        } else {
            const MI first_i = hn::RebindMask(di, hn::Eq(samples, hn::Zero(du)));
            const MD first = wide(first_i);
            const VD raw_in = hn::LoadU(dd, s.previous_raw.data() + i);
            const VD estimate_in = hn::LoadU(dd, s.estimate.data() + i);
            const VD last_in = hn::LoadU(dd, s.last_valid.data() + i);
            const VI check_in = hn::LoadU(di, s.check.data() + i);
            VD raw = hn::IfThenElse(first, value, raw_in);
            VD estimate = hn::IfThenElse(first, value, estimate_in);
            VD last = hn::IfThenElse(first, value, last_in);
            VI check = hn::IfThenZeroElse(first_i, check_in);
            VD gain = hn::Set(dd, a.k);
            if constexpr (kMode == 3) {
                const VD max_gain = hn::Set(dd, a.max_gain);
                const VD jump = fabs_lanes(hn::Sub(raw, value));
                const VD ratio = hn::Div(hn::Set(dd, a.kdiff), jump);
                const VD adaptive =
                    hn::IfThenElse(hn::Eq(jump, zero_d), max_gain,
                                   hn::IfThenElse(hn::Lt(max_gain, ratio), max_gain, ratio));
                gain = hn::IfThenElse(first, gain, adaptive);
            }
            const VD threshold1 = hn::Set(dd, a.threshold1);
            check = hn::IfThenElse(narrow(hn::Lt(fabs_lanes(hn::Sub(value, raw)), threshold1)),
                                   hn::Add(check, one), zero);
            raw = value;
            estimate = hn::Add(hn::Mul(hn::Sub(one_d, gain), estimate), hn::Mul(gain, value));
            const MI settled = at_least(check, num_check);
            check = hn::IfThenElse(settled, num_check, check);
            const MD wide_settled = wide(settled);
            estimate = hn::IfThenElse(
                hn::And(wide_settled, hn::Gt(fabs_lanes(hn::Sub(value, last)), threshold1)), value,
                estimate);
            last = hn::IfThenElse(wide_settled, value, last);
            result = estimate;
            hn::StoreU(hn::IfThenElse(wide_active, raw, raw_in), dd, s.previous_raw.data() + i);
            hn::StoreU(hn::IfThenElse(wide_active, estimate, estimate_in), dd,
                       s.estimate.data() + i);
            hn::StoreU(hn::IfThenElse(wide_active, last, last_in), dd, s.last_valid.data() + i);
            hn::StoreU(hn::IfThenElse(active, check, check_in), di, s.check.data() + i);
        }
        samples = hn::Sub(samples, hn::BitCast(du, hn::VecFromMask(di, active)));  // + 1
        hn::StoreU(samples, du, a.samples + i);
        v = hn::IfThenElse(active, phase_lanes(result), v);

        // The offset, codes excepted, in unsigned arithmetic as the per-pixel stage does it.
        const MI code = hn::Or(hn::Or(hn::Eq(v, hn::Set(di, LUMOX_EVK_LOW_AMPLITUDE)),
                                      hn::Eq(v, hn::Set(di, LUMOX_EVK_SATURATED))),
                               hn::Eq(v, hn::Set(di, LUMOX_EVK_ADC_OVERFLOW)));
        const VU two_turns = hn::Set(du, 2 * kPhaseUnits);
        const VU turn = hn::Set(du, kPhaseUnits);
        VU shifted = hn::Add(hn::BitCast(du, v), hn::Set(du, static_cast<uint32_t>(a.offset)));
        shifted = hn::IfThenElse(hn::Lt(shifted, two_turns), shifted, hn::Sub(shifted, two_turns));
        shifted = hn::IfThenElse(hn::Lt(shifted, turn), shifted, hn::Sub(shifted, turn));
        v = hn::IfThenElse(code, v, hn::BitCast(di, shifted));
        store_u16(di, a.image + i, v);
    }
}

int fused_lanes() { return static_cast<int>(hn::Lanes(DD())); }

void fused_run(const FusedArgs &a, int i, int count) {
    const bool average = a.previous != nullptr;
    switch (a.mode) {
        case 1:
            return average ? fused_block<1, true, false>(a, i, count)
                           : fused_block<1, false, false>(a, i, count);
        case 2:
            if (a.num_check != 0) {
                return average ? fused_block<2, true, true>(a, i, count)
                               : fused_block<2, false, true>(a, i, count);
            }
            return average ? fused_block<2, true, false>(a, i, count)
                           : fused_block<2, false, false>(a, i, count);
        default:
            return average ? fused_block<3, true, false>(a, i, count)
                           : fused_block<3, false, false>(a, i, count);
    }
}
#endif  // HWY_TARGET == HWY_SCALAR || HWY_MAX_BYTES == 16

}  // namespace lumox::evk::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumox::evk {

HWY_EXPORT(fused_lanes);
HWY_EXPORT(fused_run);

namespace {

using FusedRun = void (*)(const FusedArgs &, int, int);

// The vector kernel and its lanes, or null where the stages go in turn.
FusedRun fused_kernel(int *lanes) {
    *lanes = HWY_DYNAMIC_DISPATCH(fused_lanes)();
    if (*lanes == 0) {
        *lanes = 1;
        return nullptr;
    }
    return HWY_DYNAMIC_DISPATCH(fused_run);
}

}  // namespace

void kalman_reset_state() { state() = KalmanState{}; }

const KalmanState &kalman_state() { return state(); }

bool average_filter_offset_in_lanes() {
    int lanes = 1;
    return fused_kernel(&lanes) != nullptr;
}

void average_filter_offset(uint16_t *image, int pixels, int pictures, uint16_t *previous,
                           uint32_t offset) {
    PixelSettings &settings = pixel_settings();
    const bool average = previous != nullptr && pictures >= 2;
    const FusedArgs args{image,
                         average ? previous : nullptr,
                         static_cast<double>(pictures) - 1,
                         static_cast<double>(pictures),
                         settings.kalman_mode,
                         &state(),
                         settings.kalman_samples.data(),
                         settings.kalman_covariance.data(),
                         settings.kalman_k,
                         settings.kalman_max_gain,
                         settings.kalman_kdiff,
                         settings.kalman_q,
                         static_cast<double>(settings.kalman_threshold1),
                         static_cast<double>(settings.kalman_threshold2),
                         settings.kalman_num_check,
                         configGetPrint() >= 1,
                         static_cast<int32_t>(offset)};
    int lanes = 1;
    const FusedRun kernel = fused_kernel(&lanes);
    // The diagnostic pixel goes alone, with its messages in their place.
    auto run = [&](int from, int to) {
        int i = from;
        if (kernel && to - from >= lanes) {
            const int count = (to - from) / lanes * lanes;
            kernel(args, from, count);
            i += count;
        }
        for (; i < to; ++i) fused_pixel(args, pictures, i);
    };
    if (pixels > kDiagnosticPixel) {
        run(0, kDiagnosticPixel);
        fused_pixel(args, pictures, kDiagnosticPixel);
        run(kDiagnosticPixel + 1, pixels);
    } else {
        run(0, pixels);
    }
}

}  // namespace lumox::evk

using namespace lumox::evk;

extern "C" {

LUMOX_API double calculationSimpleKalmanFilter(double value, int pixel, double gain) noexcept {
    if (!in_range(pixel)) return value;
    return simple_filter(state(), pixel_settings(), value, pixel, gain);
}

LUMOX_API double calculationKalmanFilter(double value, int pixel, double q,
                                         double variance) noexcept {
    if (!in_range(pixel)) return value;
    return full_filter(state(), pixel_settings(), value, pixel, q, variance);
}

LUMOX_API int calculationFalmanFiltering(uint16_t **image) noexcept {
    if (!image || !*image) return -1;
    auto &settings = pixel_settings();
    const int mode = settings.kalman_mode;
    if (mode < 1 || mode > 3) return 0;
    const int pixels = calc_pixels();
    uint16_t *img = *image;
    KalmanState &s = state();
    for (int i = 0; i < pixels; ++i) {
        if (img[i] <= kMaxPhase) img[i] = filter_pixel(s, settings, mode, i, img[i]);
    }
    return 0;
}

}  // extern "C"
#endif  // HWY_ONCE
