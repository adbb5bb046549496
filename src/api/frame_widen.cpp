// 16-bit values to floats, a vector at a time, then the last few one by one.

#include "api/frame_widen.h"

#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "api/frame_widen.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumox::api::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void widen_lanes(unsigned char *out, const unsigned char *staging, uint64_t pixels, bool metres) {
    const hn::ScalableTag<float> df;
    const hn::Rebind<int32_t, decltype(df)> di;
    const hn::Rebind<uint16_t, decltype(df)> du16;
    const size_t lanes = hn::Lanes(df);
    const auto thousand = hn::Set(df, 1000.0f);
    uint64_t i = 0;
    for (; i + lanes <= pixels; i += lanes) {
        const auto v = hn::LoadU(du16, reinterpret_cast<const uint16_t *>(staging + 2 * i));
        auto f = hn::ConvertTo(df, hn::PromoteTo(di, v));
        if (metres) f = hn::Div(f, thousand);
        hn::StoreU(f, df, reinterpret_cast<float *>(out + 4 * i));
    }
    for (; i < pixels; ++i) {
        uint16_t v;
        std::memcpy(&v, staging + 2 * i, sizeof v);
        const float f = metres ? static_cast<float>(v) / 1000.0f : static_cast<float>(v);
        std::memcpy(out + 4 * i, &f, sizeof f);
    }
}

}  // namespace lumox::api::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumox::api {

HWY_EXPORT(widen_lanes);

void widen(unsigned char *out, const unsigned char *staging, uint64_t pixels, bool metres) {
    HWY_DYNAMIC_DISPATCH(widen_lanes)(out, staging, pixels, metres);
}

}  // namespace lumox::api
#endif  // HWY_ONCE
