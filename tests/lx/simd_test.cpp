#include "lx/simd.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/targets.h"

namespace lumox::test {
namespace {

// The intrinsic kernels follow the target Highway's dispatch runs, so that forcing a target in a
// test steers every kernel of the library at once.
TEST(SimdDispatch, ForcedTargetIsWhatTheIntrinsicKernelsRun) {
    const std::vector<int64_t> targets = vector_targets();
    ASSERT_FALSE(targets.empty());
#if defined(__x86_64__)
    EXPECT_GE(targets.size(), 2u) << "a vector target and the plain one";
#endif
    for (const int64_t target : targets) {
        ForcedTarget forced(target);
        const std::string name = simd::target_name(target);
        simd::Isa expected = simd::Isa::kScalar;
        if (name == "AVX3" || name == "AVX3_DL") expected = simd::Isa::kAvx512;
        if (name == "AVX2") expected = simd::Isa::kAvx2;
        if (name == "SSE4") expected = simd::Isa::kSse41;
        EXPECT_EQ(simd::best_isa(), expected) << name;
        // Asking for the list does not lift the forced target.
        EXPECT_EQ(vector_targets(), targets);
        EXPECT_EQ(simd::best_isa(), expected) << name;
    }
    // Limits pick the best target at or below them.
    simd::limit_isa(simd::Isa::kScalar);
    EXPECT_EQ(simd::best_isa(), simd::Isa::kScalar);
    simd::limit_isa(simd::Isa::kAvx512);
    ForcedTarget best(targets.front());
    const simd::Isa top = simd::best_isa();
    simd::force_target(0);
    EXPECT_EQ(simd::best_isa(), top);
}

}  // namespace
}  // namespace lumox::test
