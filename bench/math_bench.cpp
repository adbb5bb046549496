// Per-pixel arithmetic of the distance decode: phase lookup and the fast square root.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "lumox/image.h"

namespace {

constexpr int kPixels = 320 * 240;

std::vector<int32_t> differences() {
    std::vector<int32_t> v(2 * kPixels);
    uint32_t s = 12345;
    for (auto &d : v) {
        s = s * 1103515245u + 12345u;
        d = static_cast<int32_t>((s >> 16) & 0x1FFF) - 4096;
    }
    return v;
}

void BM_Atan2Frame(benchmark::State &state) {
    const auto d = differences();
    for (auto _ : state) {
        int64_t sum = 0;
        for (int i = 0; i < kPixels; ++i) sum += lx_math_atan2_i32(d[2 * i], d[2 * i + 1]);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_Atan2Frame);

void BM_SqrtFrame(benchmark::State &state) {
    const auto d = differences();
    for (auto _ : state) {
        float sum = 0;
        for (int i = 0; i < kPixels; ++i) {
            const float a = static_cast<float>(d[2 * i]);
            const float b = static_cast<float>(d[2 * i + 1]);
            sum += lx_math_sqrtf(a * a + b * b);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_SqrtFrame);

}  // namespace
