// Lens undistortion: building the map once and remapping one 320 x 240 image, single thread.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "lumox/image.h"

namespace {

lx_lens_param default_lens() {
    return {157.262,
            122.083,
            210.783,
            204.817,
            {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954},
            320,
            240};
}

void BM_InitMap(benchmark::State &state) {
    const lx_lens_param lens = default_lens();
    for (auto _ : state) {
        lx_calib_len_map map{};
        benchmark::DoNotOptimize(lx_calib_len_init_map(&map, &lens));
        lx_calib_len_uninit_map(&map);
    }
}
BENCHMARK(BM_InitMap)->Name("calib_len_init_map/320x240");

template <typename Pixel, int Binning>
void BM_Undistort(benchmark::State &state) {
    const lx_lens_param lens = default_lens();
    lx_calib_len_map map{};
    lx_calib_len_init_map(&map, &lens);
    const int32_t w = 320 / Binning, h = 240 / Binning;
    std::vector<Pixel> src(w * h), dst(w * h);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<Pixel>(i % 5000);
    for (auto _ : state) {
        if constexpr (sizeof(Pixel) == 2)
            lx_calib_len_undistort_u16(&map, dst.data(), w * h, src.data(), w, h, 0);
        else
            lx_calib_len_undistort_f32(&map, dst.data(), w * h, src.data(), w, h, 0.0f);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * w * h);
    lx_calib_len_uninit_map(&map);
}
BENCHMARK(BM_Undistort<uint16_t, 1>)->Name("calib_len_undistort_u16/320x240");
BENCHMARK(BM_Undistort<float, 1>)->Name("calib_len_undistort_f32/320x240");
BENCHMARK(BM_Undistort<uint16_t, 2>)->Name("calib_len_undistort_u16/160x120");

}  // namespace
