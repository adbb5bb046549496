#include "evk/corrections.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "evk/calculation.h"
#include "evk/config.h"
#include "evk/grayscale.h"
#include "evk/settings.h"
#include "lumox/evk.h"

namespace lumox::evk {
namespace {

constexpr int kPhaseUnits = 30000;
constexpr uint16_t kFirstCode = LUMOX_EVK_LOW_AMPLITUDE;
constexpr int kMaxGray = kFirstCode - 1;

struct GrayState {
    bool grayscale_offset = true;
    bool grayscale_gain = true;
    bool flim_offset = true;
    bool flim_gain = true;
    bool flim_offset_recorded = false;
    bool flim_gain_recorded = false;
    std::array<float, kArrayPixels> flim_offset_table{};
    std::array<float, kArrayPixels> flim_gain_table{};
};

GrayState &gray_state() {
    static GrayState state;
    return state;
}

bool is_code(uint16_t v) { return v >= kFirstCode; }

int wrap_phase(int64_t phase) {
    return static_cast<int>(((phase % kPhaseUnits) + kPhaseUnits) % kPhaseUnits);
}

// Unambiguous range in millimetres at the current modulation frequency.
double range_mm() {
    const int frequency = configGetModulationFrequency();
    const double half_c = chip_config().speed_of_light_div2 > 0 ? chip_config().speed_of_light_div2
                                                                : kHalfSpeedOfLight;
    return frequency > 0 ? half_c / frequency : 0.0;
}

// The ambient light in a gray value, in DCS units of the samples it corrects.
int ambient_term(int gray, bool epc635_raw) {
    const double factor = chip_config().ambient_light_factor_working;
    if (factor == 0.0) return 0;
    if (epc635_raw) return static_cast<int>(std::lround((gray / 16 - 2048) / factor)) * 16;
    return static_cast<int>(std::lround((gray - 2048) / factor));
}

int correct_drnu(uint16_t **image, bool with_temperature) {
    if (!image || !*image) return -1;
    const int pixels = calc_pixels();
    const CalcImage &img = calc_image();
    const int distances = calibrateGetNumDistances();
    const double range = range_mm();
    if (!img.calibrated_geometry || distances < 2 || range <= 0 ||
        static_cast<int64_t>(calibrateGetWidth()) * calibrateGetHeight() * distances >
            LUMOX_DRNU_BANK_ENTRIES) {
        return 0;
    }
    const uint16_t *table = distImagesDRNU[distance_image_bank()];
    const double step_phase = calibrateGetStepCalMM() * kPhaseUnits / range;
    const double drift = with_temperature ? temperature_drift_phase() : 0.0;
    const int calibration_pixels = calibrateGetWidth() * calibrateGetHeight();
    uint16_t *dist = *image;
    for (int i = 0; i < pixels; ++i) {
        const int ci = img.calibration_index[static_cast<size_t>(i)];
        if (is_code(dist[i]) || ci < 0 || ci >= calibration_pixels) continue;
        const uint16_t *row = table + static_cast<size_t>(ci) * static_cast<size_t>(distances);
        const int first = row[0];
        const int last = row[distances - 1];
        if (last <= first) continue;
        const double phase = dist[i] - drift;
        const auto k = static_cast<int64_t>(
            std::floor((phase - first) * (distances - 1) / static_cast<double>(last - first)));
        const int s = static_cast<int>(std::clamp<int64_t>(k, 0, distances - 2));
        if (row[s + 1] == row[s]) continue;
        const double beyond =
            s * step_phase + (phase - row[s]) * step_phase / (row[s + 1] - row[s]);
        dist[i] = static_cast<uint16_t>(wrap_phase(std::llround(beyond)));
    }
    return 0;
}

}  // namespace

double temperature_drift_phase() {
    const double range = range_mm();
    if (range <= 0) return 0.0;
    const auto &c = chip_config();
    const double mm =
        (temperatureGetTemperatureByFrameHeader() - calibrateGetTempCalib()) * c.temperature_coeff +
        (temperatureGetIbTemperatureByFrameHeader() - calibrateGetIbTempCalib()) *
            c.ib_temperature_coeff;
    return mm * kPhaseUnits / range;
}

void apply_grayscale_correction(uint16_t *image, int count, int plane, int columns) {
    const GrayState &g = gray_state();
    if (!chip_config().enabled_grayscale || (!g.grayscale_offset && !g.grayscale_gain)) return;
    if (plane <= 0 || columns <= 0) return;
    const GrayscaleCorrection &table = grayscale_correction();
    for (int i = 0; i < count; ++i) {
        if (is_code(image[i])) continue;
        const int pixel = i % plane;
        int x = 0;
        int y = 0;
        if (!sensor_coordinates(pixel % columns, pixel / columns, &x, &y)) continue;
        const auto t = static_cast<size_t>(y * kArrayWidth + x);
        double v = image[i];
        if (g.grayscale_gain) v *= table.gain[t];
        if (g.grayscale_offset) v += table.offset[t];
        image[i] =
            static_cast<uint16_t>(std::clamp(std::lround(v), 0L, static_cast<long>(kMaxGray)));
    }
}

void apply_flim_correction(uint16_t *image, int count, int plane) {
    const GrayState &g = gray_state();
    if (plane <= 0) return;
    for (int i = 0; i < count; ++i) {
        const int pixel = i % plane;
        if (is_code(image[i]) || pixel >= kArrayPixels) continue;
        double v = image[i];
        if (g.flim_offset && g.flim_offset_recorded)
            v -= g.flim_offset_table[static_cast<size_t>(pixel)];
        if (g.flim_gain && g.flim_gain_recorded) v *= g.flim_gain_table[static_cast<size_t>(pixel)];
        image[i] =
            static_cast<uint16_t>(std::clamp(std::lround(v), 0L, static_cast<long>(kMaxGray)));
    }
}

void correct_ambient_dcs(uint16_t *image, int count, int plane, int columns) {
    if (plane <= 0 || columns <= 0 || count < 2 * plane) return;
    int16_t temps[4] = {};
    temperatureGetTemperatureROI(configGetDeviceAddress(), temps);
    print(1, 1, "gAmbientLightFactor = %2.4f  pixelPerDCS= %d \n",
          chip_config().ambient_light_factor_working, plane);
    for (int i = 0; i < plane; ++i) {
        uint16_t &dcs0 = image[i];
        uint16_t &dcs1 = image[plane + i];
        if (is_code(dcs0) || is_code(dcs1)) continue;
        const int gray = temperatureGetGrayscalePixel(i);
        // The sorted samples are 12-bit already (an epc635's are shifted down).
        const int term = ambient_term(is_epc635(configGetPartType()) ? gray / 16 : gray, false);
        const int new0 = std::clamp(dcs0 - term, 0, kMaxGray);
        const int new1 = std::clamp(dcs1 - term, 0, kMaxGray);
        print(i % columns < 10, 2, "dcs0= %d  dcs1= %d  newDCS0= %d  newDCS1= %d  ampGray= %d\n",
              dcs0, dcs1, new0, new1, gray);
        dcs0 = static_cast<uint16_t>(new0);
        dcs1 = static_cast<uint16_t>(new1);
    }
}

}  // namespace lumox::evk

