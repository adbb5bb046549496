// Driver for TI OPT8241 based cameras: a placeholder that identifies itself, describes frames
// as 320 x 240 with 4 bytes per pixel and turns the low 12 bits of the raw words into floats.

#include <cstring>

#include "lumox/driver.h"

namespace {

constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;
constexpr float kPhaseScale = 1.0f / 4096.0f;
constexpr float kRangeM = 3.122838f;

uint8_t ti_init(lumox_drv *drv, lumox_dev_t *dev) {
    drv->dev = dev;
    return 1;
}

void ti_uninit(lumox_drv *) {}

uint8_t ti_frame_get_info(lumox_drv *, lumox_frame_info *info, const lx_raw_frame_info *raw) {
    info->frame_size = raw->frlen;
    info->frame_format = raw->frfmt;
    info->frame_idx = raw->fridx;
    info->width = kWidth;
    info->height = kHeight;
    info->pixel_bytes = 4;
    info->reserved0 = 0;
    info->reserved1 = 0;
    return 1;
}

// Writes one 32-bit float per whole raw word that fits in dst: mode 1 the upper half's 12 bits
// as metres, mode 2 the lower half's 12 bits as a fraction. Returns width x height.
int32_t ti_frame_decode(lumox_drv *, uint16_t *dst, uint32_t dst_size, uint32_t mode,
                        const uint8_t *raw, uint32_t raw_len, const lumox_frame_info *info) {
    if (!dst || !raw || !info) return -1;
    auto *out = reinterpret_cast<uint8_t *>(dst);
    const uint32_t words = raw_len / 4;
    const uint32_t slots = dst_size / 4;
    if (mode == 1 || mode == 2) {
        for (uint32_t i = 0; i < words && i < slots; ++i) {
            uint32_t word = 0;
            std::memcpy(&word, raw + 4 * i, 4);
            const uint32_t sample = (mode == 1 ? word >> 16 : word) & 0xFFF;
            float value = static_cast<float>(sample) * kPhaseScale;
            if (mode == 1) value *= kRangeM;
            std::memcpy(out + 4 * i, &value, 4);
        }
    }
    return static_cast<int32_t>(info->width * info->height);
}

int32_t ti_reserved_5(lumox_drv *) { return 0; }
int32_t ti_reserved_6(lumox_drv *, uint32_t, int32_t value, int32_t) { return value; }
int32_t ti_calib_load(lumox_drv *, uint32_t, int32_t value, int32_t) { return value; }
int32_t ti_reserved_8(lumox_drv *) { return 1; }

}  // namespace

extern "C" {

const lumox_drv_ops g_lumox_driver_op_ti = {
    .init = ti_init,
    .uninit = ti_uninit,
    .frame_get_info = ti_frame_get_info,
    .frame_decode = ti_frame_decode,
    .lens_param_get = nullptr,
    .reserved_5 = ti_reserved_5,
    .reserved_6 = ti_reserved_6,
    .calib_load = ti_calib_load,
    .reserved_8 = ti_reserved_8,
    .filter_enable = nullptr,
    .filter_disable = nullptr,
};

}  // extern "C"
