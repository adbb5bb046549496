#include "evk/pru.h"

#include <cstdio>
#include <cstring>

#include "evk/config.h"
#include "evk/device_port.h"

namespace lumox::evk {
namespace {

struct Geometry {
    int width = 320;  // unreduced
    int height = 240;
    int columns = 320;
    int rows_per_half = 120;
    int halves = 2;
    int dcs = 4;
    int col_reduction = 1;
    int row_reduction = 1;
    int min_amplitude = 0;
    pru_image *injected = nullptr;
};

Geometry g_geometry;
alignas(8) unsigned char g_frame_buffer[LUMOX_EVK_FRAME_BUFFER_BYTES];

void recompute() {
    g_geometry.columns = g_geometry.width / g_geometry.col_reduction;
    g_geometry.rows_per_half = g_geometry.height / g_geometry.row_reduction;
}

int sample_count() {
    const auto &g = g_geometry;
    return g.columns * g.dcs * g.rows_per_half * g.halves;
}

// Reductions are powers of two stored as such; exponents outside 0..8 are refused.
int reduction_of(int n) { return (n >= 0 && n <= 8) ? (1 << n) : -1; }

}  // namespace

int expected_frame_bytes() { return sample_count() * 2; }

}  // namespace lumox::evk

using lumox::evk::g_geometry;

extern "C" {

LUMOX_API int pruInit(void) noexcept {
    auto &g = g_geometry;
    if (lumox::evk::is_epc635(configGetPartType())) {
        g.columns = 160;
        g.rows_per_half = 60;
        g.halves = 1;
    } else {
        g.columns = 320;
        g.rows_per_half = 120;
        g.halves = 2;
    }
    g.dcs = configIsFLIM() ? 2 : 4;
    g.injected = nullptr;
    return 0;
}

LUMOX_API int pruRelease(void) noexcept { return 0; }

LUMOX_API int pruSetSize(int width, int height) noexcept {
    g_geometry.width = width;
    g_geometry.height = height;
    lumox::evk::recompute();
    return 0;
}

LUMOX_API int pruSetColReduction(int n) noexcept {
    int reduction = lumox::evk::reduction_of(n);
    if (reduction < 0) return -1;
    g_geometry.col_reduction = reduction;
    lumox::evk::recompute();
    return 0;
}

LUMOX_API int pruSetRowReduction(int n) noexcept {
    int reduction = lumox::evk::reduction_of(n);
    if (reduction < 0) return -1;
    g_geometry.row_reduction = reduction;
    lumox::evk::recompute();
    return 0;
}

LUMOX_API int pruSetDCS(int n) noexcept {
    g_geometry.dcs = n;
    return 0;
}

LUMOX_API int pruSetMinAmplitude(int amplitude) noexcept {
    g_geometry.min_amplitude = amplitude;
    return 0;
}

LUMOX_API int pruGetNCols(void) noexcept { return g_geometry.columns; }
LUMOX_API int pruGetNRowsPerHalf(void) noexcept { return g_geometry.rows_per_half; }
LUMOX_API int pruGetNumberOfHalves(void) noexcept { return g_geometry.halves; }
LUMOX_API int pruGetNDCS(void) noexcept { return g_geometry.dcs; }
LUMOX_API int pruGetColReduction(void) noexcept { return g_geometry.col_reduction; }
LUMOX_API int pruGetRowReduction(void) noexcept { return g_geometry.row_reduction; }
LUMOX_API int pruGetMinAmplitude(void) noexcept { return g_geometry.min_amplitude; }

LUMOX_API void pruSetImage(pru_image *image) noexcept { g_geometry.injected = image; }

LUMOX_API int pruGetImage(uint16_t **image) noexcept {
    using namespace lumox::evk;
    int samples = sample_count();
    int expected = expected_frame_bytes();
    if (samples <= 0) {
        *image = reinterpret_cast<uint16_t *>(g_frame_buffer);
        return 0;
    }

    if (pru_image *injected = g_geometry.injected) {
        g_geometry.injected = nullptr;
        if (static_cast<int64_t>(injected->size) != expected) {
            std::printf(" wrong frame size: expect %d, get %d\n", expected,
                        static_cast<int>(injected->size));
            // The caller reads sample_count() samples: never hand it a shorter image.
            if (injected->size < static_cast<uint32_t>(expected) || !injected->data) {
                std::memset(g_frame_buffer, 0, static_cast<size_t>(expected));
                *image = reinterpret_cast<uint16_t *>(g_frame_buffer);
                return samples;
            }
        }
        *image = injected->data;
        return samples;
    }

    // The geometry can ask for more than the buffer holds; clamp so the fetch stays inside it.
    if (expected > LUMOX_EVK_FRAME_BUFFER_BYTES) {
        std::printf(" wrong frame size: expect %d, get %d\n", expected,
                    LUMOX_EVK_FRAME_BUFFER_BYTES);
        std::memset(g_frame_buffer, 0, sizeof g_frame_buffer);
        *image = reinterpret_cast<uint16_t *>(g_frame_buffer);
        return LUMOX_EVK_FRAME_BUFFER_BYTES / 2;
    }

    const auto &port = device_port();
    if (!port.cap_is_ongoing(g_lx_dev)) port.cap_start(g_lx_dev);
    FetchedFrame frame{};
    int got = port.cap_get_frame(g_lx_dev, g_frame_buffer, sizeof g_frame_buffer, &frame);
    if (got == 1) {
        std::printf(" get one frame #%d: %dx%d, size=%d\n", static_cast<int>(frame.index),
                    static_cast<int>(frame.width), static_cast<int>(frame.height),
                    static_cast<int>(frame.size));
        port.cap_stop(g_lx_dev);
        if (static_cast<int64_t>(frame.size) != expected) {
            std::printf(" wrong frame size: expect %d, get %d\n", expected,
                        static_cast<int>(frame.size));
            std::memset(g_frame_buffer, 0, static_cast<size_t>(expected));
        }
    } else {
        std::printf(" get frame failed\n");
        port.cap_stop(g_lx_dev);
        std::memset(g_frame_buffer, 0, static_cast<size_t>(expected));
    }
    *image = reinterpret_cast<uint16_t *>(g_frame_buffer);
    return samples;
}

}  // extern "C"
