// Frame conversion on a 320 x 240 four-DCS frame of the virtual camera: the public distance and
// gray conversions with the driver's default features, the bare decode without filters, the
// point clouds of the distance image and its colour image; the DRNU formula with the virtual
// camera's calibration table, its first decode after open and the table load.

#include <benchmark/benchmark.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "api/device_state.h"
#include "frames.h"
#include "drivers/epc.h"
#include "drivers/epc_decode.h"
#include "drivers/epc_drnu.h"
#include "drivers/epc_features.h"
#include "lumox/frame.h"
#include "lumox/evk.h"
#include "lumox/log.h"
#include "lx/dcs.h"
#include "lx/simd.h"
#include "vcam/depth_sensor.h"

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
        state.refs.store(1);  // the open device's own reference: calls never release the state
        dev.state = &state;
        info.frame_size = 8 * kPixels;
        info.frame_format = 2;
        info.width = kWidth;
        info.height = kHeight;
        info.pixel_bytes = 8;
    }
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

namespace {

// The calibration the virtual camera ships with (its distance images and parameter file), written
// under a scratch path prefix and loaded as the camera's open does: the DRNU table in `bank`
// (1 for a 1.x firmware camera, 0 with the extension module of 2.x, whose decode still reads
// bank 1).
struct DrnuCalibration {
    std::string dir;

