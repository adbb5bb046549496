// Provisional operations of the EPC driver: enough for an epc-family camera to open and stream.
// Frames are described from their header; decoding, lens parameters, calibration and the
// run-time features answer as a driver without them would.

#include <cstdint>

#include "lumox/driver.h"
#include "lumox/log.h"

namespace {

constexpr uint32_t kDefaultWidth = 320;
constexpr uint32_t kDefaultHeight = 240;
constexpr uint16_t kFormatCalibration = 171;

uint8_t epc_init(lumox_drv *drv, lumox_dev_t *dev) {
    drv->dev = dev;
    return 1;
}

void epc_uninit(lumox_drv *drv) {
    drv->dev = nullptr;
    drv->priv = nullptr;
}

uint8_t epc_frame_get_info(lumox_drv *, lumox_frame_info *info, const lx_raw_frame_info *raw) {
    *info = lumox_frame_info{};
    const uint32_t width = raw->width ? raw->width : kDefaultWidth;
    const uint32_t height = raw->height ? raw->height : kDefaultHeight;
    lx_log(LX_LOG_TRC, "TRC", "[%s] frame: fmt=%d, sz=%d, wxh = %dx%d\n", "epc_frame_get_info",
           raw->frfmt, static_cast<int>(raw->frlen), static_cast<int>(width),
           static_cast<int>(height));
    if (raw->frfmt != kFormatCalibration && raw->frlen % (width * height) != 0) return 0;
    info->frame_size = raw->frlen;
    info->frame_format = raw->frfmt;
    info->frame_idx = raw->fridx;
    info->width = width;
    info->height = height;
    info->pixel_bytes = static_cast<uint8_t>(raw->frlen / width / height);
    return 1;
}

int32_t epc_frame_decode(lumox_drv *, uint16_t *, uint32_t, uint32_t, const uint8_t *, uint32_t,
                         const lumox_frame_info *) {
    return -1;
}

uint8_t epc_lens_param_get(lumox_drv *, lx_lens_param *, uint32_t, uint32_t) { return 0; }
int32_t epc_reserved_5(lumox_drv *) { return 0; }
int32_t epc_reserved_6(lumox_drv *, uint32_t, int32_t value, int32_t) { return value; }
int32_t epc_calib_load(lumox_drv *, uint32_t, int32_t, int32_t) { return 0; }
int32_t epc_reserved_8(lumox_drv *) { return 1; }
uint8_t epc_filter_enable(lumox_drv *, uint32_t, void *, uint32_t) { return 1; }
uint8_t epc_filter_disable(lumox_drv *, uint32_t) { return 1; }

}  // namespace

extern "C" {

const lumox_drv_ops g_lumox_driver_op_epc = {
    epc_init,           epc_uninit,        epc_frame_get_info, epc_frame_decode,
    epc_lens_param_get, epc_reserved_5,    epc_reserved_6,     epc_calib_load,
    epc_reserved_8,     epc_filter_enable, epc_filter_disable,
};

}  // extern "C"
