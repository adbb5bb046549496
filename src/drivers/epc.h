// EPC driver: its per-device context, set-up and teardown, and the process-wide lens record.
//
// One context per bound driver record (drv->priv), created by epc_init and released by
// epc_uninit. The feature switches are written by the filter calls on any application thread
// while a decode may run on another, so they are atomic; a decode reads each once per frame. The
// decode itself (scratch buffers, minimum-amplitude mask) runs under decode_lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "lumox/device.h"
#include "lumox/driver.h"
#include "lumox/epc.h"
#include "lumox/image.h"

// Names of one set of calibration files (filled by the calibration loader).
struct epc_calib_names {
    char dist_name[256];
    char param_name[268];
};

struct epc_ctx {
    lx_calib_len_map undist_map{};  // first member: the undistortion call takes the context

    // Feature switches and their settings (see epc_features.h for the filter identifiers).
    std::atomic<uint8_t> calib_sel{0};
    std::atomic<uint8_t> drnu_en{0};
    std::atomic<uint8_t> undist_en{0};
    std::atomic<uint8_t> minamp_en{0};
    std::atomic<uint8_t> auto_intg_en{0};
    std::atomic<uint8_t> sum_chk_en{0};
    std::atomic<uint8_t> temp_mon_en{0};
    std::atomic<uint8_t> hdr_en{0};
    std::atomic<uint8_t> dfilter_en{0};
    std::atomic<uint8_t> flypix_en{0};
    std::atomic<uint8_t> minamp_hyst_en{0};
    std::atomic<int32_t> flypix_thr{0};
    std::atomic<uint16_t> minamp_hyst{0};
    std::atomic<uint16_t> minamp_thr{0};
    std::atomic<uint16_t> sat_ratio{0};    // per mille
    std::atomic<uint16_t> sum_chk_arg{0};  // sent with parameter 17
    std::atomic<uint16_t> temp_mon_arg{0};
    std::atomic<uint8_t> dfilter_size{0};

    // Hysteresis state of the minimum-amplitude filter, one byte per pixel (under decode_lock).
    std::unique_ptr<uint8_t[]> minamp_mask;
    int32_t minamp_mask_len = 0;

    // Temperatures of the last frame header, tenths of a degree (capture path).
    std::atomic<int16_t> t_sensor{0};
    std::atomic<int16_t> t_ib{0};

    // Calibration constants, fixed when the device is opened.
    int16_t t_sensor_cal = 0;    // sensor temperature at calibration, 0.1 degC
    int16_t t_ib_cal = 0;        // illumination-board temperature at calibration
    int32_t scale = 0;           // per mille
    int32_t offset_mm = 0;       // millimetres
    float tcoef_sensor = 0;      // millimetres per 0.1 degC
    float tcoef_ib = 0;          // millimetres per 0.1 degC
    int32_t step_mm = 0;         // distance step of the DRNU table
    int32_t range_mm = 0;        // unambiguous range
    float tcoef_sensor_ph = 0;   // tcoef_sensor in angle units
    float tcoef_ib_ph = 0;       // tcoef_ib in angle units
    int32_t drnu_offset_ph = 0;  // 295 mm in angle units

    std::atomic<uint8_t> frame_valid{0};
    epc_calib_names calib_names[2]{};

    // The open camera's own calibration, fixed at open: whether it stores a calibration package
    // (camera_package_known: whether it said so at all), and whether it corrects every pixel in
    // its firmware before streaming (a package and firmware 2.x). Such a camera never gets a host
    // correction on top.
    uint8_t camera_package_known = 0;
    uint8_t camera_package = 0;
    uint8_t firmware_corrects = 0;

    // Per-frame scratch, sized on first use and reused (under decode_lock).
    std::mutex decode_lock;
    std::vector<uint16_t> scratch_a;
    std::vector<uint16_t> scratch_b;
    // Distance of every phase under the linear calibration last used (under decode_lock);
    // rebuilt when the range, scale or offset changes.
    std::vector<uint16_t> phase_dist;
    // The same distances by angle code of the batch decode (lx/dcs.h), rebuilt with phase_dist.
    std::vector<uint16_t> code_dist;
    int32_t phase_dist_range = 0;
    int32_t phase_dist_scale = 0;
    int64_t phase_dist_shift = 0;
};

// The driver's context of a record bound by epc_init, or nullptr.
inline epc_ctx *epc_context(lumox_drv *drv) {
    return drv ? static_cast<epc_ctx *>(drv->priv) : nullptr;
}

// The driver's init slot: creates the context with the feature defaults, loads "lens_param.txt",
// builds the undistortion map, sets the extension-module flag from the product string and binds
// the evaluation kit to dev. 1 on success.
uint8_t epc_init(lumox_drv *drv, lumox_dev_t *dev);

// The driver's uninit slot: unbinds the evaluation kit and releases the context.
void epc_uninit(lumox_drv *drv);

namespace lumox::drivers {

// Default lens parameters of the sensor module (320 x 240).
lx_lens_param default_lens_param();

// The process-wide lens record (defaults until a lens file is read).
lx_lens_param &lens_param();

// Reads path prefix + "lens_param.txt" into the lens record, storing each line as it is read.
// 1 when exactly eleven lines were read, else 0.
int lens_param_update();

// Sets the context's feature switches to their defaults.
void epc_set_defaults(epc_ctx &ctx);

// Sets range_mm and the angle-unit constants from the modulation frequency in kHz (all 0 for a
// frequency that is not positive).
void epc_set_range(epc_ctx &ctx, int32_t mod_freq_khz);

// Whether the calibration files in the path prefix belong to the camera of ctx: a camera that
// stores no calibration has none of its own (one that does not say is given the benefit).
inline bool calibration_files_belong(const epc_ctx &ctx) {
    return !ctx.camera_package_known || ctx.camera_package;
}

// Sets every calibration constant from the evaluation kit's current calibration state.
void epc_load_calib_constants(epc_ctx &ctx);

}  // namespace lumox::drivers
