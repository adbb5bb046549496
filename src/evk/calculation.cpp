#include "evk/calculation.h"

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "evk/atan2lut.h"
#include "evk/pixel_calculator.h"
#include "evk/bad_pixels.h"
#include "evk/config.h"
#include "evk/corrections.h"
#include "evk/image_processing.h"
#include "evk/iterator.h"
#include "evk/kalman.h"
#include "evk/sine_lanes.h"
#include "lumox/evk.h"

namespace lumox::evk {
namespace {

constexpr int kBufferSamples = LUMOX_EVK_FRAME_BUFFER_BYTES / 2;
constexpr uint16_t kSaturatedSample = 4095;

enum class Layout { kDefault, kDualMgx };
enum Type { kDistance = 0, kAmplitude = 1, kDistanceAndAmplitude = 2 };

// One result buffer per variant: a distance plane and an amplitude plane.
using VariantBuffer = std::array<uint16_t, 2 * static_cast<size_t>(kArrayPixels)>;
VariantBuffer g_def_nopi, g_def_pi, g_mgx_nopi, g_mgx_pi;
VariantBuffer g_pn_def_nopi, g_pn_def_pi, g_pn_mgx_nopi, g_pn_mgx_pi;
std::array<uint16_t, kBufferSamples> g_bw;
std::array<uint16_t, kBufferSamples> g_bw_raw;

// The DCS-sum check: a pixel whose opposite samples do not add up to twice the mid-scale is
// disturbed (ambient light, motion) and gets all four samples cleared.
bool dcs_sums_plausible(const uint16_t s[4], unsigned mask, bool epc635, int threshold) {
    int sum02 = static_cast<int>((s[0] & mask) + (s[2] & mask));
    int sum13 = static_cast<int>((s[1] & mask) + (s[3] & mask));
    if (epc635) {
        sum02 >>= 4;
        sum13 >>= 4;
    }
    return std::abs(sum02 - 4096) < threshold && std::abs(sum13 - 4096) < threshold;
}

void report_geometry(const char *name, int count, int columns) {
    std::printf("%s: a frame of %d samples in %d columns does not fit the image geometry\n", name,
                count, columns);
}

// calculatorSetArgs2DCS / 4DCS followed by calculatorGetDistAndAmpSine for one pixel, with the
// settings read once per frame instead of per pixel. Distance in the low 16 bits, amplitude in
// the high ones, or a reserved code in both.
struct SineCalculator {
    unsigned mask;
    bool check_saturation;
    bool check_overflow;
    int overflow_min;
    int overflow_max;
    int64_t upper;
    int64_t lower;
    uint8_t *state;
    bool epc635;
    const int *atan;

    SineCalculator() {
        PixelSettings &s = pixel_settings();
        mask = s.pixel_mask;
        check_saturation = s.saturation_enabled;
        check_overflow = s.adc_overflow_enabled;
        overflow_min = s.adc_overflow_min;
        overflow_max = s.adc_overflow_max;
        upper = s.hysteresis_upper;
        lower = s.hysteresis_lower;
        state = s.hysteresis_state.data();
        epc635 = is_epc635(configGetPartType());
        atan = atan2_table();
    }

    bool outside(int32_t d) const {
        return static_cast<uint16_t>(d) < overflow_min || static_cast<uint16_t>(d) > overflow_max;
    }

    static uint32_t both(uint16_t code) { return (static_cast<uint32_t>(code) << 16) | code; }

    // kDivider is the divider of calculatorInit: 2 with four samples, 1 with two.
    template <int64_t kDivider>
    uint32_t finish(int64_t arg1, int64_t arg2, int n, bool with_amplitude) const {
        const int64_t q = (arg1 * arg1 + arg2 * arg2) / kDivider / kDivider;
        uint8_t &st = state[static_cast<size_t>(n)];
        if (q >= upper) {
            st = 1;
        } else if (q < lower) {
            st = 0;
        }
        if (st != 1) return both(LUMOX_EVK_LOW_AMPLITUDE);
        // The angle lies in 0..29999, so the half-turn shift wraps at most once.
        auto phase = static_cast<uint32_t>(
            atan2_with(atan, static_cast<int>(arg1), static_cast<int>(arg2)) + 15000);
        if (phase >= 30000) phase -= 30000;
        if (!with_amplitude) return phase;
        return (static_cast<uint32_t>(fast_sqrt16(q)) << 16) | phase;
    }

