// The range check a vector of distances at a time: unsigned 16-bit comparisons with the limits.

#include "drivers/range_lanes.h"

#include <algorithm>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "drivers/range_lanes.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumox::drivers::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

template <bool kAnyFar>
size_t check(uint16_t *dist, size_t n, uint16_t far, uint16_t removed) {
    const hn::ScalableTag<uint16_t> d;
    const size_t lanes = hn::Lanes(d);
    const auto near_below = hn::Set(d, 101);
    const auto far_from = hn::Set(d, far);
    const auto codes_above = hn::Set(d, 60000);
    const auto gone = hn::Set(d, removed);
    size_t i = 0;
    for (; i + lanes <= n; i += lanes) {
        const auto v = hn::LoadU(d, dist + i);
        auto out_of_range = hn::Lt(v, near_below);
        if constexpr (kAnyFar) out_of_range = hn::Or(out_of_range, hn::Not(hn::Lt(v, far_from)));
        const auto remove = hn::AndNot(hn::Gt(v, codes_above), out_of_range);
        hn::StoreU(hn::IfThenElse(remove, gone, v), d, dist + i);
    }
    return i;
}

size_t range_check(uint16_t *dist, size_t n, int32_t range, uint16_t removed) {
    // Every distance lies below a range past 65535; one at or below 0 takes them all.
    if (range > 65535) return check<false>(dist, n, 0, removed);
    return check<true>(dist, n, static_cast<uint16_t>(std::max(range, 0)), removed);
}

}  // namespace lumox::drivers::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumox::drivers {

HWY_EXPORT(range_check);

size_t range_lanes(uint16_t *dist, size_t n, int32_t range, uint16_t removed) {
    return HWY_DYNAMIC_DISPATCH(range_check)(dist, n, range, removed);
}

}  // namespace lumox::drivers
#endif  // HWY_ONCE
