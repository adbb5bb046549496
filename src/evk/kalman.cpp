#include "evk/kalman.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "evk/calculation.h"
#include "evk/settings.h"
#include "lumox/evk.h"

namespace lumox::evk {
namespace {

constexpr uint16_t kMaxPhase = 29999;
constexpr int kDiagnosticPixel = 4500;
constexpr uint32_t kSamplesForSigma = 10;

struct KalmanState {
    std::array<double, kArrayPixels> previous_raw{};
    std::array<double, kArrayPixels> estimate{};
    std::array<double, kArrayPixels> last_valid{};
    std::array<double, kArrayPixels> previous{};  // last result of the full filter
    std::array<int, kArrayPixels> check{};
    std::array<double, kArrayPixels> sum{};
    std::array<double, kArrayPixels> sum_squares{};
};

KalmanState &state() {
    static KalmanState s;
    return s;
}

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

}  // namespace

void kalman_reset_state() { state() = KalmanState{}; }

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
        if (img[i] > kMaxPhase) continue;
        const auto p = static_cast<size_t>(i);
        const double value = img[i];
        uint32_t &samples = settings.kalman_samples[p];
        const bool first = samples == 0;
        if (mode == 2) {
            const double variance = running_variance(p, value);
            img[i] = to_phase(full_filter(s, settings, value, i, settings.kalman_q, variance));
            ++samples;
            continue;
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
        img[i] = to_phase(simple_filter(s, settings, value, i, gain));
        ++samples;
    }
    return 0;
}

}  // extern "C"
