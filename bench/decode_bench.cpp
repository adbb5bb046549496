// Frame decode on a synthetic 320 x 240 four-DCS frame: the public distance and gray conversions
// with the driver's default features, and the bare decode without filters.

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "api/device_state.h"
#include "drivers/epc.h"
#include "drivers/epc_decode.h"
#include "lumox/frame.h"
#include "lumox/log.h"

namespace {

constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;
constexpr uint32_t kPixels = kWidth * kHeight;

// A tilted plane seen through the sensor: phase grows across the image, amplitude falls off.
std::vector<uint8_t> synthetic_frame() {
    std::vector<uint8_t> raw(8 * kPixels);
    for (uint32_t i = 0; i < kPixels; ++i) {
        const double x = i % kWidth;
        const double y = i / kWidth;
        const double phase = 0.6 + 0.004 * x + 0.002 * y;
        const double amp = 900 - std::hypot(x - 160, y - 120) * 2;
        const double s[4] = {2048 - amp * std::cos(phase), 2048 - amp * std::sin(phase),
                             2048 + amp * std::cos(phase), 2048 + amp * std::sin(phase)};
        for (uint32_t k = 0; k < 4; ++k) {
            const auto v = static_cast<uint16_t>(s[k]);
            raw[2 * (k * kPixels + i)] = static_cast<uint8_t>(v);
            raw[2 * (k * kPixels + i) + 1] = static_cast<uint8_t>(v >> 8);
        }
    }
    return raw;
}

// A device that looks open with an EPC driver context in the defaults of a 12 MHz camera.
struct BenchDevice {
    epc_ctx ctx;
    lumox_drv drv{"EPC chip driver", "E1", &g_lumox_driver_op_epc, nullptr, &ctx};
    lumox_dev_state state;
    lumox_dev_t dev{};
    lumox_frame_info info{};

    BenchDevice() {
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_OFF, nullptr);
        lumox::drivers::epc_set_defaults(ctx);
        ctx.temp_mon_en = 0;
        ctx.scale = 1000;
        ctx.offset_mm = -3400;
        lumox::drivers::epc_set_range(ctx, 12000);
        state.drv = &drv;
        state.open = 1;
        dev.state = &state;
        info.frame_size = 8 * kPixels;
        info.frame_format = 2;
        info.width = kWidth;
        info.height = kHeight;
        info.pixel_bytes = 8;
    }
    ~BenchDevice() { delete[] ctx.minamp_mask; }
};

void BM_FrameGetDistanceDefaults(benchmark::State &state) {
    BenchDevice d;
    const auto raw = synthetic_frame();
    std::vector<float> out(kPixels);
    for (auto _ : state) {
        const int32_t n = lumox_frame_get_distance(&d.dev, out.data(), kPixels, raw.data(),
                                                   static_cast<uint32_t>(raw.size()), &d.info);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_FrameGetDistanceDefaults)->Unit(benchmark::kMicrosecond);

void BM_FrameGetGray(benchmark::State &state) {
    BenchDevice d;
    const auto raw = synthetic_frame();
    std::vector<float> out(kPixels);
    for (auto _ : state) {
        const int32_t n = lumox_frame_get_gray(&d.dev, out.data(), kPixels, raw.data(),
                                               static_cast<uint32_t>(raw.size()), &d.info);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_FrameGetGray)->Unit(benchmark::kMicrosecond);

void BM_EpcFrameDecodeNoFilters(benchmark::State &state) {
    BenchDevice d;
    d.ctx.dfilter_en = 0;
    d.ctx.minamp_en = 0;
    const auto raw = synthetic_frame();
    std::vector<uint16_t> out(kPixels);
    for (auto _ : state) {
        const int32_t n = epc_frame_decode(&d.drv, out.data(), 2 * kPixels, 1, raw.data(),
                                           static_cast<uint32_t>(raw.size()), &d.info);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_EpcFrameDecodeNoFilters)->Unit(benchmark::kMicrosecond);

}  // namespace
