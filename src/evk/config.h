// Configuration record of the one epc660/epc635 sensor the evaluation-kit code serves, and the
// register programming of its clocks, modulation frequency, integration times, HDR and ABS. The
// exported config* calls keep the record; chip_config() lets the other evk modules read it.
#pragma once

#include <array>
#include <cstdint>

#include "lumox/evk.h"

namespace lumox::evk {

constexpr double kHalfSpeedOfLight = 149896229.0;  // m/s
constexpr int kIntegrationTime3DMax = 4000;        // us

struct ChipConfig {
    int part_type = 0;
    int part_version = 0;
    int chip_type = 0;
    int ic_type = 0;
    uint16_t wafer_id = 0;
    uint16_t chip_id = 0;
    int dev_address = 0;
    uint16_t sequencer_version = 0;
    int current_mode = 0;  // 0 normal, 1 pseudo-noise
    int current_freq = 2;
    int modulation_frequency = 12000;  // kHz
    std::array<uint16_t, 7> modulation_frequencies{};
    int integration_time_2d = 700;
    int integration_time_3d = 700;
    int integration_time_3d_hdr = 700;
    uint8_t n_dcs_tof = 4;
    int abs_enabled = 1;
    int is_flim = 0;
    int correction_bg_mode = 0;
    int enabled_drnu = 0;
    int enabled_drnu2 = 0;
    int enabled_grayscale = 0;
    int enabled_temperature_correction = 0;
    int enabled_ambient_light_correction = 0;
    int print_level = 0;
    uint8_t g_x = 0, g_y = 0, g_m = 0, g_c = 0, g_l = 0;
    int g_z = 0;
    int dcs_sum_threshold = 8000;

    // Loaded by configLoadParameters.
    double ambient_light_factor = 0.0;
    double ambient_light_factor_working = 0.0;
    int drnu_diff_temp = 0;
    int drnu_delay = 0;
    int num_averaged_frames = 0;
    double temperature_coeff = 0.0;
    double ib_temperature_coeff = 0.0;
    double speed_of_light_div2 = 0.0;
};

ChipConfig &chip_config();

// True for the epc635 part types.
inline bool is_epc635(int part_type) { return part_type == 4 || part_type == 5; }

// The DRNU table bank the distance images go to: bank 1, which the DRNU distance formula reads,
// unless the EPC driver reports an extension module (then bank 0).
int distance_image_bank();

// One sensor register through the bridge; the read yields 0 when the bridge fails.
uint8_t read_register(int address, int reg);
void write_register(int address, int reg, uint8_t value);

}  // namespace lumox::evk