    uint32_t four(const uint16_t s[4], int n, bool with_amplitude) const {
        const bool saturated = s[0] == kSaturatedSample || s[1] == kSaturatedSample ||
                               s[2] == kSaturatedSample || s[3] == kSaturatedSample;
        if (saturated && check_saturation) return both(LUMOX_EVK_SATURATED);
        const auto d0 = static_cast<int32_t>(s[0] & mask);
        const auto d1 = static_cast<int32_t>(s[1] & mask);
        const auto d2 = static_cast<int32_t>(s[2] & mask);
        const auto d3 = static_cast<int32_t>(s[3] & mask);
        if (check_overflow && (outside(d0) || outside(d1) || outside(d2) || outside(d3))) {
            return both(LUMOX_EVK_ADC_OVERFLOW);
        }
        int64_t arg1 = d3 - d1;
        int64_t arg2 = d2 - d0;
        if (epc635) {
            arg1 >>= 4;
            arg2 >>= 4;
        }
        return finish<2>(arg1, arg2, n, with_amplitude);
    }

    uint32_t two(const uint16_t s[2], int n, bool with_amplitude) const {
        const bool saturated = s[0] == kSaturatedSample || s[1] == kSaturatedSample;
        if (saturated && check_saturation) return both(LUMOX_EVK_SATURATED);
        const auto d0 = static_cast<int32_t>(s[0] & mask);
        const auto d1 = static_cast<int32_t>(s[1] & mask);
        // The two unused slots of the overflow check hold its minimum.
        if (check_overflow &&
            (outside(d0) || outside(d1) || outside(overflow_min) || outside(overflow_min))) {
            return both(LUMOX_EVK_ADC_OVERFLOW);
        }
        const int64_t arg2 = 2048 - (epc635 ? d0 / 16 : d0);
        const int64_t arg1 = 2048 - (epc635 ? d1 / 16 : d1);
        return finish<1>(arg1, arg2, n, with_amplitude);
    }
};

// (offset + phase) mod 30000 into 0..29999 for a phase below 30000, with the offset already
// reduced to 0..29999; the reserved codes stay.
uint16_t offset_phase(uint16_t v, int32_t offset) {
    if (v == LUMOX_EVK_LOW_AMPLITUDE || v == LUMOX_EVK_SATURATED || v == LUMOX_EVK_ADC_OVERFLOW) {
        return v;
    }
    const int32_t sum = offset + v;
    return static_cast<uint16_t>(sum >= 30000 ? sum - 30000 : sum);
}

// The default-layout sine variants without ambient-light correction, walking the read-out order
// row by row: raw row pair r holds image row R/2 - 1 - r (first c samples) and R/2 + r (next c);
// one half: raw row r is image row R - 1 - r. With fold the offset of calculationAddOffset is
// applied to each distance on the way. Runs of a row go through the vector kernel when the
// arguments stay within the table's range (masked samples of 12 bits, or the epc635's shifted
// ones); the rest pixel by pixel.
template <bool kPi>
void sorted_sine(const uint16_t *raw, int plane, int columns, int image_rows, int halves,
                 bool add_arg, int add_threshold, bool with_amplitude, const int64_t *fold,
                 uint16_t *dist, uint16_t *amp, int32_t *calibration_index, bool calibrated) {
    const SineCalculator calc;
    const unsigned mask = calc.mask;
    const int block = halves * columns;
    const int raw_rows = plane / block;
    const auto offset = fold ? static_cast<int32_t>((*fold % 30000 + 30000) % 30000) : 0;

    int lanes = sine_lanes();
    if (!calc.epc635 && (mask & 0xFFFFu) > 0xFFFu) lanes = 0;
    SineArgs args{};
    if (lanes > 0) {
        const auto clamp32 = [](int64_t v) {
            return static_cast<int32_t>(std::clamp<int64_t>(v, 0, INT32_MAX));
        };
        args = {raw,
                plane,
                kPi,
                calc.state,
                dist,
                with_amplitude ? amp : nullptr,
                calibration_index,
                calibrated,
                static_cast<int32_t>(mask & 0xFFFFu),
                calc.check_saturation,
                calc.check_overflow,
                calc.overflow_min,
                calc.overflow_max,
                calc.outside(calc.overflow_min),
                clamp32(calc.upper),
                clamp32(calc.lower),
                calc.epc635,
                add_arg,
                add_threshold,
                fold != nullptr,
                offset,
                calc.atan};
    }
    const int vector_columns = lanes > 0 ? columns / lanes * lanes : 0;

    for (int r = 0; r < raw_rows; ++r) {
        for (int part = 0; part < halves; ++part) {
            const int row = halves == 1 ? image_rows - 1 - r
                            : part == 0 ? image_rows / 2 - 1 - r
                                        : image_rows / 2 + r;
            const int first = r * block + part * columns;
            const int index0 = columns * row;
            if (vector_columns > 0) sine_run(args, first, index0, vector_columns);
            for (int c = vector_columns; c < columns; ++c) {
                const int n = first + c;
                const int index = index0 + c;
                uint32_t result;
                if constexpr (kPi) {
                    uint16_t s[4] = {raw[n], raw[plane + n], raw[2 * plane + n],
                                     raw[3 * plane + n]};
                    if (add_arg && !dcs_sums_plausible(s, mask, calc.epc635, add_threshold)) {
                        s[0] = s[1] = s[2] = s[3] = 0;
                    }
                    result = calc.four(s, n, with_amplitude);
                } else {
                    const uint16_t s[2] = {raw[n], raw[plane + n]};
                    result = calc.two(s, n, with_amplitude);
                }
                calibration_index[index] = calibrated ? n : -1;
                auto d = static_cast<uint16_t>(result & 0xFFFF);
                if (fold) d = offset_phase(d, offset);
                dist[index] = d;
                if (with_amplitude) amp[index] = static_cast<uint16_t>(result >> 16);
            }
        }
    }
}

template <bool kPN>
int get_data_sorted(const char *name, Layout layout, bool pi_delay, int type, uint16_t **image,
                    VariantBuffer &buffer, const int64_t *fold = nullptr, bool *folded = nullptr) {
    if (!image) return -1;
    *image = buffer.data();
    if (type < kDistance || type > kDistanceAndAmplitude) return -1;

    uint16_t *raw = nullptr;
    const int count = pruGetImage(&raw);
    const bool mgx = layout == Layout::kDualMgx;
    const int planes = mgx ? (pi_delay ? 2 : 1) : (pi_delay ? 4 : 2);
    const int plane = count / planes;
    const int columns = pruGetNCols();
    ReadoutIterator it;
    if (!raw || columns <= 0 || plane % columns != 0 || plane > kArrayPixels ||
        !it.init(plane, columns, plane / columns, pruGetNumberOfHalves(), mgx)) {
        report_geometry(name, count, columns);
        return 0;
    }
    const int pixels = columns * it.image_rows();

    CalcImage &img = calc_image();
    img.width = columns;
    img.height = it.image_rows();
    img.calibrated_geometry =
        !mgx && columns == calibrateGetWidth() && it.image_rows() == calibrateGetHeight();

    calculatorInit(pi_delay ? 2 : 1);
    const bool ambient = !mgx && chip_config().enabled_ambient_light_correction != 0;
    if (ambient) calculationSetDiffTemp(temperatureGetTemperature() - calibrateGetTempCalib());
    const bool add_arg = !mgx && pi_delay && configStatusEnableAddArg() != 0;
    const int add_threshold = add_arg ? configGetDcsAdd_threshold() : 0;
    const unsigned mask = pixel_settings().pixel_mask;
    const bool epc635 = is_epc635(configGetPartType());
    const int gate_offset = columns * pruGetNumberOfHalves();

    uint16_t *dist = buffer.data();
    uint16_t *amp = type == kDistanceAndAmplitude ? dist + pixels : dist;
    if (!kPN && !mgx && !ambient && type != kAmplitude) {
        auto *calibration = img.calibration_index.data();
        const bool with_amp = type == kDistanceAndAmplitude;
        if (pi_delay) {
            sorted_sine<true>(raw, plane, columns, it.image_rows(), pruGetNumberOfHalves(), add_arg,
                              add_threshold, with_amp, fold, dist, amp, calibration,
                              img.calibrated_geometry);
        } else {
            sorted_sine<false>(raw, plane, columns, it.image_rows(), pruGetNumberOfHalves(), false,
                               0, with_amp, fold, dist, amp, calibration, img.calibrated_geometry);
        }
        // The calculator registers end up holding the last pixel read, as after the per-pixel
        // calls.
        const int last = plane - 1;
        uint16_t s[4] = {raw[last], raw[plane + last],
                         pi_delay ? raw[2 * plane + last] : uint16_t{0},
                         pi_delay ? raw[3 * plane + last] : uint16_t{0}};
        if (add_arg && !dcs_sums_plausible(s, mask, epc635, add_threshold)) {
            s[0] = s[1] = s[2] = s[3] = 0;
        }
        const int calibration_last = img.calibrated_geometry ? last : -1;
        if (pi_delay) {
            calculatorSetArgs4DCS(s[0], s[1], s[2], s[3], last, calibration_last);
        } else {
            calculatorSetArgs2DCS(s[0], s[1], last, calibration_last);
        }
        if (folded) *folded = fold != nullptr;
        return type == kDistanceAndAmplitude ? 2 * pixels : pixels;
    }
    iterator_position pos{};
    while (it.next(&pos)) {
        const int n = pos.memory;
        uint16_t s[4] = {};
        if (mgx) {
            s[0] = raw[n];
            s[1] = raw[n + gate_offset];
            s[2] = pi_delay ? raw[plane + n] : 0;
            s[3] = pi_delay ? raw[plane + n + gate_offset] : 0;
        } else {
            for (int k = 0; k < planes; ++k) s[k] = raw[k * plane + n];
        }
        if (ambient) {
            const uint16_t gray = temperatureGetGrayscalePixel(pos.index);
            for (int k = 0; k < 2; ++k) {
                s[k] = static_cast<uint16_t>(
                    std::clamp(calculationAmbientDCSCorrectionPixel(s[k], gray), 0, 0xFFFF));
            }
        }
        if (add_arg && !dcs_sums_plausible(s, mask, epc635, add_threshold)) {
            s[0] = s[1] = s[2] = s[3] = 0;
        }
        const int calibration = img.calibrated_geometry ? n : -1;
        if (pi_delay) {
            calculatorSetArgs4DCS(s[0], s[1], s[2], s[3], n, calibration);
        } else {
            calculatorSetArgs2DCS(s[0], s[1], n, calibration);
        }
        img.calibration_index[static_cast<size_t>(pos.index)] = calibration;
        if (type == kAmplitude) {
            amp[pos.index] = kPN ? calculatorGetAmpPN() : calculatorGetAmpSine();
            continue;
        }
        const uint32_t both = kPN ? calculatorGetDistAndAmpPN() : calculatorGetDistAndAmpSine();
        dist[pos.index] = static_cast<uint16_t>(both & 0xFFFF);
        if (type == kDistanceAndAmplitude) amp[pos.index] = static_cast<uint16_t>(both >> 16);
    }
    return type == kDistanceAndAmplitude ? 2 * pixels : pixels;
}

// The variant the current modes call for, called directly rather than through its exported
// name. With fold, the default-layout sine variants add that offset to the distances on the
// way and set *folded.
int get_data(int type, uint16_t **image, const int64_t *fold = nullptr, bool *folded = nullptr) {
    const bool mgx = pixel_settings().dual_mgx;
    const bool pi = calc_modes().pi_delay;
    if (calc_modes().pn) {
        if (mgx) {
            return pi ? get_data_sorted<true>("calcPNMGXPiDelayGetDataSorted", Layout::kDualMgx,
                                              true, type, image, g_pn_mgx_pi)
                      : get_data_sorted<true>("calcPNMGXNoPiDelayGetDataSorted", Layout::kDualMgx,
                                              false, type, image, g_pn_mgx_nopi);
        }
        return pi ? get_data_sorted<true>("calcPNDefPiDelayGetDataSorted", Layout::kDefault, true,
                                          type, image, g_pn_def_pi)
                  : get_data_sorted<true>("calcPNDefNoPiDelayGetDataSorted", Layout::kDefault,
                                          false, type, image, g_pn_def_nopi);
    }
    if (mgx) {
        return pi ? get_data_sorted<false>("calcMGXPiDelayGetDataSorted", Layout::kDualMgx, true,
                                           type, image, g_mgx_pi)
                  : get_data_sorted<false>("calcMGXNoPiDelayGetDataSorted", Layout::kDualMgx, false,
                                           type, image, g_mgx_nopi);
    }
    return pi ? get_data_sorted<false>("calcDefPiDelayGetDataSorted", Layout::kDefault, true, type,
                                       image, g_def_pi, fold, folded)
              : get_data_sorted<false>("calcDefNoPiDelayGetDataSorted", Layout::kDefault, false,
                                       type, image, g_def_nopi, fold, folded);
}

// True when no stage between the sorted distances and the offset changes the image, so that the
// offset can be added in the sorting pass.
bool offset_foldable(const PixelSettings &s) {
    return !bad_pixels_enabled() && s.neighbour_processing != 1 && s.neighbour_processing != 2 &&
           s.averaged_pictures < 2 && s.difference_threshold <= 0 &&
           (s.kalman_mode < 1 || s.kalman_mode > 3) && s.drnu_mode == 0 &&
           !s.temperature_correction;
}

// True when the running average (if on), the Kalman filter (modes 1 to 3) and the offset are the
// only stages after the sorted distances.
bool fusable(const PixelSettings &s) {
    return !bad_pixels_enabled() && s.neighbour_processing != 1 && s.neighbour_processing != 2 &&
           s.difference_threshold <= 0 && s.kalman_mode >= 1 && s.kalman_mode <= 3 &&
           s.drnu_mode == 0 && !s.temperature_correction;
}

// The distance path: sorted distances, the post-processing stages in order, the calibration
// corrections, the offset.
int distance_path(int type, uint16_t **image) {
    if (!image) return -1;
    auto &s = pixel_settings();
    const int offset = s.offset_phase;
    // The sorted distances are raw phases while a DRNU correction follows; the offset it needs is
    // put back before the correction runs.
    if (s.drnu_mode != 0) s.offset_phase = 0;
    const int64_t fold = offset;
    bool folded = false;
    const int count = get_data(type, image, offset_foldable(s) ? &fold : nullptr, &folded);
    if (count <= 0) {
        s.offset_phase = offset;
        return count;
    }
    const int pixels = calc_pixels();
    if (!folded && fusable(s) && pixels > 0 && average_filter_offset_in_lanes()) {
        // Only the running average, the Kalman filter and the offset change the image: one pass.
        const int pictures = s.averaged_pictures;
        average_filter_offset(*image, pixels, pictures,
                              pictures >= 2 ? average_previous(pixels) : nullptr,
                              static_cast<uint32_t>((int64_t{offset} % 30000 + 30000) % 30000));
        s.offset_phase = offset;
        return count;
    }
    imageCorrect(image);
    imageProcess(image);
    imageAverage(image);
    imageDifference(image);
    calculationFalmanFiltering(image);
    s.offset_phase = offset;
    if (s.drnu_mode == 1) {
        calculationCorrectDRNU(image);
    } else if (s.drnu_mode == 2) {
        calculationCorrectDRNU2(image);
    } else if (s.temperature_correction) {
        calculationCorrectTemperature(image);
    }
    if (!folded) calculationAddOffset(image);
    return count;
}

// The sorted planes of one fetched frame; 0 when the geometry does not fit.
int sorted_planes(uint16_t **image, int *plane_pixels, int *columns_out) {
    *image = g_bw.data();
    uint16_t *raw = nullptr;
    const int count = pruGetImage(&raw);
    const int planes = pruGetNDCS();
    const int columns = pruGetNCols();
    const int plane = planes > 0 ? count / planes : 0;
    ReadoutIterator it;
    if (!raw || planes <= 0 || count > kBufferSamples || columns <= 0 || plane % columns != 0 ||
        !it.init(plane, columns, plane / columns, pruGetNumberOfHalves(), false)) {
        report_geometry("calcBWSorted", count, columns);
        return 0;
    }
    const unsigned mask = pixel_settings().pixel_mask;
    const bool epc635 = is_epc635(configGetPartType());
    const bool two_planes = chip_config().current_mode == 2;
    iterator_position pos{};
    while (it.next(&pos)) {
        const int n = pos.memory;
        for (int p = 0; p < planes; ++p) {
            const uint16_t sample = raw[p * plane + n];
            const int masked = static_cast<int>(sample & mask);
            uint16_t value;
            if (sample == kSaturatedSample) {
                value = LUMOX_EVK_SATURATED;
            } else if (two_planes) {
                // Grayscale mode: the two planes hold the signal above and below mid-scale.
                int v;
                if (epc635) {
                    v = (masked >> 4) - 2048;
                } else {
                    v = p % 2 == 0 ? masked - 2048 : 2048 - masked;
                }
                value = static_cast<uint16_t>(std::max(v, 0));
            } else if (adcOverflowCheck1DCS(static_cast<uint16_t>(masked))) {
                value = LUMOX_EVK_ADC_OVERFLOW;
            } else {
                value = static_cast<uint16_t>(epc635 ? masked >> 4 : masked);
            }
            g_bw[static_cast<size_t>(p * plane + pos.index)] = value;
        }
    }
    *plane_pixels = plane;
    *columns_out = columns;
    return count;
}

// The gray corrections of the gray and DCS images: FLIM in grayscale mode when calibrated, else
// the grayscale gain and offset.
void correct_gray(uint16_t *image, int count, int plane, int columns) {
    if (chip_config().current_mode == 2 && calculateIsFlimCorrectionAvailable()) {
        apply_flim_correction(image, count, plane);
    } else {
        apply_grayscale_correction(image, count, plane, columns);
    }
}

}  // namespace

CalcModes &calc_modes() {
    static CalcModes modes;
    return modes;
}

CalcImage &calc_image() {
    static CalcImage image;
    return image;
}

int calc_pixels() {
    const int pixels = calcImageWidth() * calcImageHeight();
    return pixels > 0 && pixels <= kArrayPixels ? pixels : 0;
}

bool sensor_coordinates(int column, int row, int *x, int *y) {
    const int row_step = calculationIsDualMGX() ? 2 : pruGetRowReduction();
    *x = readOutGetTopLeftX() + column * pruGetColReduction();
    *y = readOutGetTopLeftY() + row * row_step;
    return *x >= 0 && *x < kArrayWidth && *y >= 0 && *y < kArrayHeight;
}

}  // namespace lumox::evk

