// The vector kernels before and after Highway, in one run: each kernel on each x86 target, as
// written by hand per instruction set or with one wide variant (namespace lumox_before, built from
// the commit before the change) and as written once over Highway. Names are
// kernel/before|highway/TARGET; items are pixels. Targets the processor lacks are skipped.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

// The earlier kernels' own headers, their namespace renamed as in their build.
#define lumox lumox_before
#include "kernels_before/drivers/epc_drnu.h"
#include "kernels_before/lx/dcs.h"
#include "kernels_before/lx/pointcloud.h"
#include "kernels_before/lx/simd.h"
#undef lumox
#undef LUMOX_LX_SIMD_H
#undef LUMOX_LX_DCS_H
#undef LUMOX_LX_POINTCLOUD_H

#include <hwy/targets.h>

#include "lumox/image.h"

#include "drivers/epc_drnu.h"
#include "frames.h"
#include "lx/dcs.h"
#include "lx/pointcloud.h"
#include "lx/simd.h"

// The earlier image kernels' C entry points, renamed in their build.
extern "C" {
void before_median2d_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) noexcept;
void before_median2d_u16_k5(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) noexcept;
void before_box2d_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) noexcept;
void before_gauss2d_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) noexcept;
void before_flypix_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                          uint32_t threshold) noexcept;
void before_fhole_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) noexcept;
int32_t before_calib_len_init_map(lx_calib_len_map *map, const lx_lens_param *lens) noexcept;
void before_calib_len_uninit_map(lx_calib_len_map *map) noexcept;
int32_t before_calib_len_undistort_u16(const lx_calib_len_map *map, uint16_t *dst, int32_t dst_len,
                                       const uint16_t *src, int32_t w, int32_t h,
                                       uint16_t fill) noexcept;
int32_t before_calib_len_undistort_f32(const lx_calib_len_map *map, float *dst, int32_t dst_len,
                                       const float *src, int32_t w, int32_t h, float fill) noexcept;
}

