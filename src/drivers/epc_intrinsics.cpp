// The camera intrinsics of an EPC camera: the process-wide lens record scaled to a frame size.

#include <cstring>

#include "drivers/epc.h"
#include "lumox/frame.h"

extern "C" {

LUMOX_API uint8_t lumox_dev_get_intrinsics(lumox_dev_t *dev, uint32_t width, uint32_t height,
                                           lumox_intrinsics *out) noexcept {
    if (!dev || !out) return 0;
    lumox_drv *drv = lumox_dev_get_drv(dev);
    if (!drv || drv->ops != &g_lumox_driver_op_epc) return 0;
    lx_lens_param lens{};
    if (!epc_lens_param_get(drv, &lens, width, height)) return 0;
    const lx_lens_param &full = lumox::drivers::lens_param();
    lumox_intrinsics in{};
    in.width = width;
    in.height = height;
    in.binning_x = static_cast<uint32_t>(full.img_w) / width;
    in.binning_y = static_cast<uint32_t>(full.img_h) / height;
    in.fx = lens.fx;
    in.fy = lens.fy;
    in.cx = lens.cx;
    in.cy = lens.cy;
    std::memcpy(in.distortion_model, "plumb_bob", sizeof "plumb_bob");
    std::memcpy(in.d, lens.dcoeff, sizeof in.d);
    *out = in;
    return 1;
}

}  // extern "C"
