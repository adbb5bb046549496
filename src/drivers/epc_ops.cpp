// Operation table of the EPC driver.

#include <cstdint>

#include "drivers/epc.h"
#include "drivers/epc_calib.h"
#include "drivers/epc_decode.h"
#include "drivers/epc_features.h"
#include "lumox/driver.h"
#include "lumox/epc.h"

namespace {

int32_t epc_reserved_5(lumox_drv *) { return 0; }
int32_t epc_reserved_6(lumox_drv *, uint32_t, int32_t value, int32_t) { return value; }
int32_t epc_reserved_8(lumox_drv *) { return 1; }

}  // namespace

extern "C" {

const lumox_drv_ops g_lumox_driver_op_epc = {
    .init = epc_init,
    .uninit = epc_uninit,
    .frame_get_info = epc_frame_get_info,
    .frame_decode = epc_frame_decode,
    .lens_param_get = epc_lens_param_get,
    .reserved_5 = epc_reserved_5,
    .reserved_6 = epc_reserved_6,
    .calib_load = epc_calib_save,
    .reserved_8 = epc_reserved_8,
    .filter_enable = epc_filter_enable,
    .filter_disable = epc_filter_disable,
};

}  // extern "C"
