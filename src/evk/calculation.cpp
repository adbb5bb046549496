#include "evk/calculation.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "evk/calculator.h"
#include "evk/config.h"
#include "evk/corrections.h"
#include "evk/iterator.h"
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

template <bool kPN>
int get_data_sorted(const char *name, Layout layout, bool pi_delay, int type, uint16_t **image,
                    VariantBuffer &buffer) {
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

// The variant the current modes call for.
int get_data(int type, uint16_t **image) {
    const bool mgx = pixel_settings().dual_mgx;
    const bool pi = calc_modes().pi_delay;
    if (calc_modes().pn) {
        if (mgx) {
            return pi ? calcPNMGXPiDelayGetDataSorted(type, image)
                      : calcPNMGXNoPiDelayGetDataSorted(type, image);
        }
        return pi ? calcPNDefPiDelayGetDataSorted(type, image)
                  : calcPNDefNoPiDelayGetDataSorted(type, image);
    }
    if (mgx) {
        return pi ? calcMGXPiDelayGetDataSorted(type, image)
                  : calcMGXNoPiDelayGetDataSorted(type, image);
    }
    return pi ? calcDefPiDelayGetDataSorted(type, image)
              : calcDefNoPiDelayGetDataSorted(type, image);
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
    const int count = get_data(type, image);
    if (count <= 0) {
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
    calculationAddOffset(image);
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
