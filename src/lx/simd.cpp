// Run-time choice of the instruction set of the image and decode kernels: Highway's dispatch,
// steered for tests and benchmarks.

#include "lx/simd.h"

#include <atomic>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lx/simd.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumox::simd::HWY_NAMESPACE {

int64_t dispatched_target() { return HWY_TARGET; }

}  // namespace lumox::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumox::simd {

HWY_EXPORT(dispatched_target);

namespace {
std::atomic<int64_t> g_forced{0};
}  // namespace

std::vector<int64_t> targets() {
    std::vector<int64_t> out;
    hwy::SetSupportedTargetsForTest(0);
    for (int64_t t : hwy::SupportedAndGeneratedTargets()) out.push_back(t);
    hwy::SetSupportedTargetsForTest(g_forced.load());
    return out;
}

void force_target(int64_t target) {
    g_forced.store(target);
    hwy::SetSupportedTargetsForTest(target);
}

int64_t current_target() { return HWY_DYNAMIC_DISPATCH(dispatched_target)(); }

const char *target_name(int64_t target) { return hwy::TargetName(target); }

void limit_isa(Isa limit) {
    if (limit >= Isa::kAvx512) {
        force_target(0);
        return;
    }
    for (int64_t t : targets()) {
        if (t == HWY_AVX2 && limit < Isa::kAvx2) continue;
        if ((t == HWY_SSE4 || t == HWY_SSSE3) && limit < Isa::kSse41) continue;
        if ((t & (HWY_AVX3 | HWY_AVX3_DL)) != 0) continue;
        force_target(t);
        return;
    }
}

}  // namespace lumox::simd
#endif  // HWY_ONCE
