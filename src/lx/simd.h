// The one run-time choice of instruction set for every vector kernel, and the portable vector
// types of the kernels not yet written over Highway.
//
// Highway (hwy/highway.h) compiles each kernel once per target (EMU128, SSE4, AVX2, AVX-512 on
// x86-64; NEON and SVE on arm64) and its dispatch picks the best one the processor runs. The
// kernels still written with GCC vector types and intrinsics ask best_isa(), which reports the
// target that same dispatch chose, so that one switch (force_target, limit_isa) steers them all.
// Every target gives the results of the plain per-pixel code exactly; only the speed differs.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__GNUC__) && !defined(__clang__)
// The helpers are always inlined, so the by-value ABI of 32-byte vectors never matters.
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

#if defined(__x86_64__) && defined(__GNUC__)
#define LUMOX_HAVE_WIDE_TARGET 1
#define LUMOX_TARGET_WIDE [[gnu::target("avx2")]]
#else
#define LUMOX_HAVE_WIDE_TARGET 0
#define LUMOX_TARGET_WIDE
#endif

#define LUMOX_INLINE __attribute__((always_inline)) inline

namespace lumox::simd {

constexpr int kLanes = 16;  // pixels per vector step

typedef int16_t I16 __attribute__((vector_size(kLanes * sizeof(int16_t))));

// One 128-bit register of the baseline: streaming loops whose speed the memory sets use these,
// so that masks from comparisons stay in vector registers without the wide instruction set.
typedef int16_t I16x8 __attribute__((vector_size(8 * sizeof(int16_t))));
typedef uint8_t U8x8 __attribute__((vector_size(8 * sizeof(uint8_t))));

// 32-bit lanes, one 256-bit register each (wider vectors would be split by the compiler, some of
// their operations into single elements).
typedef int32_t I32h __attribute__((vector_size(kLanes / 2 * sizeof(int32_t))));
typedef uint32_t U32h __attribute__((vector_size(kLanes / 2 * sizeof(uint32_t))));
typedef float F32h __attribute__((vector_size(kLanes / 2 * sizeof(float))));
typedef uint16_t U16h __attribute__((vector_size(kLanes / 2 * sizeof(uint16_t))));

template <typename V, typename T>
LUMOX_INLINE V load(const T *p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T, typename V>
LUMOX_INLINE void store(T *p, V v) {
    std::memcpy(p, &v, sizeof v);
}

// Instruction sets, in order, of the intrinsic kernels that come in more than two variants:
// plain C++, then SSE4.1, AVX2 and AVX-512 (F, BW, DQ, VL) on x86-64.
enum class Isa : int { kScalar = 0, kSse41 = 1, kAvx2 = 2, kAvx512 = 3 };

// The instruction set of the Highway target the dispatch runs now (kScalar for EMU128 and on
// other architectures).
Isa best_isa();

// Tests run every kernel on every path: forces the best target the processor runs at or below
// limit (kAvx512 lifts the limit).
void limit_isa(Isa limit);

// The Highway targets (HWY_AVX3, HWY_AVX2, ...) that the library was compiled for and this
// processor runs, best first, whatever target is forced now.
std::vector<int64_t> targets();

// Tests run every kernel on every target: from now on the dispatch runs `target` (one of
// targets()); 0 lets it pick the best again.
void force_target(int64_t target);

// The target's name ("AVX2", "NEON", ...).
const char *target_name(int64_t target);

// True when the wide variant of the two-variant kernels may run: best_isa() includes AVX2.
bool wide_vectors();

// Tests run every kernel on both paths; false forces the baseline (and at most SSE4.1 for the
// kernels with more variants), true lifts every limit.
void allow_wide_vectors(bool allow);

}  // namespace lumox::simd
