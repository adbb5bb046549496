// The evaluation kit's sorted distance image (calculationDistanceSorted, four DCS, default read-out
// layout) of a 320 x 240 frame of the virtual camera, alone and with the Kalman filter and the
// running average of pictures switched on; the same with the kernels limited to a lower
// instruction set (0 plain, 1 SSE4.1, 2 AVX2) for machines without the best one.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "frames.h"
#include "lumox/evk.h"
#include "lumox/evk_calc.h"
#include "lx/simd.h"

namespace {

using lumox::bench::kPixels;

// The scene frame as the kit's frame fetch hands it over: four planes of 16-bit samples.
struct EvkFrame {
    std::vector<uint16_t> samples = std::vector<uint16_t>(4 * static_cast<size_t>(kPixels));
    pru_image image{};

    EvkFrame() {
        const auto raw = lumox::bench::scene_frame();
        std::memcpy(samples.data(), raw.data(), raw.size());
        pruInit();
        pruSetSize(320, 120);
        calculationEnablePiDelay(1);
        calculationEnableDualMGX(0);
        calculationEnablePN(0);
        calculationEnableKalman(0);
        imageSetNumberOfPicture(1);
    }
    ~EvkFrame() {
        calculationEnableKalman(0);
        imageSetNumberOfPicture(1);
    }
    int sorted_distances() {
        image = {static_cast<uint32_t>(samples.size() * 2), samples.data()};
        pruSetImage(&image);
        uint16_t *out = nullptr;
        return calculationDistanceSorted(&out);
    }
};

void BM_EvkDistanceSorted(benchmark::State &state) {
    EvkFrame frame;
    for (auto _ : state) benchmark::DoNotOptimize(frame.sorted_distances());
}
BENCHMARK(BM_EvkDistanceSorted)->Unit(benchmark::kMicrosecond);

void BM_EvkDistanceSortedKalmanAverage(benchmark::State &state) {
    EvkFrame frame;
    calculationInitKalman();
    calculationEnableKalman(static_cast<int>(state.range(0)));
    imageSetNumberOfPicture(4);
    for (auto _ : state) benchmark::DoNotOptimize(frame.sorted_distances());
}
BENCHMARK(BM_EvkDistanceSortedKalmanAverage)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// Arguments: instruction set, Kalman mode (0: none and no averaging; else averaging of 4).
void BM_EvkDistanceSortedOnIsa(benchmark::State &state) {
    lumox::simd::limit_isa(static_cast<lumox::simd::Isa>(state.range(0)));
    EvkFrame frame;
    const auto mode = static_cast<int>(state.range(1));
    if (mode != 0) {
        calculationInitKalman();
        calculationEnableKalman(mode);
        imageSetNumberOfPicture(4);
    }
    for (auto _ : state) benchmark::DoNotOptimize(frame.sorted_distances());
    lumox::simd::limit_isa(lumox::simd::Isa::kAvx512);
}
BENCHMARK(BM_EvkDistanceSortedOnIsa)
    ->ArgsProduct({{0, 1, 2}, {0, 1, 2}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
