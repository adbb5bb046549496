// The one run-time choice of instruction set for every vector kernel.
//
// Highway (hwy/highway.h) compiles each kernel once per target (EMU128, SSE4, AVX2, AVX-512 on
// x86-64; NEON and SVE on arm64) and its dispatch picks the best one the processor runs. Tests and
// benchmarks steer that one dispatch (force_target, limit_isa) and so every kernel at once. Every
// target gives the results of the plain per-pixel code exactly; only the speed differs.
#pragma once

#include <cstdint>
#include <vector>

namespace lumox::simd {

// x86-64 instruction-set levels the benchmarks name: plain code, then SSE4.1, AVX2 and AVX-512.
enum class Isa : int { kScalar = 0, kSse41 = 1, kAvx2 = 2, kAvx512 = 3 };

// Benchmarks run the kernels per level: forces the best target the processor runs at or below
// limit (kAvx512 lifts the limit).
void limit_isa(Isa limit);

// The Highway targets (HWY_AVX3, HWY_AVX2, ...) that the library was compiled for and this
// processor runs, best first, whatever target is forced now.
std::vector<int64_t> targets();

// Tests run every kernel on every target: from now on the dispatch runs `target` (one of
// targets()); 0 lets it pick the best again.
void force_target(int64_t target);

// The target the dispatch runs now: the forced one, or the best.
int64_t current_target();

// The target's name ("AVX2", "NEON", ...).
const char *target_name(int64_t target);

}  // namespace lumox::simd
