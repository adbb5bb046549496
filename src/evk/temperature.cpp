#include "evk/temperature.h"

#include <array>
#include <cstring>

#include "evk/config.h"
#include "evk/device_port.h"
#include "evk/settings.h"

namespace lumox::evk {
namespace {

constexpr uint32_t kParamTemperature = 15;
constexpr int kAdcChannels = 8;
constexpr int kIlluminationChannels[2] = {2, 4};
constexpr int kIlluminationSamples = 10;
constexpr int kKalmanFields = 8;

struct TemperatureState {
    int16_t frame_sensor = 0;
    int16_t frame_board = 0;
    int last_chip = 0;
    int last_illumination = 0;
    std::array<int16_t, kKalmanFields> kalman_previous{};
    std::array<uint16_t, kArrayPixels> grayscale{};
};

TemperatureState g_state;

// Reads parameter 15; returns the number of 16-bit readings copied into readings (at most 9).
int read_temperatures(int16_t *readings) {
    uint8_t value[kParamValueMax] = {};
    uint8_t length = 0;
    if (!device_port().param_get(g_lx_dev, kParamTemperature, value, &length)) return -1;
    size_t bytes = length < kParamValueMax ? length : kParamValueMax;
    std::memcpy(readings, value, bytes & ~size_t{1});
    return static_cast<int>(bytes / 2);
}

}  // namespace
}  // namespace lumox::evk

using namespace lumox::evk;

extern "C" {

LUMOX_API int adcOpen(int channel) noexcept {
    return (channel >= 0 && channel < kAdcChannels) ? channel : -1;
}
LUMOX_API int adcGetValue(int) noexcept { return 1024; }
LUMOX_API int adcGetValueMillivolts(int) noexcept { return 450; }
LUMOX_API int adcGetValueMicroAmpere(int, int ohms) noexcept {
    return ohms == 0 ? -1 : 450000 / ohms;
}

LUMOX_API int temperatureInit(void) noexcept {
    for (int channel : kIlluminationChannels) adcOpen(channel);
    return 0;
}

LUMOX_API int temperatureGetTemperatures(int, int16_t *buffer) noexcept {
    if (!buffer) return -1;
    return read_temperatures(buffer);
}

LUMOX_API int temperatureGetTemperatureChip(int address, int16_t *buffer) noexcept {
    return temperatureGetTemperatures(address, buffer);
}

LUMOX_API int temperatureGetTemperature(void) noexcept {
    int16_t readings[kParamValueMax / 2] = {};
    int n = read_temperatures(readings);
    if (n <= 0) return -1;
    int part_type = configGetPartType();
    if (part_type == 2 || part_type == 3) {
        // A camera that reports fewer than four readings contributes zeros, as its bytes are.
        return (readings[0] + readings[1] + readings[2] + readings[3]) / 4;
    }
    return readings[0];
}

LUMOX_API int temperatureGetTemperatureROI(int, int16_t *temps) noexcept {
    if (!temps) return -1;
    int16_t readings[kParamValueMax / 2] = {};
    int n = read_temperatures(readings);
    if (n <= 0) return -1;
    int sum = 0;
    for (int i = 0; i < 4; ++i) {
        temps[i] = readings[i < n ? i : n - 1];
        sum += temps[i];
    }
    g_state.last_chip = sum / 4;
    return 4;
}

LUMOX_API void temperatureSetTemperatureByFrameHeader(int16_t sensor, int16_t board) noexcept {
    g_state.frame_sensor = sensor;
    g_state.frame_board = board;
}

LUMOX_API int temperatureGetTemperatureByFrameHeader(void) noexcept { return g_state.frame_sensor; }
LUMOX_API int temperatureGetIbTemperatureByFrameHeader(void) noexcept {
    return g_state.frame_board;
}

LUMOX_API int temperatureGetTemperatureIllumination(int16_t *pair) noexcept {
    int sum_tenths = 0;
    for (int i = 0; i < 2; ++i) {
        double total = 0;
        for (int k = 0; k < kIlluminationSamples; ++k) {
            total += adcGetValueMillivolts(kIlluminationChannels[i]);
        }
        double mean = total / kIlluminationSamples;
        auto tenths = static_cast<int16_t>((25.0 - (mean - 1452.13) / 4.41) * 10.0);
        if (pair) pair[i] = tenths;
        sum_tenths += tenths;
    }
    g_state.last_illumination = sum_tenths / 2;
    return 2;
}

LUMOX_API int temperatureGetLastTempChip(void) noexcept { return g_state.last_chip; }
LUMOX_API int temperatureGetLastTempIllumination(void) noexcept {
    return g_state.last_illumination;
}

LUMOX_API void temperatureKalmanFilter(int16_t *fields, int n) noexcept {
    if (!fields) return;
    if (n > kKalmanFields) n = kKalmanFields;
    for (int i = 0; i < n; ++i) {
        auto &previous = g_state.kalman_previous[static_cast<size_t>(i)];
        fields[i] = static_cast<int16_t>(0.5 * fields[i] + 0.5 * previous);
        previous = fields[i];
    }
}

LUMOX_API double temperatureGetAveragedChipTemperature(int address) noexcept {
    int16_t temps[4] = {};
    if (temperatureGetTemperatureROI(address, temps) != 4) return 0.0;
    return (temps[0] + temps[1] + temps[2] + temps[3]) / 40.0;
}

LUMOX_API uint16_t temperatureGetGrayscalePixel(int index) noexcept {
    if (index < 0 || index >= kArrayPixels) return 0;
    return g_state.grayscale[static_cast<size_t>(index)];
}

LUMOX_API uint16_t *temperatureGetGrayscaleData(void) noexcept { return g_state.grayscale.data(); }

}  // extern "C"
