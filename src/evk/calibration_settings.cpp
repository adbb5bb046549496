// Settings of the DRNU calibration and the imaging switch that the command set forwards to: the
// frequency-dependent offsets, the bad-pixel list, reloading and showing the DRNU calibration, and
// the DRNU delay, temperature difference, averaging, temperature coefficient and speed of light of
// the configuration record.
#include <cstdio>

#include "evk/config.h"
#include "evk/bad_pixels.h"
#include "evk/settings.h"

namespace {

using namespace lumox::evk;

bool g_imaging = true;

}  // namespace

extern "C" {

// The reference phase of the DRNU calibration depends on the modulation frequency: recompute the
// default offset and, while DRNU correction is on, the offset in use.
LUMOX_API int calibrationUpdateFrequency(void) noexcept {
    auto &s = pixel_settings();
    s.offset_phase_default =
        default_phase_offset(configGetModulationFrequency(), calibrationGetOffsetDRNU());
    if (s.drnu_mode != 0) calculationSetEnableDRNU(s.drnu_mode);
    return 0;
}

LUMOX_API int calibrationGetBadPixels(uint16_t *pixels) noexcept {
    const auto &list = bad_pixels();
    if (pixels) {
        for (size_t i = 0; i < list.size(); ++i) {
            pixels[2 * i] = static_cast<uint16_t>(list[i].x);
            pixels[2 * i + 1] = static_cast<uint16_t>(list[i].y);
        }
    }
    return static_cast<int>(list.size());
}

LUMOX_API int calibrationDRNU(int) noexcept {
    std::printf("uncompleted function : %s!\n", "<DRNU calibration>");
    return -1;
}

LUMOX_API int calibrateRenewDRNU(void) noexcept {
    auto &c = chip_config();
    calibrationLoadDRNU_LUT();
    if (calibrationLoadDistanceImages(distance_image_bank()) != 0) {
        c.enabled_drnu = 0;
        c.enabled_drnu2 = 0;
        return -1;
    }
    c.enabled_drnu = 1;
    c.enabled_drnu2 = 1;
    calibrationUpdateFrequency();
    return 0;
}

LUMOX_API int calibrateShowDRNU(void) noexcept {
    std::printf("DRNU offset: %d\n", calibrationGetOffsetDRNU());
    std::printf("calibration temperature: %d\n", calibrateGetTempCalib());
    std::printf("calibration illumination temperature: %d\n", calibrateGetIbTempCalib());
    std::printf("calibration step: %2.4f mm\n", calibrateGetStepCalMM());
    std::printf("calibration distances: %d\n", calibrateGetNumDistances());
    return 0;
}

LUMOX_API int calibrationLoadTemperatureDRNU(void) noexcept {
    calibrationLoadDRNU_LUT();
    calibrationUpdateFrequency();
    return 0;
}

LUMOX_API int calibrateSetDRNUCalibrateDelay(int milliseconds) noexcept {
    chip_config().drnu_delay = milliseconds;
    return 0;
}

LUMOX_API int calibrateSetDRNUDiffTemp(int tenths) noexcept {
    chip_config().drnu_diff_temp = tenths;
    return 0;
}

LUMOX_API int calibrateSetDRNUAverage(int count) noexcept {
    chip_config().num_averaged_frames = count;
    return 0;
}

LUMOX_API int calibrateSetTempCoef(double coefficient, int) noexcept {
    chip_config().temperature_coeff = coefficient;
    return 0;
}

LUMOX_API int calibrateSetSpeedOfLightDiv2(double speed) noexcept {
    chip_config().speed_of_light_div2 = speed;
    return 0;
}

LUMOX_API double calibrateGetSpeedOfLightDiv2(void) noexcept {
    return chip_config().speed_of_light_div2;
}

LUMOX_API int setEnableImaging(int flag) noexcept {
    g_imaging = flag != 0;
    return flag;
}

LUMOX_API int getEnableImaging(void) noexcept { return g_imaging ? 1 : 0; }

}  // extern "C"