using namespace lumox::evk;

extern "C" {

#define LUMOX_VARIANT(fn, pn, layout, pi, buffer)                         \
    LUMOX_API int fn(int type, uint16_t **image) noexcept {               \
        return get_data_sorted<pn>(#fn, layout, pi, type, image, buffer); \
    }

LUMOX_VARIANT(calcDefNoPiDelayGetDataSorted, false, Layout::kDefault, false, g_def_nopi)
LUMOX_VARIANT(calcDefPiDelayGetDataSorted, false, Layout::kDefault, true, g_def_pi)
LUMOX_VARIANT(calcMGXNoPiDelayGetDataSorted, false, Layout::kDualMgx, false, g_mgx_nopi)
LUMOX_VARIANT(calcMGXPiDelayGetDataSorted, false, Layout::kDualMgx, true, g_mgx_pi)
LUMOX_VARIANT(calcPNDefNoPiDelayGetDataSorted, true, Layout::kDefault, false, g_pn_def_nopi)
LUMOX_VARIANT(calcPNDefPiDelayGetDataSorted, true, Layout::kDefault, true, g_pn_def_pi)
LUMOX_VARIANT(calcPNMGXNoPiDelayGetDataSorted, true, Layout::kDualMgx, false, g_pn_mgx_nopi)
LUMOX_VARIANT(calcPNMGXPiDelayGetDataSorted, true, Layout::kDualMgx, true, g_pn_mgx_pi)

#undef LUMOX_VARIANT

LUMOX_API int calcImageWidth(void) noexcept {
    const CalcImage &img = calc_image();
    return img.width > 0 ? img.width : pruGetNCols();
}

LUMOX_API int calcImageHeight(void) noexcept {
    const CalcImage &img = calc_image();
    if (img.height > 0) return img.height;
    return pruGetNRowsPerHalf() * pruGetNumberOfHalves() / (calculationIsDualMGX() ? 2 : 1);
}

LUMOX_API int calcBWSorted(uint16_t **image) noexcept {
    if (!image) return -1;
    int plane = 0;
    int columns = 0;
    return sorted_planes(image, &plane, &columns);
}

LUMOX_API int calculationBW(uint16_t **image) noexcept {
    if (!image) return -1;
    *image = g_bw_raw.data();
    uint16_t *raw = nullptr;
    const int count = pruGetImage(&raw);
    if (!raw || count <= 0 || count > kBufferSamples) return 0;
    if (chip_config().current_mode == 2) {
        // Low plane: the part above mid-scale; high plane: the part below it.
        const int half = count / 2;
        for (int i = 0; i < count; ++i) {
            const int v = raw[i] & 0xFFF;
            int out;
            if (i < half) {
                out = (raw[i] & 0x800) ? v - 2048 : 0;
            } else {
                out = v > 2048 ? 0 : 2048 - v;
            }
            g_bw_raw[static_cast<size_t>(i)] = static_cast<uint16_t>(out);
        }
    } else {
        for (int i = 0; i < count; ++i) g_bw_raw[static_cast<size_t>(i)] = raw[i] & 0x0FFF;
    }
    return count;
}

LUMOX_API int calculationBWSorted(uint16_t **image) noexcept {
    if (!image) return -1;
    int plane = 0;
    int columns = 0;
    const int count = sorted_planes(image, &plane, &columns);
    if (count > 0) correct_gray(*image, count, plane, columns);
    return count;
}

LUMOX_API int calculationDCSSorted(uint16_t **image) noexcept {
    if (!image) return -1;
    int plane = 0;
    int columns = 0;
    const int count = sorted_planes(image, &plane, &columns);
    if (count <= 0) return count;
    if (chip_config().enabled_ambient_light_correction) {
        correct_ambient_dcs(*image, count, plane, columns);
    }
    correct_gray(*image, count, plane, columns);
    return count;
}

LUMOX_API int calculationDistanceSorted(uint16_t **image) noexcept {
    return distance_path(kDistance, image);
}

LUMOX_API int calculationAmplitudeSorted(uint16_t **image) noexcept {
    if (!image) return -1;
    return get_data(kAmplitude, image);
}

LUMOX_API int calculationDistanceAndAmplitudeSorted(uint16_t **image) noexcept {
    return distance_path(kDistanceAndAmplitude, image);
}

LUMOX_API int calculationEnablePiDelay(int flag) noexcept {
    calc_modes().pi_delay = flag != 0;
    return 0;
}

LUMOX_API int calculationIsPiDelay(void) noexcept { return calc_modes().pi_delay ? 1 : 0; }

LUMOX_API int calculationEnableDualMGX(int flag) noexcept {
    pixel_settings().dual_mgx = flag != 0;
    return 0;
}

LUMOX_API int calculationEnablePN(int flag) noexcept {
    calc_modes().pn = flag != 0;
    return 0;
}

LUMOX_API int calculationIsPN(void) noexcept { return calc_modes().pn ? 1 : 0; }

}  // extern "C"
