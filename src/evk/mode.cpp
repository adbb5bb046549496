// Modes of the sensor and the camera: DCS count, modulation mode, the loaded configuration (normal,
// time-of-flight, grayscale), the 2D integration time, the DCS-sum check and its calibration
// points, the switch between the time-of-flight and FLIM personalities, and per-mode registers.
#include <cmath>

#include "evk/config.h"
#include "evk/pru.h"
#include "evk/sensor_io.h"
#include "lumox/log.h"
#include "testing/hooks.h"

namespace {

using namespace lumox::evk;

constexpr int kRegModeControl = 146;
constexpr uint8_t kDcsField = 0x30;  // DCS count - 1
constexpr uint8_t kPseudoNoise = 0x40;

constexpr uint32_t kParamOpMode = 10;
constexpr uint32_t kParamIntegrationTime = 13;
constexpr int kIntegrationTime2DMax = 1000000;  // us
constexpr int kImagingTime = 15000;
constexpr uint8_t kIdentityPartType = 250;

// The camera carries its integration time in 16 bits: longer times are sent as the longest it can
// take rather than wrapped to a short one.
uint16_t integration_param(int time_us) {
    if (time_us < 0) return 0;
    return static_cast<uint16_t>(time_us > 0xFFFF ? 0xFFFF : time_us);
}

struct DcsSumCalibration {
    bool enabled = false;
    int min_value = 0;
    int min_time = 0;
    int max_value = 0;
    int max_time = 0;
    double gain = 0.0;
};

DcsSumCalibration g_dcs_sum;

// Gain of the DCS sum per microsecond between the two calibration points. Two points at the same
// integration time do not determine it: the previous gain stays.
void update_gain(const char *fn) {
    auto &d = g_dcs_sum;
    if (d.max_time != d.min_time) {
        d.gain = static_cast<double>(d.max_value - d.min_value) / (d.max_time - d.min_time);
    }
    lx_log(LX_LOG_DBG, "DBG", "[%s] gain: %2.4f \n", fn, d.gain);
}

int restart(bool flim) {
    auto &c = chip_config();
    const int address = c.dev_address;
    const int part_type = c.part_type;
    if (!flim && (part_type == 3 || part_type == 5)) {
        write_identity(address, kIdentityPartType, part_type == 3 ? 2 : 4);
    } else if (flim && (part_type == 2 || part_type == 4)) {
        write_identity(address, kIdentityPartType, part_type == 2 ? 3 : 5);
    }
    bootReset();
    configSetPartType(bootGetPartType(address));
    configSetPartVersion(bootGetPartVersion(address));
    configSetIcVersion(bootGetIcVersion(address));
    configSetWaferID(bootGetWaferID(address));
    configSetChipID(bootGetChipID(address));
    bootNormalMode(address);
    bootCloseEpc660_enable();
    illuminationDisable();
    configInit(address);
    // configInit leaves the FLIM flag clear; it follows the personality the chip now reports, and
    // the frame geometry follows it (two DCS per FLIM frame).
    if (c.part_type == 3 || c.part_type == 5) {
        c.is_flim = 1;
        pruInit();
    }
    illuminationEnable();
    return 0;
}

}  // namespace