namespace {

using lumox::bench::kPixels;

struct Target {
    const char *name;
    int64_t highway;
    lumox_before::simd::Isa before;
};

const Target kTargets[] = {
    {"SSE4", HWY_SSE4, lumox_before::simd::Isa::kSse41},
    {"AVX2", HWY_AVX2, lumox_before::simd::Isa::kAvx2},
    {"AVX3", HWY_AVX3, lumox_before::simd::Isa::kAvx512},
};

// Both dispatches run `t`; false (and the benchmark skipped) when the processor lacks it.
bool use_target(const Target &t, benchmark::State &state) {
    for (const int64_t have : lumox::simd::targets()) {
        if (have == t.highway) {
            lumox::simd::force_target(t.highway);
            lumox_before::simd::limit_isa(t.before);
            return true;
        }
    }
    state.SkipWithError("the processor lacks this target");
    return false;
}

const std::vector<uint8_t> &frame() {
    static const std::vector<uint8_t> raw = lumox::bench::scene_frame();
    return raw;
}

template <bool kBefore, bool kWithPhase>
void dcs_decode(benchmark::State &state, const Target &t) {
    if (!use_target(t, state)) return;
    const std::vector<uint8_t> &raw = frame();
    std::vector<uint16_t> amp(kPixels), phase(kPixels);
    for (auto _ : state) {
        if constexpr (kBefore && kWithPhase) {
            lumox_before::dcs::amplitude_phase(raw.data(), kPixels, 0, kPixels, amp.data(),
                                               phase.data());
        } else if constexpr (kBefore) {
            lumox_before::dcs::amplitude(raw.data(), kPixels, 0, kPixels, amp.data());
        } else if constexpr (kWithPhase) {
            lumox::dcs::amplitude_phase(raw.data(), kPixels, 0, kPixels, amp.data(), phase.data());
        } else {
            lumox::dcs::amplitude(raw.data(), kPixels, 0, kPixels, amp.data());
        }
        benchmark::DoNotOptimize(amp.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}

// A DRNU table like a calibration's: per pixel K rising angles one step apart, with a per-pixel
// offset and noise; the scene frame's phases.
struct DrnuCase {
    int32_t k;
    float temp_ph;  // 0.25 keeps the single-precision path, 1e-5 takes the double one
};

struct DrnuData {
    std::vector<uint16_t> table;
    std::vector<uint16_t> phase;
    lumox::drivers::drnu::Params p;

    explicit DrnuData(const DrnuCase &c) : table(static_cast<size_t>(kPixels) * c.k) {
        std::mt19937 rng(11);
        const float step = 30000.0f / static_cast<float>(c.k + 2);
        for (uint32_t i = 0; i < kPixels; ++i) {
            const uint32_t offset = rng() % 600;
            for (int32_t e = 0; e < c.k; ++e) {
                table[static_cast<size_t>(i) * c.k + e] =
                    static_cast<uint16_t>(offset + static_cast<uint32_t>(step * e) + rng() % 40);
            }
        }
        std::vector<uint16_t> amp(kPixels);
        phase.resize(kPixels);
        lumox::dcs::amplitude_phase(frame().data(), kPixels, 0, kPixels, amp.data(), phase.data());
        p.table = table.data();
        p.k = c.k;
        p.step_ph = step;
        p.temp_ph = c.temp_ph;
        p.offset_ph = 708;
        p.range_mm = 12491;
    }
};

template <bool kBefore>
void drnu_distances(benchmark::State &state, const Target &t, DrnuCase c) {
    if (!use_target(t, state)) return;
    const DrnuData data(c);
    std::vector<uint16_t> dist(kPixels);
    for (auto _ : state) {
        if constexpr (kBefore) {
            lumox_before::drivers::drnu::Params p;
            p.table = data.p.table;
            p.k = data.p.k;
            p.step_ph = data.p.step_ph;
            p.temp_ph = data.p.temp_ph;
            p.offset_ph = data.p.offset_ph;
            p.range_mm = data.p.range_mm;
            lumox_before::drivers::drnu::distances(p, data.phase.data(), 0, kPixels, dist.data());
        } else {
            lumox::drivers::drnu::distances(data.p, data.phase.data(), 0, kPixels, dist.data());
        }
        benchmark::DoNotOptimize(dist.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}

// The point cloud of the scene's distance image (metres), with a colour word as fourth value
// or none.
template <bool kBefore, bool kColour>
void point_cloud(benchmark::State &state, const Target &t) {
    if (!use_target(t, state)) return;
    std::vector<float> dist(kPixels);
    const std::vector<uint16_t> mm = lumox::bench::depth_image();
    for (uint32_t i = 0; i < kPixels; ++i) dist[i] = static_cast<float>(mm[i]) / 1000.0f;
    lx_cmap map{};
    lx_cmap_init(&map, 1024);
    lx_cmap_set_range(&map, 300, 4000);
    std::vector<float> out(4 * static_cast<size_t>(kPixels));
    const uint64_t max_points = kPixels;
    for (auto _ : state) {
        uint64_t n;
        if constexpr (kBefore) {
            using lumox_before::pcl::Fourth;
            const lumox_before::pcl::View view{159.5, 119.5, 210.0, 210.0, 1.0f};
            n = lumox_before::pcl::project(
                view, dist.data(), lumox::bench::kWidth, lumox::bench::kHeight,
                kColour ? Fourth::kColour : Fourth::kNone, &map, out.data(), max_points);
        } else {
            using lumox::pcl::Fourth;
            const lumox::pcl::View view{159.5, 119.5, 210.0, 210.0, 1.0f};
            n = lumox::pcl::project(view, dist.data(), lumox::bench::kWidth, lumox::bench::kHeight,
                                    kColour ? Fourth::kColour : Fourth::kNone, &map, out.data(),
                                    max_points);
        }
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    lx_cmap_uninit(&map);
    state.SetItemsProcessed(state.iterations() * kPixels);
}

// The 3 x 3 or 5 x 5 median of the scene's distance image.
template <bool kBefore, bool kFive>
void median(benchmark::State &state, const Target &t) {
    if (!use_target(t, state)) return;
    const std::vector<uint16_t> src = lumox::bench::depth_image();
    std::vector<uint16_t> dst(kPixels);
    const auto w = static_cast<int32_t>(lumox::bench::kWidth);
    const auto h = static_cast<int32_t>(lumox::bench::kHeight);
    for (auto _ : state) {
        if constexpr (kBefore && kFive) {
            before_median2d_u16_k5(dst.data(), src.data(), w, h);
        } else if constexpr (kBefore) {
            before_median2d_u16_k3(dst.data(), src.data(), w, h);
        } else if constexpr (kFive) {
            lx_median2d_u16_k5(dst.data(), src.data(), w, h);
        } else {
            lx_median2d_u16_k3(dst.data(), src.data(), w, h);
        }
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}

// One of the 3 x 3 depth filters on the scene's distance image.
enum class Filter3 { kBox, kGauss, kFlyingPixel, kFillHole };

template <bool kBefore>
void filter3(benchmark::State &state, const Target &t, Filter3 f) {
    if (!use_target(t, state)) return;
    const std::vector<uint16_t> src = lumox::bench::depth_image();
    std::vector<uint16_t> dst(kPixels);
    const auto w = static_cast<int32_t>(lumox::bench::kWidth);
    const auto h = static_cast<int32_t>(lumox::bench::kHeight);
    using Kernel = void (*)(uint16_t *, const uint16_t *, int32_t, int32_t);
    const auto flypix = [](uint16_t *d, const uint16_t *s, int32_t iw, int32_t ih) {
        (kBefore ? before_flypix_u16_k3 : lx_flypix_u16_k3)(d, s, iw, ih, 90000);
    };
    const Kernel kernels[] = {kBefore ? before_box2d_u16_k3 : lx_box2d_u16_k3,
                              kBefore ? before_gauss2d_u16_k3 : lx_gauss2d_u16_k3, flypix,
                              kBefore ? before_fhole_u16_k3 : lx_fhole_u16_k3};
    const Kernel kernel = kernels[static_cast<int>(f)];
    for (auto _ : state) {
        kernel(dst.data(), src.data(), w, h);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}

// The lens undistortion of the scene's distance image (16-bit) or of its widened copy (floats),
// through a map of a wide-angle lens at full resolution, or binned by 2.
template <bool kBefore, typename Pixel>
void undistort(benchmark::State &state, const Target &t, int32_t binning) {
    if (!use_target(t, state)) return;
    const lx_lens_param lens{157.262,
                             122.083,
                             210.783,
                             204.817,
                             {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954},
                             static_cast<int32_t>(lumox::bench::kWidth),
                             static_cast<int32_t>(lumox::bench::kHeight)};
    lx_calib_len_map map{};
    lx_calib_len_init_map(&map, &lens);
    const auto w = static_cast<int32_t>(lumox::bench::kWidth) / binning;
    const auto h = static_cast<int32_t>(lumox::bench::kHeight) / binning;
    const std::vector<uint16_t> mm = lumox::bench::depth_image();
    const std::vector<Pixel> src(mm.begin(), mm.begin() + w * h);
    std::vector<Pixel> dst(src.size());
    for (auto _ : state) {
        if constexpr (kBefore && sizeof(Pixel) == 2) {
            before_calib_len_undistort_u16(&map, dst.data(), w * h, src.data(), w, h, 0);
        } else if constexpr (kBefore) {
            before_calib_len_undistort_f32(&map, dst.data(), w * h, src.data(), w, h, 0.0f);
        } else if constexpr (sizeof(Pixel) == 2) {
            lx_calib_len_undistort_u16(&map, dst.data(), w * h, src.data(), w, h, 0);
        } else {
            lx_calib_len_undistort_f32(&map, dst.data(), w * h, src.data(), w, h, 0.0f);
        }
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    lx_calib_len_uninit_map(&map);
    state.SetItemsProcessed(state.iterations() * w * h);
}

// Registered kernel by kernel, the two versions of a target side by side.
const bool kRegistered = [] {
    const auto add = [](const std::string &name, auto fn) {
        benchmark::RegisterBenchmark(name.c_str(), fn)->Unit(benchmark::kMicrosecond);
    };
    const struct {
        const char *name;
        DrnuCase c;
    } drnu_cases[] = {{"drnu_distances_k16", {16, 0.25f}},
                      {"drnu_distances_k16_double", {16, 1e-5f}},
                      {"drnu_distances_k40", {40, 0.25f}}};
    for (const Target &t : kTargets) {
        const std::string target = t.name;
        add("dcs_amplitude_phase/before/" + target,
            [&t](benchmark::State &s) { dcs_decode<true, true>(s, t); });
        add("dcs_amplitude_phase/highway/" + target,
            [&t](benchmark::State &s) { dcs_decode<false, true>(s, t); });
        add("dcs_amplitude/before/" + target,
            [&t](benchmark::State &s) { dcs_decode<true, false>(s, t); });
        add("dcs_amplitude/highway/" + target,
            [&t](benchmark::State &s) { dcs_decode<false, false>(s, t); });
        add("point_cloud/before/" + target,
            [&t](benchmark::State &s) { point_cloud<true, false>(s, t); });
        add("point_cloud/highway/" + target,
            [&t](benchmark::State &s) { point_cloud<false, false>(s, t); });
        add("point_cloud_colour/before/" + target,
            [&t](benchmark::State &s) { point_cloud<true, true>(s, t); });
        add("point_cloud_colour/highway/" + target,
            [&t](benchmark::State &s) { point_cloud<false, true>(s, t); });
        add("median_k3/before/" + target, [&t](benchmark::State &s) { median<true, false>(s, t); });
        add("median_k3/highway/" + target,
            [&t](benchmark::State &s) { median<false, false>(s, t); });
        add("median_k5/before/" + target, [&t](benchmark::State &s) { median<true, true>(s, t); });
        add("median_k5/highway/" + target,
            [&t](benchmark::State &s) { median<false, true>(s, t); });
        const struct {
            const char *name;
            Filter3 f;
        } filters[] = {{"box_k3", Filter3::kBox},
                       {"gauss_k3", Filter3::kGauss},
                       {"flypix_k3", Filter3::kFlyingPixel},
                       {"fhole_k3", Filter3::kFillHole}};
        for (const auto &f : filters) {
            const Filter3 which = f.f;
            add(std::string(f.name) + "/before/" + target,
                [&t, which](benchmark::State &s) { filter3<true>(s, t, which); });
            add(std::string(f.name) + "/highway/" + target,
                [&t, which](benchmark::State &s) { filter3<false>(s, t, which); });
        }
        add("undistort_u16/before/" + target,
            [&t](benchmark::State &s) { undistort<true, uint16_t>(s, t, 1); });
        add("undistort_u16/highway/" + target,
            [&t](benchmark::State &s) { undistort<false, uint16_t>(s, t, 1); });
        add("undistort_u16_binned/before/" + target,
            [&t](benchmark::State &s) { undistort<true, uint16_t>(s, t, 2); });
        add("undistort_u16_binned/highway/" + target,
            [&t](benchmark::State &s) { undistort<false, uint16_t>(s, t, 2); });
        add("undistort_f32/before/" + target,
            [&t](benchmark::State &s) { undistort<true, float>(s, t, 1); });
        add("undistort_f32/highway/" + target,
            [&t](benchmark::State &s) { undistort<false, float>(s, t, 1); });
        for (const auto &d : drnu_cases) {
            const DrnuCase c = d.c;
            add(std::string(d.name) + "/before/" + target,
                [&t, c](benchmark::State &s) { drnu_distances<true>(s, t, c); });
            add(std::string(d.name) + "/highway/" + target,
                [&t, c](benchmark::State &s) { drnu_distances<false>(s, t, c); });
        }
    }
    return true;
}();

}  // namespace
