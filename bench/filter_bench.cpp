// Depth filter kernels on one 320 x 240 depth image, single thread.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "lumox/image.h"

namespace {

constexpr int32_t kW = 320, kH = 240;

// A smooth depth ramp with noise and a few reserved codes, like a decoded distance image.
std::vector<uint16_t> depth_image() {
    std::vector<uint16_t> img(kW * kH);
    std::mt19937 rng(7);
    for (int32_t y = 0; y < kH; ++y) {
        for (int32_t x = 0; x < kW; ++x) {
            const uint32_t r = rng();
            uint16_t v = static_cast<uint16_t>(800 + 4 * x + 3 * y + r % 64);
            if (r % 97 == 0) v = 65300;
            if (r % 211 == 0) v = 65500;
            img[y * kW + x] = v;
        }
    }
    return img;
}

template <void (*Filter)(uint16_t *, const uint16_t *, int32_t, int32_t)>
void BM_Filter(benchmark::State &state) {
    const auto src = depth_image();
    std::vector<uint16_t> dst(src.size());
    for (auto _ : state) {
        Filter(dst.data(), src.data(), kW, kH);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kW * kH);
}

void median_k7(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) {
    lx_median2d_u16(dst, src, w, h, 7);
}

void flypix(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) {
    lx_flypix_u16_k3(dst, src, w, h, 90000);
}

BENCHMARK(BM_Filter<lx_median2d_u16_k3>)->Name("median2d_u16_k3/320x240");
BENCHMARK(BM_Filter<lx_median2d_u16_k5>)->Name("median2d_u16_k5/320x240");
BENCHMARK(BM_Filter<median_k7>)->Name("median2d_u16_k7_list/320x240");
BENCHMARK(BM_Filter<lx_box2d_u16_k3>)->Name("box2d_u16_k3/320x240");
BENCHMARK(BM_Filter<lx_gauss2d_u16_k3>)->Name("gauss2d_u16_k3/320x240");
BENCHMARK(BM_Filter<flypix>)->Name("flypix_u16_k3/320x240");
BENCHMARK(BM_Filter<lx_fhole_u16_k3>)->Name("fhole_u16_k3/320x240");
BENCHMARK(BM_Filter<lx_fhole_u16_k5>)->Name("fhole_u16_k5/320x240");

}  // namespace
