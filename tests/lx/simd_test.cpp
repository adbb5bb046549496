#include "lx/simd.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <hwy/targets.h>

#include "support/targets.h"

namespace lumox::test {
namespace {

// Forcing a target in a test steers the one dispatch every kernel of the library goes through.
TEST(SimdDispatch, ForcedTargetIsWhatTheDispatchRuns) {
    const std::vector<int64_t> targets = vector_targets();
    ASSERT_FALSE(targets.empty());
#if defined(__x86_64__)
    EXPECT_GE(targets.size(), 2u) << "a vector target and the plain one";
#endif
    const int64_t best = simd::current_target();
    EXPECT_EQ(best, targets.front());
    for (const int64_t target : targets) {
        ForcedTarget forced(target);
        const std::string name = simd::target_name(target);
        EXPECT_EQ(simd::current_target(), target) << name;
        // Asking for the list does not lift the forced target.
        EXPECT_EQ(vector_targets(), targets);
        EXPECT_EQ(simd::current_target(), target) << name;
    }
    EXPECT_EQ(simd::current_target(), best);
}

#if defined(__x86_64__)
// The benchmarks' instruction-set levels pick the best target at or below them.
TEST(SimdDispatch, LimitsPickTheBestTargetAtOrBelowThem) {
    const std::vector<int64_t> targets = vector_targets();
    const auto has = [&](int64_t t) {
        for (const int64_t have : targets)
            if (have == t) return true;
        return false;
    };
    simd::limit_isa(simd::Isa::kScalar);
    EXPECT_EQ(simd::current_target(), targets.back()) << "the plain target comes last";
    if (has(HWY_SSE4)) {
        simd::limit_isa(simd::Isa::kSse41);
        EXPECT_EQ(simd::current_target(), HWY_SSE4);
    }
    if (has(HWY_AVX2)) {
        simd::limit_isa(simd::Isa::kAvx2);
        EXPECT_EQ(simd::current_target(), HWY_AVX2);
    }
    simd::limit_isa(simd::Isa::kAvx512);
    EXPECT_EQ(simd::current_target(), targets.front());
}
#endif

}  // namespace
}  // namespace lumox::test
