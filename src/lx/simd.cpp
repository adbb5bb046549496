// Run-time choice of the vector width of the image kernels.

#include "lx/simd.h"

#include <atomic>

namespace lumox::simd {

namespace {

std::atomic<bool> g_allowed{true};

bool processor_has_wide() {
#if LUMOX_HAVE_WIDE_TARGET
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

}  // namespace

bool wide_vectors() {
    static const bool has_wide = processor_has_wide();
    return has_wide && g_allowed.load(std::memory_order_relaxed);
}

void allow_wide_vectors(bool allow) { g_allowed.store(allow, std::memory_order_relaxed); }

}  // namespace lumox::simd
