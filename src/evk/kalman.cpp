#include "evk/kalman.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "evk/calculation.h"
#include "evk/settings.h"
#include "lumox/evk.h"
#include "lx/simd.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define LUMOX_KALMAN_VECTORS 1
#include <immintrin.h>
#else
#define LUMOX_KALMAN_VECTORS 0
#endif

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

#if LUMOX_KALMAN_VECTORS

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
constexpr int kLanes = 4;
typedef int32_t VI __attribute__((vector_size(kLanes * sizeof(int32_t))));
typedef uint32_t VU __attribute__((vector_size(kLanes * sizeof(uint32_t))));
typedef int64_t VL __attribute__((vector_size(kLanes * sizeof(int64_t))));
typedef double VD __attribute__((vector_size(kLanes * sizeof(double))));
typedef float VF __attribute__((vector_size(kLanes * sizeof(float))));
typedef uint16_t VU16 __attribute__((vector_size(kLanes * sizeof(uint16_t))));

LUMOX_INLINE VD sqrt_lanes(VD v) {
    return reinterpret_cast<VD>(_mm256_sqrt_pd(reinterpret_cast<__m256d>(v)));
}

// The 256-bit forms: the compiler lowers the generic conversions between 128- and 256-bit lanes
// and the selections through masks piece by piece.
LUMOX_INLINE VL wide(VI mask) {
    return reinterpret_cast<VL>(_mm256_cvtepi32_epi64(reinterpret_cast<__m128i>(mask)));
}
LUMOX_INLINE VI narrow(VL mask) {
    const __m256i even = _mm256_permutevar8x32_epi32(reinterpret_cast<__m256i>(mask),
                                                     _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
    return reinterpret_cast<VI>(_mm256_castsi256_si128(even));
}
LUMOX_INLINE VD to_double(VI v) { return _mm256_cvtepi32_pd(reinterpret_cast<__m128i>(v)); }
LUMOX_INLINE VD pick(VL mask, VD a, VD b) {
    return _mm256_blendv_pd(b, a, reinterpret_cast<__m256d>(mask));
}

#include "evk/kalman_kernel.inc"
}  // namespace avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl")
namespace avx512 {
constexpr int kLanes = 8;
typedef int32_t VI __attribute__((vector_size(kLanes * sizeof(int32_t))));
typedef uint32_t VU __attribute__((vector_size(kLanes * sizeof(uint32_t))));
typedef int64_t VL __attribute__((vector_size(kLanes * sizeof(int64_t))));
typedef double VD __attribute__((vector_size(kLanes * sizeof(double))));
typedef float VF __attribute__((vector_size(kLanes * sizeof(float))));
typedef uint16_t VU16 __attribute__((vector_size(kLanes * sizeof(uint16_t))));

LUMOX_INLINE VD sqrt_lanes(VD v) {
    // The masked form with every lane selected: the plain one starts from an undefined register.
    return reinterpret_cast<VD>(_mm512_maskz_sqrt_pd(0xFF, reinterpret_cast<__m512d>(v)));
}

LUMOX_INLINE VL wide(VI mask) { return __builtin_convertvector(mask, VL); }
LUMOX_INLINE VI narrow(VL mask) { return __builtin_convertvector(mask, VI); }
LUMOX_INLINE VD to_double(VI v) { return __builtin_convertvector(v, VD); }
LUMOX_INLINE VD pick(VL mask, VD a, VD b) { return mask ? a : b; }

#include "evk/kalman_kernel.inc"
}  // namespace avx512
#pragma GCC pop_options

#endif  // LUMOX_KALMAN_VECTORS

using FusedRun = void (*)(const FusedArgs &, int, int);

FusedRun fused_kernel(int *lanes) {
#if LUMOX_KALMAN_VECTORS
    switch (simd::best_isa()) {
        case simd::Isa::kAvx512:
            *lanes = avx512::kLanes;
            return avx512::fused_run;
        case simd::Isa::kAvx2:
            *lanes = avx2::kLanes;
            return avx2::fused_run;
        case simd::Isa::kSse41:  // two double lanes gain nothing over the stages in turn
        case simd::Isa::kScalar:
            break;
    }
#endif
    *lanes = 1;
    return nullptr;
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
