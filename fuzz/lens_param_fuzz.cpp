// "lens_param.txt" read at open, and the undistortion map built from whatever it gave: eleven
// lines of centre, focal lengths, distortion coefficients and image size, or anything else.

#include <cstdint>
#include <cstring>

#include "drivers/epc.h"
#include "fuzz_util.h"
#include "lumox/image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace lumox;
    static const bool ready = [] {
        fuzz::route_logs_to_null();
        lumox_path_cfg(fuzz::scratch_dir().c_str());
        return true;
    }();
    (void)ready;
    if (!fuzz::write_file(fuzz::scratch_dir() + "lens_param.txt", data, size)) return 0;
    drivers::lens_param() = drivers::default_lens_param();
    drivers::lens_param_update();

    // The default lens builds the same map every time: only a changed one is worth the time.
    const lx_lens_param defaults = drivers::default_lens_param();
    if (std::memcmp(&defaults, &drivers::lens_param(), sizeof defaults) == 0) return 0;
    lx_calib_len_map map{};
    if (lx_calib_len_init_map(&map, &drivers::lens_param())) lx_calib_len_uninit_map(&map);
    return 0;
}
