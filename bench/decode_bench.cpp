// Frame conversion on a 320 x 240 four-DCS frame of the virtual camera: the public distance and
// gray conversions with the driver's default features, the bare decode without filters, the
// point clouds of the distance image and its colour image.

#include <benchmark/benchmark.h>

#include <vector>

#include "api/device_state.h"
#include "frames.h"
#include "drivers/epc.h"
#include "drivers/epc_decode.h"
#include "lumox/frame.h"
#include "lumox/log.h"

namespace {

using lumox::bench::kHeight;
using lumox::bench::kPixels;
using lumox::bench::kWidth;
using lumox::bench::scene_frame;

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
    const auto raw = scene_frame();
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
    const auto raw = scene_frame();
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
    const auto raw = scene_frame();
    std::vector<uint16_t> out(kPixels);
    for (auto _ : state) {
        const int32_t n = epc_frame_decode(&d.drv, out.data(), 2 * kPixels, 1, raw.data(),
                                           static_cast<uint32_t>(raw.size()), &d.info);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_EpcFrameDecodeNoFilters)->Unit(benchmark::kMicrosecond);

// The distance image of the scene frame in metres.
std::vector<float> scene_distances(BenchDevice &d) {
    const auto raw = scene_frame();
    std::vector<float> dist(kPixels);
    lumox_frame_get_distance(&d.dev, dist.data(), kPixels, raw.data(),
                             static_cast<uint32_t>(raw.size()), &d.info);
    return dist;
}

template <bool kXyzd>
void BM_PointCloud(benchmark::State &state) {
    BenchDevice d;
    const auto dist = scene_distances(d);
    std::vector<float> pcl(4 * kPixels);
    for (auto _ : state) {
        const int32_t n =
            kXyzd ? lumox_frame_get_pcl_xyzd(&d.dev, pcl.data(), 4 * kPixels, dist.data(), kPixels,
                                             kWidth, kHeight, 1, nullptr)
                  : lumox_frame_get_pcl(&d.dev, pcl.data(), 3 * kPixels, dist.data(), kPixels,
                                        kWidth, kHeight, nullptr);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_PointCloud<false>)->Name("BM_FrameGetPcl")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PointCloud<true>)->Name("BM_FrameGetPclXyzdColour")->Unit(benchmark::kMicrosecond);

void BM_CmapFloat(benchmark::State &state) {
    BenchDevice d;
    const auto dist = scene_distances(d);
    std::vector<uint8_t> rgb(3 * kPixels);
    for (auto _ : state) {
        const int32_t n = lumox_cmap_float(rgb.data(), static_cast<int32_t>(rgb.size()),
                                           dist.data(), kPixels, LUMOX_CMAP_RGB24, 0.5f, 4.0f);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_CmapFloat)->Unit(benchmark::kMicrosecond);

}  // namespace
