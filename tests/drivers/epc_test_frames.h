// Raw four-DCS frames for the EPC driver tests: per-pixel samples in, little-endian planes out.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "drivers/epc.h"

namespace lumox::test {

using Dcs = std::array<uint16_t, 4>;

// A w x h format-2 frame whose pixel i (read-out order) has the samples dcs(i).
template <typename F>
std::vector<uint8_t> raw_frame(uint32_t w, uint32_t h, F dcs) {
    const uint32_t n = w * h;
    std::vector<uint8_t> raw(8 * static_cast<size_t>(n));
    for (uint32_t i = 0; i < n; ++i) {
        const Dcs d = dcs(i);
        for (uint32_t k = 0; k < 4; ++k) {
            raw[2 * (k * n + i)] = static_cast<uint8_t>(d[k] & 0xFF);
            raw[2 * (k * n + i) + 1] = static_cast<uint8_t>(d[k] >> 8);
        }
    }
    return raw;
}

inline std::vector<uint8_t> flat_frame(uint32_t w, uint32_t h, Dcs d) {
    return raw_frame(w, h, [d](uint32_t) { return d; });
}

// The pixel of the worked example: amplitude 500, angle 15000 (6245 mm into a 12 MHz range).
constexpr Dcs kMidPixel = {2048, 2048, 3048, 2048};

// An EPC driver record with its own context: the defaults of an opened device and the
// calibration constants of a 12 MHz camera with scale 1000 and offset -3400.
struct EpcDriver {
    epc_ctx ctx;
    lumox_drv drv{"EPC chip driver", "E1", &g_lumox_driver_op_epc, nullptr, &ctx};

    EpcDriver() {
        drivers::epc_set_defaults(ctx);
        ctx.temp_mon_en = 0;
        ctx.scale = 1000;
        ctx.offset_mm = -3400;
        ctx.tcoef_sensor = 1.7f;
        ctx.tcoef_ib = 0.33765f;
        ctx.step_mm = 1000;
        drivers::epc_set_range(ctx, 12000);
    }

    // Only the decode itself: no filters, no minimum amplitude.
    void plain() {
        ctx.dfilter_en = 0;
        ctx.minamp_en = 0;
    }
};

inline lumox_frame_info frame_info(uint32_t w, uint32_t h, uint16_t format = 2) {
    lumox_frame_info info{};
    info.frame_size = 8 * w * h;
    info.frame_format = format;
    info.width = w;
    info.height = h;
    info.pixel_bytes = 8;
    return info;
}

}  // namespace lumox::test