extern "C" {

LUMOX_API int configSetDCS(int n, int address) noexcept {
    if (n < 1 || n > 4) return -1;
    chip_config().n_dcs_tof = static_cast<uint8_t>(n);
    update_bits(address, kRegModeControl, kDcsField, static_cast<uint8_t>((n - 1) << 4));
    return 0;
}

LUMOX_API int configGetDCS(void) noexcept { return chip_config().n_dcs_tof; }

LUMOX_API int configSetMode(int flag, int address) noexcept {
    set_bits_of(address, kRegModeControl, kPseudoNoise, flag != 0);
    return 0;
}

LUMOX_API int configLoad(int type, int address) noexcept {
    auto &c = chip_config();
    if (type == 1) {
        update_bits(address, kRegModeControl, kDcsField,
                    static_cast<uint8_t>((c.n_dcs_tof - 1) << 4));
        c.current_mode = 1;
        if (calculationIsHDR()) {
            configSetIntegrationTimesHDR();
        } else {
            configSetIntegrationTime3D(c.integration_time_3d);
        }
    } else if (type == 2) {
        c.current_mode = 2;
    } else {
        c.current_mode = 0;
    }
    set_camera_param(kParamOpMode, static_cast<uint8_t>(type), 1);
    return 0;
}

LUMOX_API int configGetCurrentMode(void) noexcept { return chip_config().current_mode; }

// A negative time is refused as well: the camera cannot take it.
LUMOX_API int configSetIntegrationTime2D(int time_us) noexcept {
    if (time_us > kIntegrationTime2DMax || time_us < 0) return -1;
    auto &c = chip_config();
    if (c.current_mode == 0) set_camera_param(kParamIntegrationTime, integration_param(time_us), 2);
    c.integration_time_2d = time_us;
    return 0;
}

LUMOX_API int configGetIntegrationTime2D(void) noexcept {
    return chip_config().integration_time_2d;
}

LUMOX_API int configSetIntegrationTime(int time_us) noexcept {
    set_camera_param(kParamIntegrationTime, integration_param(time_us), 2);
    return 0;
}

LUMOX_API int configSetIntegrationTime3DHDR(int time_us) noexcept {
    if (time_us > kIntegrationTime3DMax || time_us < 0) return -1;
    chip_config().integration_time_3d_hdr = time_us;
    if (calculationIsHDR()) configSetIntegrationTimesHDR();
    return 0;
}

LUMOX_API int configGetIntegrationTime3DHDR(void) noexcept {
    return chip_config().integration_time_3d_hdr;
}

LUMOX_API int configGetImagingTime(void) noexcept { return kImagingTime; }

LUMOX_API int configGetModFreqCount(void) noexcept {
    int count = 0;
    for (uint16_t f : chip_config().modulation_frequencies) count += f != 0 ? 1 : 0;
    return count;
}

LUMOX_API const uint16_t *configGetModulationFrequencies(void) noexcept {
    return chip_config().modulation_frequencies.data();
}

LUMOX_API int configGetSequencerVersion(void) noexcept { return chip_config().sequencer_version; }

LUMOX_API int configEnableAddArg(int flag) noexcept {
    g_dcs_sum.enabled = flag != 0;
    return 0;
}

LUMOX_API int configStatusEnableAddArg(void) noexcept { return g_dcs_sum.enabled ? 1 : 0; }

LUMOX_API int configSetDcsAdd_threshold(int threshold) noexcept {
    chip_config().dcs_sum_threshold = threshold;
    return 0;
}

LUMOX_API int configGetDcsAdd_threshold(void) noexcept { return chip_config().dcs_sum_threshold; }

LUMOX_API int configSetAddArgMin(int value) noexcept {
    g_dcs_sum.min_value = value;
    g_dcs_sum.min_time = chip_config().integration_time_3d;
    update_gain("configSetAddArgMin");
    return value;
}

LUMOX_API int configSetAddArgMax(int value) noexcept {
    g_dcs_sum.max_value = value;
    g_dcs_sum.max_time = chip_config().integration_time_3d;
    update_gain("configSetAddArgMax");
    return value;
}

LUMOX_API double configGetAddArgGain(void) noexcept { return g_dcs_sum.gain; }

LUMOX_API int configRestartTOF(void) noexcept {
    lx_log(LX_LOG_DBG, "DBG", "[%s] ---------------restart TOF--------------\n",
           "configRestartTOF");
    return restart(false);
}

LUMOX_API int configRestartFLIM(void) noexcept {
    lx_log(LX_LOG_DBG, "DBG", "[%s] ------------------restart FLIM---------------------\n",
           "configRestartFLIM");
    return restart(true);
}

LUMOX_API int configInitRegisters(int mode) noexcept {
    if (mode != 2) return 0;
    const auto &c = chip_config();
    const int address = c.dev_address;
    if (c.part_version == 7 && c.part_type == 3) {
        write_register(address, 209, 15);
        write_register(address, 216, 15);
    }
    write_register(address, 136, 63);
    return 0;
}

LUMOX_API int configSaveParameters(void) noexcept { return 0; }

}  // extern "C"

namespace lumox::evk {

void set_current_mode(int mode) { chip_config().current_mode = mode; }

}  // namespace lumox::evk
