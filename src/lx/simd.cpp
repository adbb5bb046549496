// Run-time choice of the instruction set of the image and decode kernels.

#include "lx/simd.h"

#include <atomic>

namespace lumox::simd {

namespace {

std::atomic<int> g_limit{static_cast<int>(Isa::kAvx512)};

Isa processor_isa() {
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl")) {
        return Isa::kAvx512;
    }
    if (__builtin_cpu_supports("avx2")) return Isa::kAvx2;
    if (__builtin_cpu_supports("sse4.1")) return Isa::kSse41;
#endif
    return Isa::kScalar;
}

}  // namespace

Isa best_isa() {
    static const Isa processor = processor_isa();
    const int limit = g_limit.load(std::memory_order_relaxed);
    return static_cast<int>(processor) < limit ? processor : static_cast<Isa>(limit);
}

void limit_isa(Isa limit) { g_limit.store(static_cast<int>(limit), std::memory_order_relaxed); }

bool wide_vectors() { return LUMOX_HAVE_WIDE_TARGET && best_isa() >= Isa::kAvx2; }

void allow_wide_vectors(bool allow) { limit_isa(allow ? Isa::kAvx512 : Isa::kSse41); }

}  // namespace lumox::simd
