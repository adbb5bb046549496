// Which distance correction an open EPC camera's decode uses, and the switch to the best one its
// calibration allows.
//
// A camera that corrects in firmware (it stores a calibration package and runs firmware 2.x) is
// converted with no host correction at all. Any other camera is corrected by the host: with the
// per-pixel table when the calibration files in the path prefix belong to it and the table is
// switched on, with the linear fit of those files while the table is off, and with the default
// linear calibration when it has no files of its own.

#include <cstdio>
#include <cstring>

#include "drivers/epc.h"
#include "lumox/epc.h"
#include "lumox/evk.h"
#include "lumox/frame.h"
#include "lumox/log.h"

namespace lumox::drivers {
namespace {

lumox_correction_state correction_state(const epc_ctx &ctx) {
    lumox_correction_state s{};
    s.files_present = calibrationDataFileCheck(0) == 0;
    s.files_match = s.files_present && calibration_files_belong(ctx);
    s.camera_package = ctx.camera_package;
    const char *dir = lumox_path_get();
    if (ctx.firmware_corrects) {
        s.correction = LUMOX_CORRECTION_FIRMWARE;
        std::snprintf(s.reason, sizeof s.reason,
                      "per-pixel, in the camera's firmware (the camera stores its calibration)");
    } else if (s.files_match && ctx.drnu_en) {
        s.correction = LUMOX_CORRECTION_HOST;
        std::snprintf(s.reason, sizeof s.reason,
                      "per-pixel table on the host, from this camera's calibration in %s", dir);
    } else if (s.files_match) {
        s.correction = LUMOX_CORRECTION_LINEAR;
        std::snprintf(s.reason, sizeof s.reason,
                      "linear: scale %d/1000, offset %d mm, fitted from this camera's calibration "
                      "in %s (per-pixel table off)",
                      static_cast<int>(ctx.scale), static_cast<int>(ctx.offset_mm), dir);
    } else {
        s.correction = LUMOX_CORRECTION_DEFAULT;
        std::snprintf(s.reason, sizeof s.reason, "default linear calibration: %s",
                      s.files_present      ? "the calibration files there are not this camera's "
                                             "(it stores no calibration)"
                      : ctx.camera_package ? "the camera's calibration could not be fetched"
                                           : "the camera stores no calibration");
    }
    return s;
}

// The EPC context of an open device, or nullptr (another driver, or not open).
epc_ctx *open_epc(lumox_dev_t *dev) {
    lumox_drv *drv = dev ? lumox_dev_get_drv(dev) : nullptr;
    if (!drv || drv->ops != &g_lumox_driver_op_epc) return nullptr;
    return epc_context(drv);
}

}  // namespace
}  // namespace lumox::drivers

using namespace lumox::drivers;

extern "C" {

LUMOX_API uint8_t lumox_dev_get_correction(lumox_dev_t *dev,
                                           lumox_correction_state *state) noexcept {
    epc_ctx *ctx = open_epc(dev);
    if (!ctx || !state) return 0;
    *state = correction_state(*ctx);
    return 1;
}

LUMOX_API uint8_t lumox_dev_use_best_correction(lumox_dev_t *dev,
                                                lumox_correction_state *state) noexcept {
    epc_ctx *ctx = open_epc(dev);
    if (!ctx) return 0;
    // The per-pixel switch picks the firmware's correction or this camera's own table; it
    // refuses files that are not the camera's, which then keep the default calibration.
    uint8_t selector = 2;
    lumox_filter_enable(dev, FILTER_DRNU, &selector, 1);
    if (state) *state = correction_state(*ctx);
    return 1;
}

}  // extern "C"
