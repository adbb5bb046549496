// The evaluation kit's command set: thin wrappers that check or clamp their arguments and call the
// chip configuration, the frame geometry, the pixel calculation and the read-out, mode and FLIM
// functions in a fixed order. (apiSetROI and apiEnableABS live with the region of interest.)
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "evk/config.h"

namespace {

using namespace lumox::evk;

int as_flag(int flag) { return flag != 0 ? 1 : 0; }

// DCS per pixel: four with pi delay, else two; halved in dual-MGX read-out, where each row block
// carries one gate.
int dcs_count(bool pi_delay, bool dual_mgx) { return (pi_delay ? 4 : 2) / (dual_mgx ? 2 : 1); }

void set_dcs(int n, int address) {
    configSetDCS(n, address);
    pruSetDCS(n);
}

// Bad-pixel positions and the difference reference depend on the geometry.
void geometry_changed() {
    imageCorrectionTransform();
    imageDifferenceInit();
}

int log2_of(int reduction) {
    int n = 0;
    while (reduction > 1) {
        reduction >>= 1;
        ++n;
    }
    return n;
}

int sorted(int (*calculation)(uint16_t **), uint16_t **image) {
    uint16_t *result = nullptr;
    int samples = calculation(&result);
    if (image) *image = result;
    return samples;
}

}  // namespace

