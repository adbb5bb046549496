// Batch amplitude and phase of one 320 x 240 frame from the virtual camera, per instruction set
// (0 plain C++, 1 SSE4.1, 2 AVX2, 3 AVX-512; sets above the processor's run as its best).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "frames.h"
#include "lx/dcs.h"
#include "lx/simd.h"

namespace {

using lumox::bench::kPixels;

template <bool kWithPhase>
void BM_DcsDecode(benchmark::State &state) {
    const std::vector<uint8_t> raw = lumox::bench::scene_frame();
    std::vector<uint16_t> amp(kPixels), phase(kPixels);
    lumox::simd::limit_isa(static_cast<lumox::simd::Isa>(state.range(0)));
    for (auto _ : state) {
        if constexpr (kWithPhase) {
            lumox::dcs::amplitude_phase(raw.data(), kPixels, 0, kPixels, amp.data(), phase.data());
        } else {
            lumox::dcs::amplitude(raw.data(), kPixels, 0, kPixels, amp.data());
        }
        benchmark::DoNotOptimize(amp.data());
        benchmark::ClobberMemory();
    }
    lumox::simd::limit_isa(lumox::simd::Isa::kAvx512);
    state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_DcsDecode<true>)
    ->Name("dcs_amplitude_phase")
    ->DenseRange(0, 3)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DcsDecode<false>)
    ->Name("dcs_amplitude")
    ->DenseRange(0, 3)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