using namespace lumox::evk;

extern "C" {

LUMOX_API int calculationAddOffset(uint16_t **image) noexcept {
    if (!image || !*image) return -1;
    const auto &s = pixel_settings();
    int64_t offset = s.offset_phase;
    if (s.drnu_mode == 2) {
        offset = calc_modes().default_offset
                     ? drnu_reference_phase(configGetModulationFrequency())
                     : static_cast<int64_t>(s.offset_phase) + calibrationGetOffsetDRNU();
    }
    uint16_t *dist = *image;
    const int pixels = calc_pixels();
    // (offset + v) mod 30000 with the offset reduced once: the sum of two residues and a 16-bit
    // value stays below 4 x 30000, two subtractions bring it into range.
    const auto reduced = static_cast<uint32_t>(wrap_phase(offset));
    for (int i = 0; i < pixels; ++i) {
        const uint16_t v = dist[i];
        if (v == LUMOX_EVK_LOW_AMPLITUDE || v == LUMOX_EVK_SATURATED ||
            v == LUMOX_EVK_ADC_OVERFLOW) {
            continue;
        }
        constexpr auto kUnits = static_cast<uint32_t>(kPhaseUnits);
        uint32_t sum = reduced + v;
        if (sum >= 2 * kUnits) sum -= 2 * kUnits;
        if (sum >= kUnits) sum -= kUnits;
        dist[i] = static_cast<uint16_t>(sum);
    }
    return 0;
}

LUMOX_API int calibrationSetOffset(int offset) noexcept {
    pixel_settings().offset_phase = offset;
    return 0;
}

LUMOX_API int calibrationGetOffset(void) noexcept { return pixel_settings().offset_phase; }

LUMOX_API int calibrationEnableDefaultOffset(int flag) noexcept {
    calc_modes().default_offset = flag != 0;
    if (flag) pixel_settings().offset_phase = pixel_settings().offset_phase_default;
    return 0;
}

LUMOX_API int calculationCorrectDRNU(uint16_t **image) noexcept {
    return correct_drnu(image, false);
}

LUMOX_API int calculationCorrectDRNU2(uint16_t **image) noexcept {
    return correct_drnu(image, true);
}

LUMOX_API int calculationCorrectTemperature(uint16_t **image) noexcept {
    if (!image || !*image) return -1;
    const auto drift = static_cast<int64_t>(std::llround(temperature_drift_phase()));
    uint16_t *dist = *image;
    const int pixels = calc_pixels();
    for (int i = 0; i < pixels; ++i) {
        if (!is_code(dist[i])) dist[i] = static_cast<uint16_t>(wrap_phase(dist[i] - drift));
    }
    return 0;
}

LUMOX_API int calculationSetEnableTemperature(int flag) noexcept {
    chip_config().enabled_temperature_correction = flag != 0;
    pixel_settings().temperature_correction = flag != 0;
    return 0;
}

LUMOX_API int calculationSetEnableAmbientLight(int flag) noexcept {
    chip_config().enabled_ambient_light_correction = flag != 0;
    return 0;
}

LUMOX_API int calculationSetAmbientLightFactorOrg(double factor) noexcept {
    chip_config().ambient_light_factor = factor;
    return 0;
}

LUMOX_API int calculationSetAmbientLightFactor(double factor) noexcept {
    chip_config().ambient_light_factor_working = factor;
    return 0;
}

LUMOX_API int calculationSetDiffTemp(int difference) noexcept {
    calc_modes().diff_temp = difference;
    return 0;
}

LUMOX_API int calculationGetDiffTemp(void) noexcept { return calc_modes().diff_temp; }

LUMOX_API int calculationAmbientDCSCorrectionPixel(int dcs, int grayPixel) noexcept {
    return dcs - ambient_term(grayPixel, is_epc635(configGetPartType()));
}

LUMOX_API int setCorrectGrayscaleOffset(int flag) noexcept {
    gray_state().grayscale_offset = flag != 0;
    return 0;
}

LUMOX_API int setCorrectGrayscaleGain(int flag) noexcept {
    gray_state().grayscale_gain = flag != 0;
    return 0;
}

LUMOX_API int calculationCalibrateGrayscale(int) noexcept {
    print_message("grayscale gain and offset come from the per-chip file, no calibration run\n");
    return -1;
}

LUMOX_API int calculationFlimCalibration(int type) noexcept {
    if (type == 0) {
        gray_state().flim_offset_recorded = false;
        gray_state().flim_gain_recorded = false;
        return 0;
    }
    if (type != 1 && type != 2) return -1;
    uint16_t *image = nullptr;
    const int count = calcBWSorted(&image);
    const int planes = pruGetNDCS();
    if (count <= 0 || planes <= 0) return -1;
    const int plane = std::min(count / planes, kArrayPixels);
    GrayState &g = gray_state();
    if (type == 1) {
        for (int i = 0; i < plane; ++i) {
            g.flim_offset_table[static_cast<size_t>(i)] = is_code(image[i]) ? 0.0f : image[i];
        }
        g.flim_offset_recorded = true;
        return 0;
    }
    // Flat field: every pixel's gain brings its signal above the dark offset to the frame mean.
    double sum = 0;
    int valid = 0;
    for (int i = 0; i < plane; ++i) {
        const double dark =
            g.flim_offset_recorded ? g.flim_offset_table[static_cast<size_t>(i)] : 0;
        if (!is_code(image[i]) && image[i] > dark) {
            sum += image[i] - dark;
            ++valid;
        }
    }
    if (valid == 0) return -1;
    const double mean = sum / valid;
    for (int i = 0; i < plane; ++i) {
        const double dark =
            g.flim_offset_recorded ? g.flim_offset_table[static_cast<size_t>(i)] : 0;
        const double signal = is_code(image[i]) ? 0 : image[i] - dark;
        g.flim_gain_table[static_cast<size_t>(i)] =
            signal > 0 ? static_cast<float>(mean / signal) : 1.0f;
    }
    g.flim_gain_recorded = true;
    return 0;
}

LUMOX_API int calculateIsFlimCorrectionAvailable(void) noexcept {
    const GrayState &g = gray_state();
    return g.flim_offset_recorded || g.flim_gain_recorded ? 1 : 0;
}

LUMOX_API int calculationSetCorrectFlimOffset(int flag) noexcept {
    gray_state().flim_offset = flag != 0;
    return 0;
}

LUMOX_API int calculationSetCorrectFlimGain(int flag) noexcept {
    gray_state().flim_gain = flag != 0;
    return 0;
}

}  // extern "C"