    DrnuCalibration() {
        char pattern[] = "/tmp/lumox-bench-XXXXXX";
        dir = mkdtemp(pattern) ? std::string(pattern) + "/" : std::string("./");
        lumox_path_cfg(dir.c_str());
        const lumox::vcam::DepthSensor sensor;
        char name[256];
        calibrationGetDistanceImagesName(name);
        write(name, sensor.distance_images());
        calibrationGetParamName(name);
        write(name, sensor.parameter_file());
        calibrationLoadDRNU_LUT();
    }
    ~DrnuCalibration() {
        char name[256];
        calibrationGetDistanceImagesName(name);
        std::remove((dir + name).c_str());
        calibrationGetParamName(name);
        std::remove((dir + name).c_str());
        rmdir(dir.c_str());
        lumox_path_cfg(".\\");
    }
    void write(const char *name, const std::vector<uint8_t> &bytes) const {
        if (FILE *f = std::fopen((dir + name).c_str(), "wb")) {
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
    }
    static bool load(int bank) { return calibrationLoadDistanceImages(bank) == 0; }
};

// Returns both banks of the table to the state of a fresh process: pages never touched.
void forget_table_pages() {
    const long page = sysconf(_SC_PAGESIZE);
    auto begin = reinterpret_cast<uintptr_t>(&distImagesDRNU[0][0]);
    auto end = reinterpret_cast<uintptr_t>(&distImagesDRNU[1][LUMOX_DRNU_BANK_ENTRIES]);
    begin = (begin + page - 1) / page * page;
    end = end / page * page;
    madvise(reinterpret_cast<void *>(begin), end - begin, MADV_DONTNEED);
}

// The bench device with the DRNU formula and the loaded calibration's constants.
void use_drnu(BenchDevice &d) {
    lumox::drivers::epc_load_calib_constants(d.ctx);
    lumox::drivers::epc_set_range(d.ctx, 12000);
    d.ctx.drnu_en = 1;
}

void BM_FrameGetDistanceDrnu(benchmark::State &state) {
    DrnuCalibration calibration;
    if (!DrnuCalibration::load(1)) {
        state.SkipWithError("no DRNU table");
        return;
    }
    BenchDevice d;
    use_drnu(d);
    const auto raw = scene_frame();
    std::vector<float> out(kPixels);
    for (auto _ : state) {
        const int32_t n = lumox_frame_get_distance(&d.dev, out.data(), kPixels, raw.data(),
                                                   static_cast<uint32_t>(raw.size()), &d.info);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_FrameGetDistanceDrnu)->Unit(benchmark::kMicrosecond);

// The DRNU formula alone on the scene frame's angles, in read-out order, with the loaded table and
// the parameters of the decode. Arg 0: the whole frame; 1: its first 512 pixels over and over, a
// table piece that stays in the first-level cache (the arithmetic without the memory).
void BM_DrnuDistances(benchmark::State &state) {
    DrnuCalibration calibration;
    if (!DrnuCalibration::load(1)) {
        state.SkipWithError("no DRNU table");
        return;
    }
    BenchDevice d;
    use_drnu(d);
    const auto raw = scene_frame();
    std::vector<uint16_t> amp(kPixels), phase(kPixels), dist(kPixels);
    lumox::dcs::amplitude_phase(raw.data(), kPixels, 0, kPixels, amp.data(), phase.data());
    lumox::drivers::drnu::Params p;
    p.table = distImagesDRNU[1];
    p.k = calibrateGetNumDistances();
    p.step_ph = static_cast<float>(static_cast<uint32_t>(int64_t{d.ctx.step_mm} * 30000) /
                                   static_cast<uint32_t>(d.ctx.range_mm));
    p.temp_ph = 0.0f;
    p.offset_ph = d.ctx.drnu_offset_ph;
    p.range_mm = d.ctx.range_mm;
    const bool hot = state.range(0) != 0;
    const uint32_t piece = hot ? 512 : kPixels;
    for (auto _ : state) {
        for (uint32_t first = 0; first < kPixels; first += piece) {
            lumox::drivers::drnu::distances(p, phase.data() + first, hot ? 0 : first, piece,
                                            dist.data() + first);
        }
        benchmark::DoNotOptimize(dist.data());
    }
}
BENCHMARK(BM_DrnuDistances)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The first DRNU decode after the table was loaded into `bank` of a fresh process.
void BM_FirstDrnuDecode(benchmark::State &state) {
    DrnuCalibration calibration;
    const int bank = static_cast<int>(state.range(0));
    BenchDevice d;
    const auto raw = scene_frame();
    std::vector<float> out(kPixels);
    for (auto _ : state) {
        state.PauseTiming();
        forget_table_pages();
        const bool loaded = DrnuCalibration::load(bank);
        use_drnu(d);
        state.ResumeTiming();
        const int32_t n = lumox_frame_get_distance(&d.dev, out.data(), kPixels, raw.data(),
                                                   static_cast<uint32_t>(raw.size()), &d.info);
        benchmark::DoNotOptimize(n);
        if (!loaded) state.SkipWithError("no DRNU table");
    }
}
BENCHMARK(BM_FirstDrnuDecode)->Arg(1)->Arg(0)->Iterations(30)->Unit(benchmark::kMicrosecond);

// Loading the distance images into a bank at open; Arg 1: the table pages are new to the
// process (as at the first open), 0: they were filled before (a re-open).
void BM_DrnuTableLoad(benchmark::State &state) {
    DrnuCalibration calibration;
    const bool fresh = state.range(0) != 0;
    for (auto _ : state) {
        if (fresh) {
            state.PauseTiming();
            forget_table_pages();
            state.ResumeTiming();
        }
        if (!DrnuCalibration::load(1)) state.SkipWithError("no DRNU table");
    }
}
BENCHMARK(BM_DrnuTableLoad)->Arg(1)->Arg(0)->Iterations(30)->Unit(benchmark::kMicrosecond);

// What an application does with every frame on one core: distances in metres, the gray image and
// the point cloud, with the linear calibration and the default features; the NoFilters variant
// without the depth filter chain (median, Gaussian, flying pixels, hole filling, range check);
// the OneDecode variants take both images from lumox_frame_get_distance_gray.
template <bool kFilters, bool kOneDecode>
void BM_DistanceGrayPointCloud(benchmark::State &state) {
    BenchDevice d;
    d.ctx.dfilter_en = kFilters;
    const auto raw = scene_frame();
    const auto raw_len = static_cast<uint32_t>(raw.size());
    std::vector<float> dist(kPixels), gray(kPixels), pcl(3 * kPixels);
    for (auto _ : state) {
        if (kOneDecode) {
            lumox_frame_get_distance_gray(&d.dev, dist.data(), gray.data(), kPixels, raw.data(),
                                          raw_len, &d.info);
        } else {
            lumox_frame_get_distance(&d.dev, dist.data(), kPixels, raw.data(), raw_len, &d.info);
            lumox_frame_get_gray(&d.dev, gray.data(), kPixels, raw.data(), raw_len, &d.info);
        }
        const int32_t n = lumox_frame_get_pcl(&d.dev, pcl.data(), 3 * kPixels, dist.data(), kPixels,
                                              kWidth, kHeight, nullptr);
        benchmark::DoNotOptimize(n);
    }
    state.counters["frames_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DistanceGrayPointCloud<true, false>)
    ->Name("BM_DistanceGrayPointCloud")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DistanceGrayPointCloud<false, false>)
    ->Name("BM_DistanceGrayPointCloudNoFilters")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DistanceGrayPointCloud<true, true>)
    ->Name("BM_DistanceGrayPointCloudOneDecode")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DistanceGrayPointCloud<false, true>)
    ->Name("BM_DistanceGrayPointCloudOneDecodeNoFilters")
    ->Unit(benchmark::kMicrosecond);

}  // namespace

namespace {

// The minimum-amplitude filter with hysteresis on the scene's amplitudes, its threshold at their
// median so that half the pixels go each way (the filter does the same work whatever the
// distances, so they are not restored between runs). Arguments: hysteresis on, and the highest
// instruction set (1 SSE4.1, 2 AVX2, 3 AVX-512).
void BM_MinAmplitudeFilter(benchmark::State &state) {
    lumox::simd::limit_isa(static_cast<lumox::simd::Isa>(state.range(1)));
    const auto raw = scene_frame();
    std::vector<uint16_t> amp(kPixels), phase(kPixels);
    lumox::dcs::amplitude_phase(raw.data(), kPixels, 0, kPixels, amp.data(), phase.data());
    std::vector<uint16_t> sorted = amp;
    std::nth_element(sorted.begin(), sorted.begin() + kPixels / 2, sorted.end());
    epc_ctx ctx;
    ctx.minamp_en = 1;
    ctx.minamp_hyst_en = static_cast<uint8_t>(state.range(0));
    ctx.minamp_thr = sorted[kPixels / 2];
    ctx.minamp_hyst = 20;
    std::vector<uint16_t> dist = phase;
    for (auto _ : state) {
        lumox::drivers::feature_minamp_filter(ctx, dist.data(), amp.data(), kPixels);
        benchmark::DoNotOptimize(dist.data());
    }
    lumox::simd::limit_isa(lumox::simd::Isa::kAvx512);
    state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_MinAmplitudeFilter)->ArgsProduct({{0, 1}, {1, 2, 3}})->Unit(benchmark::kMicrosecond);

}  // namespace
