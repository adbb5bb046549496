// The minimum-amplitude filter a vector of pixels at a time: unsigned 16-bit comparisons of the
// amplitudes with the two thresholds, the decisions kept as 0 or 1 per pixel between frames.

#include "drivers/minamp_lanes.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "drivers/minamp_lanes.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumox::drivers::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

template <bool kHysteresis>
uint32_t filter(uint16_t *dist, const uint16_t *amp, uint8_t *mask, uint32_t n, uint16_t thr,
                uint16_t hyst, uint16_t removed) {
    const hn::ScalableTag<uint16_t> d;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const auto lanes = static_cast<uint32_t>(hn::Lanes(d));
    const auto on_at = hn::Set(d, thr);
    const auto off_below = hn::Set(d, static_cast<uint16_t>(thr > hyst ? thr - hyst : 0));
    const auto gone = hn::Set(d, removed);
    uint32_t i = 0;
    for (; i + lanes <= n; i += lanes) {
        const auto a = hn::LoadU(d, amp + i);
        auto keep = hn::Not(hn::Lt(a, on_at));
        if constexpr (kHysteresis) {
            const auto was_on = hn::Ne(hn::PromoteTo(d, hn::LoadU(d8, mask + i)), hn::Zero(d));
            keep = hn::Or(keep, hn::AndNot(hn::Lt(a, off_below), was_on));
            const hn::RebindToSigned<decltype(d)> di;
            hn::StoreU(hn::DemoteTo(d8, hn::BitCast(di, hn::IfThenElseZero(keep, hn::Set(d, 1)))),
                       d8, mask + i);
        }
        hn::StoreU(hn::IfThenElse(keep, hn::LoadU(d, dist + i), gone), d, dist + i);
    }
    return i;
}

uint32_t minamp(uint16_t *dist, const uint16_t *amp, uint8_t *mask, uint32_t n, uint16_t thr,
                uint16_t hyst, bool hysteresis, uint16_t removed) {
    return hysteresis ? filter<true>(dist, amp, mask, n, thr, hyst, removed)
                      : filter<false>(dist, amp, mask, n, thr, hyst, removed);
}

}  // namespace lumox::drivers::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumox::drivers {

HWY_EXPORT(minamp);

uint32_t minamp_lanes(uint16_t *dist, const uint16_t *amp, uint8_t *mask, uint32_t n, uint16_t thr,
                      uint16_t hyst, bool hysteresis, uint16_t removed) {
    return HWY_DYNAMIC_DISPATCH(minamp)(dist, amp, mask, n, thr, hyst, hysteresis, removed);
}

}  // namespace lumox::drivers
#endif  // HWY_ONCE