extern "C" {

LUMOX_API int apiLoadConfig(int mode, int address) noexcept {
    if (mode == 1) {
        pruSetDCS(configGetDCS());
        configLoad(1, address);
    } else {
        pruSetDCS(1);
        configLoad(0, address);
    }
    return mode;
}

LUMOX_API int apiReadRegister(int reg, int count, unsigned char *values, int address) noexcept {
    if (count < 0 || !values) return -1;
    return i2c(address, 'r', reg, static_cast<unsigned>(count), &values) == 0 ? count : -1;
}

// A write the bridge refused is reported as such rather than as the count.
LUMOX_API int apiWriteRegister(int reg, int count, unsigned char *values, int address) noexcept {
    if (count < 0 || !values) return -1;
    return i2c(address, 'w', reg, static_cast<unsigned>(count), &values) == 0 ? count : -1;
}

LUMOX_API int apiSetEnableImaging(int flag) noexcept { return setEnableImaging(flag); }

LUMOX_API int apiEnableHorizontalBinning(int flag, int address) noexcept {
    readOutEnableHorizontalBinning(flag, address);
    pruSetColReduction(as_flag(flag));
    geometry_changed();
    return as_flag(flag);
}

LUMOX_API int apiEnableVerticalBinning(int flag, int address) noexcept {
    if (flag) {
        if (log2_of(pruGetRowReduction()) < 2) {
            readOutSetRowReduction(1, address);
            pruSetRowReduction(1);
        }
    } else {
        readOutSetRowReduction(0, address);
        pruSetRowReduction(0);
    }
    readOutEnableVerticalBinning(flag, address);
    geometry_changed();
    return as_flag(flag);
}

LUMOX_API int apiSetRowReduction(int n, int address) noexcept {
    n = std::clamp(n, 0, 3);
    readOutSetRowReduction(n, address);
    pruSetRowReduction(n);
    geometry_changed();
    return n;
}

LUMOX_API int apiSetIntegrationTime2D(int time_us) noexcept {
    return configSetIntegrationTime2D(time_us);
}
LUMOX_API int apiSetIntegrationTime3D(int time_us) noexcept {
    return configSetIntegrationTime3D(time_us);
}
LUMOX_API int apiSetIntegrationTime3DHDR(int time_us) noexcept {
    return configSetIntegrationTime3DHDR(time_us);
}
LUMOX_API int apiGetImagingTime(void) noexcept { return configGetImagingTime(); }

LUMOX_API int apiEnableAddArgThreshold(int flag) noexcept { return configEnableAddArg(flag); }
LUMOX_API int apiSetAddArgThreshold(int threshold) noexcept {
    return configSetDcsAdd_threshold(threshold);
}
LUMOX_API int apiSetAddArgMin(int value) noexcept { return configSetAddArgMin(value); }
LUMOX_API int apiSetAddArgMax(int value) noexcept { return configSetAddArgMax(value); }

LUMOX_API int apiSetMinAmplitude(int amplitude) noexcept {
    pruSetMinAmplitude(amplitude);
    hysteresisUpdateThresholds(amplitude);
    return amplitude;
}

LUMOX_API int apiGetMinAmplitude(void) noexcept { return pruGetMinAmplitude(); }

LUMOX_API int apiSetModulationFrequency(int index, int address) noexcept {
    if (index < 0 || index >= configGetModFreqCount()) return -1;
    configSetModulationFrequency(index, address);
    imageDifferenceInit();
    calibrationUpdateFrequency();
    return 0;
}

LUMOX_API const uint16_t *apiGetModulationFrequencies(void) noexcept {
    return configGetModulationFrequencies();
}

LUMOX_API int apiEnablePiDelay(int flag, int address) noexcept {
    set_dcs(dcs_count(flag != 0, calculationIsDualMGX() != 0), address);
    calculationEnablePiDelay(flag);
    imageDifferenceInit();
    return as_flag(flag);
}

LUMOX_API int apiEnableDualMGX(int flag, int address) noexcept {
    const int n = dcs_count(calculationIsPiDelay() != 0, flag != 0);
    readOutEnableDualMGX(flag, address);
    configSetIntegrationTime3D(configGetIntegrationTime3D());
    calculationEnableDualMGX(flag);
    set_dcs(n, address);
    geometry_changed();
    return as_flag(flag);
}

LUMOX_API int apiEnableHDR(int flag, int address) noexcept {
    readOutEnableHDR(flag, address);
    calculationEnableHDR(flag);
    imageCorrectionTransform();
    configSetIntegrationTimesHDR();
    imageDifferenceInit();
    return as_flag(flag);
}

LUMOX_API int apiSetOffset(int offset) noexcept { return calibrationSetOffset(offset); }
LUMOX_API int apiGetOffset(void) noexcept { return calibrationGetOffset(); }
LUMOX_API int apiEnableDefaultOffset(int flag) noexcept {
    return calibrationEnableDefaultOffset(flag);
}

LUMOX_API int apiSetHysteresis(int hysteresis) noexcept {
    return hysteresisSetThresholds(pruGetMinAmplitude(), hysteresis);
}

LUMOX_API int apiGetBadPixels(uint16_t *pixels) noexcept { return calibrationGetBadPixels(pixels); }

LUMOX_API int apiGetTemperature(int address, int16_t *buffer) noexcept {
    return temperatureGetTemperatures(address, buffer);
}

LUMOX_API int apiGetAveragedTemperature(int address) noexcept {
    return static_cast<int16_t>(temperatureGetAveragedChipTemperature(address) * 10.0);
}

LUMOX_API int apiGetChipInfo(int address, uint16_t *record) noexcept {
    return chipInfoGetInfo(address, record);
}

LUMOX_API int apiSelectMode(int mode, int address) noexcept {
    mode = std::clamp(mode, 0, 1);
    configSetMode(mode, address);
    calculationEnablePN(mode);
    imageDifferenceInit();
    return mode;
}

LUMOX_API int apiSelectPolynomial(int polynomial, int index, int address) noexcept {
    return pnSelectPolynomial(polynomial, index, address);
}

LUMOX_API int apiEnableImageCorrection(int flag) noexcept { return imageCorrectionEnable(flag); }
LUMOX_API int apiSetImageAveraging(int count) noexcept { return imageSetNumberOfPicture(count); }
LUMOX_API int apiSetImageProcessing(int mode) noexcept { return imageSetProcessing(mode); }
LUMOX_API int apiSetImageDifferenceThreshold(int threshold) noexcept {
    return imageDifferenceSetThreshold(threshold);
}

LUMOX_API int apiGetIcVersion(void) noexcept { return configGetIcVersion(); }
LUMOX_API int apiGetPartVersion(void) noexcept { return configGetPartVersion(); }
LUMOX_API int apiGetVersion(void) noexcept { return getVersion(); }

LUMOX_API int apiEnableSaturation(int flag) noexcept { return saturationEnable(flag); }
LUMOX_API int apiEnableAdcOverflow(int flag) noexcept { return adcOverflowEnable(flag); }

LUMOX_API int apiIsFLIM(void) noexcept { return configIsFLIM(); }
LUMOX_API int apiFLIMSetT1(int value) noexcept { return flimSetT1(value); }
LUMOX_API int apiFLIMSetT2(int value) noexcept { return flimSetT2(value); }
LUMOX_API int apiFLIMSetT3(int value) noexcept { return flimSetT3(value); }
LUMOX_API int apiFLIMSetT4(int value) noexcept { return flimSetT4(value); }
LUMOX_API int apiFLIMSetTREP(int value) noexcept { return flimSetTREP(value); }
LUMOX_API int apiFLIMSetRepetitions(int value) noexcept { return flimSetRepetitions(value); }
LUMOX_API int apiFLIMSetFlashDelay(int value) noexcept { return flimSetFlashDelay(value); }
LUMOX_API int apiFLIMSetFlashWidth(int value) noexcept { return flimSetFlashWidth(value); }
LUMOX_API int apiFLIMGetStep(void) noexcept { return flimGetStep(); }

LUMOX_API int apiGetBWSorted(uint16_t **image) noexcept {
    return sorted(calculationBWSorted, image);
}
LUMOX_API int apiGetDCSSorted(uint16_t **image) noexcept {
    return sorted(calculationDCSSorted, image);
}
LUMOX_API int apiGetDistanceSorted(uint16_t **image) noexcept {
    return sorted(calculationDistanceSorted, image);
}
LUMOX_API int apiGetAmplitudeSorted(uint16_t **image) noexcept {
    return sorted(calculationAmplitudeSorted, image);
}
LUMOX_API int apiGetDistanceAndAmplitudeSorted(uint16_t **image) noexcept {
    return sorted(calculationDistanceAndAmplitudeSorted, image);
}

LUMOX_API int apiCalibrateGrayscale(int mode) noexcept {
    return calculationCalibrateGrayscale(mode);
}

LUMOX_API int apiCorrectGrayscaleOffset(int flag) noexcept {
    setCorrectGrayscaleOffset(flag);
    return 0;
}

LUMOX_API int apiCorrectGrayscaleGain(int flag) noexcept {
    setCorrectGrayscaleGain(flag);
    return 0;
}

LUMOX_API int apiCalibrateDRNU(int value) noexcept { return calibrationDRNU(value); }

// The switches keep the configuration record's flags in step, so that the apiIsEnabled* getters
// report what the calculation does.
LUMOX_API int apiCorrectDRNU(int mode) noexcept {
    calculationSetEnableDRNU(mode);
    chip_config().enabled_drnu = mode != 0 ? 1 : 0;
    return 0;
}

LUMOX_API int apiCorrectTemperature(int flag) noexcept {
    calculationSetEnableTemperature(flag);
    chip_config().enabled_temperature_correction = as_flag(flag);
    return 0;
}

LUMOX_API int apiCorrectAmbientLight(int flag) noexcept {
    calculationSetEnableAmbientLight(flag);
    chip_config().enabled_ambient_light_correction = as_flag(flag);
    return 0;
}

LUMOX_API int apiIsEnabledDRNUCorrection(void) noexcept { return chip_config().enabled_drnu; }
LUMOX_API int apiIsEnabledGrayscaleCorrection(void) noexcept {
    return chip_config().enabled_grayscale;
}
LUMOX_API int apiIsEnabledTemperatureCorrection(void) noexcept {
    return chip_config().enabled_temperature_correction;
}
LUMOX_API int apiIsEnabledAmbientLightCorrection(void) noexcept {
    return chip_config().enabled_ambient_light_correction;
}

LUMOX_API int apiRenewDRNU(void) noexcept { return calibrateRenewDRNU(); }
LUMOX_API int apiShowDRNU(void) noexcept { return calibrateShowDRNU(); }
LUMOX_API int apiLoadTemperatureDRNU(void) noexcept { return calibrationLoadTemperatureDRNU(); }

LUMOX_API int apiSetDRNUDelay(int seconds) noexcept {
    calibrateSetDRNUCalibrateDelay(seconds * 1000);
    configSaveParameters();
    return 0;
}

LUMOX_API int apiSetDRNUDiffTemp(double degrees) noexcept {
    calibrateSetDRNUDiffTemp(static_cast<int>(degrees * 10.0));
    configSaveParameters();
    return 0;
}

LUMOX_API int apiSetDRNUAverage(int count) noexcept {
    calibrateSetDRNUAverage(count);
    configSaveParameters();
    return count;
}

LUMOX_API int apiPrint(int level) noexcept {
    configSetPrint(level);
    configSaveParameters();
    return level;
}

LUMOX_API int apiSetAmbientLightFactor(double factor) noexcept {
    calculationSetAmbientLightFactorOrg(factor);
    configSaveParameters();
    const int time_3d = configGetIntegrationTime3D();
    calculationSetAmbientLightFactor(time_3d > 0 ? factor / std::sqrt(time_3d) : factor);
    return 0;
}

LUMOX_API int apiEnableKalman(int mode) noexcept { return calculationEnableKalman(mode); }
LUMOX_API int apiSetKalmanK(double k) noexcept { return calculationSetKalmanK(k); }
LUMOX_API int apiSetKalmanKdiff(double kdiff) noexcept { return calculationSetKalmanKdiff(kdiff); }
LUMOX_API int apiSetKalmanQ(double q) noexcept { return calculationSetKalmanQ(q); }
LUMOX_API int apiSetKalmanThreshold(int threshold) noexcept {
    return calculationSetKalmanThreshold(1, threshold);
}
LUMOX_API int apiSetKalmanThreshold2(int threshold) noexcept {
    return calculationSetKalmanThreshold(2, threshold);
}
LUMOX_API int apiSetKalmanNumCheck(int count) noexcept {
    return calculationSetKalmanNumCheck(count);
}

LUMOX_API int apiSetTempCoef(double coefficient) noexcept {
    calibrateSetTempCoef(coefficient, configGetPartType());
    configSaveParameters();
    return 0;
}

LUMOX_API int apiSetSpeedOfLight(double speed) noexcept {
    std::printf("apiSetSpeedOflight: %2.2f\n", speed);
    calibrateSetSpeedOfLightDiv2(speed / 2.0);
    configSaveParameters();
    return 0;
}

LUMOX_API double apiGetSpeedOfLightDev2(void) noexcept { return calibrateGetSpeedOfLightDiv2(); }

LUMOX_API int apiCorrectFlimOffset(int flag) noexcept {
    print(1, 1, "correctFlimOffset %d\n", flag);
    calculationSetCorrectFlimOffset(flag);
    return 0;
}

LUMOX_API int apiCorrectFlimGain(int flag) noexcept {
    print(1, 1, "correctFlimGain %d\n", flag);
    calculationSetCorrectFlimGain(flag);
    return 0;
}

LUMOX_API int apiCalibrateFlim(int type) noexcept { return calculationFlimCalibration(type); }
LUMOX_API int apiTOF(void) noexcept { return configRestartTOF(); }
LUMOX_API int apiFLIM(void) noexcept { return configRestartFLIM(); }
LUMOX_API int apiIsFlimCorrectionAvailable(void) noexcept {
    return calculateIsFlimCorrectionAvailable();
}

LUMOX_API int apiTest(int value) noexcept {
    std::printf("test... ");
    return static_cast<int16_t>(value);
}

}  // extern "C"
