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
        // Removed: below the threshold, and off before or below the lower threshold now.
        auto remove = hn::Lt(a, on_at);
        if constexpr (kHysteresis) {
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
            // AVX-512 reads and writes the 32 decision bytes straight from and into a mask
            // register; widening them to 16-bit lanes and packing them back, as below, made the
            // filter a quarter slower than the earlier hand-written kernel.
            const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(mask + i));
            const hn::Mask<decltype(d)> was_off{_mm256_testn_epi8_mask(bytes, bytes)};
            remove = hn::And(remove, hn::Or(was_off, hn::Lt(a, off_below)));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(mask + i),
                                _mm256_mask_set1_epi8(_mm256_set1_epi8(1), remove.raw, 0));
#else
            const auto was_off = hn::Eq(hn::PromoteTo(d, hn::LoadU(d8, mask + i)), hn::Zero(d));
            remove = hn::And(remove, hn::Or(was_off, hn::Lt(a, off_below)));
            const hn::RebindToSigned<decltype(d)> di;
            hn::StoreU(hn::DemoteTo(d8, hn::BitCast(di, hn::IfThenZeroElse(remove, hn::Set(d, 1)))),
                       d8, mask + i);
#endif
        }
        hn::StoreU(hn::IfThenElse(remove, gone, hn::LoadU(d, dist + i)), d, dist + i);
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
