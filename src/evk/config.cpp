#include "evk/config.h"

#include <algorithm>
#include <cmath>

#include "evk/calibration.h"
#include "evk/device_port.h"
#include "evk/grayscale.h"
#include "evk/settings.h"
#include "evk/temperature.h"
#include "lumox/epc.h"
#include "lumox/log.h"

namespace lumox::evk {

ChipConfig &chip_config() {
    static ChipConfig config;
    return config;
}

uint8_t read_register(int address, int reg) {
    unsigned char value = 0;
    unsigned char *buffer = &value;
    if (i2c(address, 'r', reg, 1, &buffer) != 0) return 0;
    return value;
}

void write_register(int address, int reg, uint8_t value) {
    unsigned char byte = value;
    unsigned char *buffer = &byte;
    i2c(address, 'w', reg, 1, &buffer);
}

namespace {

// Registers of the sensor this module programs.
constexpr int kRegSysClkDivider = 129;
constexpr int kRegPllMultiplier = 130;
constexpr int kRegModClkDivider = 133;
constexpr int kRegModControl = 128;
constexpr int kRegDemodDelay = 139;
constexpr int kRegDll = 174;
constexpr int kRegHdrEnable = 148;
constexpr int kRegHdrMode = 146;
constexpr int kRegIntegrationHdr = 158;
constexpr int kRegIntegrationMultiplier = 160;
constexpr int kRegIntegrationCount = 162;
constexpr int kRegEpc635Trim = 203;
constexpr int kRegsDcsPattern[4] = {34, 37, 40, 43};

constexpr uint16_t kParamIntegrationTime = 13;

// Register 133 divider for each modulation-frequency index.
constexpr uint8_t kModClkDivider[7] = {0, 0, 1, 3, 7, 15, 31};

void write_register16(int address, int reg, unsigned value) {
    unsigned char bytes[2] = {static_cast<unsigned char>((value >> 8) & 0xFF),
                              static_cast<unsigned char>(value & 0xFF)};
    unsigned char *buffer = bytes;
    i2c(address, 'w', reg, 2, &buffer);
}

// Sets the integration time of the camera (parameter 13) on the bound device.
void send_integration_time(int time_us) {
    auto value = static_cast<uint16_t>(time_us);
    uint8_t bytes[2] = {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
    device_port().param_set(g_lx_dev, kParamIntegrationTime, bytes, 2);
}

void update_ambient_light_factor() {
    auto &c = chip_config();
    c.ambient_light_factor_working = c.integration_time_3d > 0
                                         ? c.ambient_light_factor / std::sqrt(c.integration_time_3d)
                                         : c.ambient_light_factor;
}

// Stores (and in pseudo-noise or HDR mode programs) a 3D integration time already range-checked.
void apply_integration_time_3d(int time_us) {
    auto &c = chip_config();
    if (calculationIsHDR()) {
        c.integration_time_3d = time_us;
        configSetIntegrationTimesHDR();
    } else {
        if (c.current_mode == 1) send_integration_time(time_us);
        c.integration_time_3d = time_us;
        c.dcs_sum_threshold = time_us > 150 ? static_cast<int>(80 + (time_us - 150) * 0.10811) : 80;
    }
    update_ambient_light_factor();
}

// Rewrites the low nibble of one register, keeping the high nibble.
void set_low_nibble(int address, int reg, uint8_t nibble) {
    uint8_t value = read_register(address, reg);
    write_register(address, reg, static_cast<uint8_t>((value & 0xF0) | (nibble & 0x0F)));
}

void set_bits(int address, int reg, uint8_t mask, bool on) {
    uint8_t value = read_register(address, reg);
    value = on ? static_cast<uint8_t>(value | mask) : static_cast<uint8_t>(value & ~mask);
    write_register(address, reg, value);
}

int set_chip_type() {
    auto &c = chip_config();
    c.chip_type = c.part_version + 10 * c.part_type;
    return c.chip_type;
}

void log_modulation_frequency() {
    lx_log(LX_LOG_DBG, "DBG", "[%s] ---- modulation frequency = %i ----\n",
           "configGetModulationFrequency", chip_config().modulation_frequency);
}

}  // namespace

int distance_image_bank() { return epcgetExtModEnable() ? 0 : 1; }

}  // namespace lumox::evk

using namespace lumox::evk;

extern "C" {

LUMOX_API int configSetPartType(int type) noexcept {
    chip_config().part_type = type;
    return set_chip_type();
}

LUMOX_API int configSetPartVersion(int version) noexcept {
    chip_config().part_version = version;
    return set_chip_type();
}

LUMOX_API int configSetIcVersion(int version) noexcept { return chip_config().ic_type = version; }

LUMOX_API int configSetWaferID(int id) noexcept {
    chip_config().wafer_id = static_cast<uint16_t>(id);
    return id;
}

LUMOX_API int configSetChipID(int id) noexcept {
    chip_config().chip_id = static_cast<uint16_t>(id);
    return id;
}

LUMOX_API int configSetDeviceAddress(int address) noexcept {
    return chip_config().dev_address = address;
}

LUMOX_API int configGetPartType(void) noexcept { return chip_config().part_type; }
LUMOX_API int configGetPartVersion(void) noexcept { return chip_config().part_version; }
LUMOX_API int configGetIcVersion(void) noexcept { return chip_config().ic_type; }
LUMOX_API int configGetWaferID(void) noexcept { return chip_config().wafer_id; }
LUMOX_API int configGetChipID(void) noexcept { return chip_config().chip_id; }
LUMOX_API int configGetDeviceAddress(void) noexcept { return chip_config().dev_address; }
LUMOX_API int configSetPrint(int level) noexcept { return chip_config().print_level = level; }
LUMOX_API int configGetPrint(void) noexcept { return chip_config().print_level; }
LUMOX_API int configIsFLIM(void) noexcept { return chip_config().is_flim; }

LUMOX_API int configGetSysClk(void) noexcept {
    int address = chip_config().dev_address;
    uint8_t pll = read_register(address, kRegPllMultiplier);
    uint8_t divider = read_register(address, kRegSysClkDivider);
    return (((pll & 0x1F) + 1) * 4000) >> ((divider >> 4) & 3);
}

LUMOX_API double configGetTPLLClk(void) noexcept { return 1e6 / configGetSysClk(); }

LUMOX_API double configGetTModClk(void) noexcept {
    double sys_clk = configGetSysClk();
    uint8_t divider = read_register(chip_config().dev_address, kRegModClkDivider);
    return 1e6 / (sys_clk / ((divider & 0x1F) + 1));
}

LUMOX_API int configInit(int address) noexcept {
    auto &c = chip_config();

    write_register(address, kRegDemodDelay, 2);
    write_register(address, kRegDll, 1);
    set_bits(address, kRegDll, 0x01, true);

    bool epc635 = is_epc635(c.part_type);
    calibrateSetWidth(epc635 ? 160 : 320);
    calibrateSetHeight(epc635 ? 60 : 240);

    c.g_x = 0x10;
    c.g_y = 0x39;
    c.g_m = 52;
    c.g_c = 141;
    c.g_z = -268;
    c.sequencer_version = 9;
    c.g_l = 0;
    c.is_flim = 0;
    if (c.print_level > 0) log_modulation_frequency();

    int sys_clk = configGetSysClk();
    c.modulation_frequencies[0] = 36000;
    for (int i = 1; i < 7; ++i) {
        c.modulation_frequencies[i] = static_cast<uint16_t>(sys_clk / ((1 << (i - 1)) * 4));
    }

    calibrateSetNumDistances(30);
    temperatureInit();
    pruInit();

    if (epc635) {
        calculatorSetPixelMask(0xFFFF);
        saturationSetSaturationBit(1);
        adcOverflowSetMin(16);
        adcOverflowSetMax(65503);
        write_register(address, kRegEpc635Trim, 99);
        set_calibration_limits(168, 72);
    }

    unsigned char zeros[3] = {0, 0, 0};
    unsigned char *buffer = zeros;
    i2c(address, 'w', 113, 3, &buffer);
    write_register(address, kRegDll, 4);

    c.enabled_grayscale = 1;
    if (calculateLoadGrayscaleGainOffset() != 0) c.enabled_grayscale = 0;
    c.enabled_drnu = 1;
    calibrationLoadDRNU_LUT();
    c.enabled_ambient_light_correction = 0;
    configLoadParameters();
    c.enabled_drnu2 = 1;
    if (calibrationLoadDistanceImages(distance_image_bank()) != 0) {
        c.enabled_drnu2 = 0;
        c.enabled_drnu = 0;
    }
    calculationInitKalman();
    if (c.enabled_drnu2) {
        calculationSetEnableDRNU(2);
        c.enabled_temperature_correction = 1;
        pixel_settings().temperature_correction = true;
    }

    printChipParam();
    atan2lut_Init();
    return 0;
}

LUMOX_API int configSetModulationFrequency(int index, int address) noexcept {
    auto &c = chip_config();
    int slot = (index < 0 || index > 6) ? 2 : index;
    c.modulation_frequency = c.modulation_frequencies[slot];
    c.current_freq = index;
    write_register(address, kRegModClkDivider, kModClkDivider[slot]);
    write_register(address, kRegModControl, slot == 0 ? 127 : 63);
    if (c.integration_time_2d <= 1000000 && c.current_mode == 0) {
        send_integration_time(c.integration_time_2d);
    }
    if (c.integration_time_3d <= kIntegrationTime3DMax) {
        apply_integration_time_3d(c.integration_time_3d);
    }
    return 0;
}

LUMOX_API int configGetModulationFrequency(void) noexcept {
    if (chip_config().print_level > 0) log_modulation_frequency();
    return chip_config().modulation_frequency;
}

LUMOX_API int configGetModFreqMode(void) noexcept { return chip_config().current_freq; }

// A negative time is refused like one above the range: parameter 13 carries it as 16 bits.
LUMOX_API int configSetIntegrationTime3D(int time_us) noexcept {
    if (time_us > kIntegrationTime3DMax || time_us < 0) return -1;
    apply_integration_time_3d(time_us);
    return 0;
}

LUMOX_API int configGetIntegrationTime3D(void) noexcept {
    return chip_config().integration_time_3d;
}

LUMOX_API int configSetIntegrationTimesHDR(void) noexcept {
    auto &c = chip_config();
    double tmod = configGetTModClk();
    double unit = tmod * 65536.0 / 1000.0;
    int m = std::max(static_cast<int>(c.integration_time_3d / unit + 1),
                     static_cast<int>(c.integration_time_3d_hdr / unit + 1));
    auto count = [&](int time_us) {
        if (time_us <= 0) return 0;
        return static_cast<int>(static_cast<double>(time_us) / m * 1000.0 / tmod - 1.0);
    };
    int n = count(c.integration_time_3d);
    int nh = count(c.integration_time_3d_hdr);
    int address = c.dev_address;
    write_register16(address, kRegIntegrationMultiplier, static_cast<unsigned>(m));
    write_register16(address, kRegIntegrationCount, static_cast<unsigned>(n));
    write_register16(address, kRegIntegrationHdr, static_cast<unsigned>(nh));
    return 0;
}

LUMOX_API int configEnableHDR(int flag, int address) noexcept {
    bool on = flag != 0;
    set_bits(address, kRegHdrEnable, 0x80, on);
    static constexpr uint8_t kOnPattern[4] = {0, 5, 10, 15};
    static constexpr uint8_t kOffPattern[4] = {4, 1, 14, 11};
    for (int i = 0; i < 4; ++i) {
        set_low_nibble(address, kRegsDcsPattern[i], on ? kOnPattern[i] : kOffPattern[i]);
    }
    set_bits(address, kRegHdrMode, 0x08, on);
    configSetIntegrationTimesHDR();
    return on ? 1 : 0;
}

LUMOX_API int configEnableABS(int flag, int address) noexcept {
    chip_config().abs_enabled = flag;
    for (int reg : kRegsDcsPattern) set_bits(address, reg, 0x30, flag != 0);
    return 0;
}

LUMOX_API int configLoadParameters(void) noexcept {
    auto &c = chip_config();
    const char *fn = "configLoadParameters";
    c.ambient_light_factor = 250.0;
    lx_log(LX_LOG_DBG, "DBG", "[%s] ambientLightFactor = %2.4f\n", fn, c.ambient_light_factor);
    c.print_level = 0;
    lx_log(LX_LOG_DBG, "DBG", "[%s] print = %d\n", fn, c.print_level);
    c.drnu_diff_temp = 7;
    lx_log(LX_LOG_DBG, "DBG", "[%s] diffTemp = %d\n", fn, c.drnu_diff_temp);
    c.drnu_delay = 5000;
    lx_log(LX_LOG_DBG, "DBG", "[%s] drnuDelay = %d\n", fn, c.drnu_delay);
    c.num_averaged_frames = 25;
    lx_log(LX_LOG_DBG, "DBG", "[%s] numAveragedFrames = %d\n", fn, c.num_averaged_frames);
    if (c.part_type == 4) {
        c.temperature_coeff = 1.56131;
        lx_log(LX_LOG_DBG, "DBG", "[%s] epc635_TemperatureCoeff = %2.6f\n", fn,
               c.temperature_coeff);
    } else if (c.part_type == 2) {
        c.temperature_coeff = 1.7;
        lx_log(LX_LOG_DBG, "DBG", "[%s] epc660_TemperatureCoeff = %2.6f\n", fn,
               c.temperature_coeff);
    }
    c.speed_of_light_div2 = kHalfSpeedOfLight;
    lx_log(LX_LOG_DBG, "DBG", "[%s] speed of light div 2 = %2.2f\n", fn, c.speed_of_light_div2);
    if (c.part_type == 2) {
        c.ib_temperature_coeff = 0.33765;
        lx_log(LX_LOG_DBG, "DBG", "[%s] epc660_IbTemperatureCoeff = %2.6f\n", fn,
               c.ib_temperature_coeff);
    }
    update_ambient_light_factor();
    return 0;
}

LUMOX_API void printChipParam(void) noexcept {
    const auto &c = chip_config();
    const char *fn = "printChipParam";
    auto line = [fn](const char *label, int value) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] %s: %d \n", fn, label, value);
    };
    lx_log(LX_LOG_DBG, "DBG", "[%s] *** device type and IDs: \n", fn);
    line("chip_type", c.chip_type);
    line("icType", c.ic_type);
    line("partVersion", c.part_version);
    line("waferID", c.wafer_id);
    line("chipID", c.chip_id);
    line("sequencerVersion", c.sequencer_version);
    lx_log(LX_LOG_DBG, "DBG", "[%s] devAddress: 0x%x \n", fn, static_cast<unsigned>(c.dev_address));
    line("currentMode", c.current_mode);
    line("currentFreq", c.current_freq);
    line("modulationFrequency", c.modulation_frequency);
    for (int i = 0; i < 7; ++i) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] modulationFrequencies[%d]: %d \n", fn, i,
               c.modulation_frequencies[static_cast<size_t>(i)]);
    }
    lx_log(LX_LOG_DBG, "DBG", "[%s] *** runtime settings: \n", fn);
    line("integrationTime2D", c.integration_time_2d);
    line("integrationTime3D", c.integration_time_3d);
    line("integrationTime3DHDR", c.integration_time_3d_hdr);
    line("nDCSTOF", c.n_dcs_tof);
    line("absEnabled", c.abs_enabled);
    line("isFLIM", c.is_flim);
    lx_log(LX_LOG_DBG, "DBG", "[%s] *** calibration/correction settings: \n", fn);
    line("correctionBGMode", c.correction_bg_mode);
    line("enabledDRNU", c.enabled_drnu);
    line("enabledDRNU2", c.enabled_drnu2);
    line("enabledGrayscale", c.enabled_grayscale);
    line("enabledTemperatureCorrection", c.enabled_temperature_correction);
    line("enabledAmbientLightCorrection", c.enabled_ambient_light_correction);
    lx_log(LX_LOG_DBG, "DBG", "[%s] *** Print level: \n", fn);
    line("gPrint", c.print_level);
    lx_log(LX_LOG_DBG, "DBG", "[%s] *** trimming values for temperature readout level: \n", fn);
    lx_log(LX_LOG_DBG, "DBG", "[%s] gX: 0x%x \n", fn, static_cast<unsigned>(c.g_x));
    lx_log(LX_LOG_DBG, "DBG", "[%s] gY: 0x%x \n", fn, static_cast<unsigned>(c.g_y));
    line("gM", c.g_m);
    line("gC", c.g_c);
    line("gL", c.g_l);
    line("gZ", c.g_z);
}

}  // extern "C"
