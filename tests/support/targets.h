// Runs kernels on every vector target: the exactness tests compare each target's results with the
// plain per-pixel code.
#ifndef LUMOX_TESTS_SUPPORT_TARGETS_H
#define LUMOX_TESTS_SUPPORT_TARGETS_H

#include <cstdint>
#include <vector>

#include "lx/simd.h"

namespace lumox::test {

// Every Highway target the library was compiled for and this processor runs, best first.
inline std::vector<int64_t> vector_targets() { return simd::targets(); }

// While alive, the dispatch runs one target; then it picks the best again.
class ForcedTarget {
  public:
    explicit ForcedTarget(int64_t target) { simd::force_target(target); }
    ~ForcedTarget() { simd::force_target(0); }
    ForcedTarget(const ForcedTarget &) = delete;
    ForcedTarget &operator=(const ForcedTarget &) = delete;
};

}  // namespace lumox::test

#endif  // LUMOX_TESTS_SUPPORT_TARGETS_H
