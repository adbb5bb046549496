// The lane types the Highway kernels share: pixels in the 32-bit lanes of a whole vector, and
// where their arithmetic needs double precision, the lower and upper half of them in a vector of
// doubles each. Included by a kernel file after highway.h, once per target (foreach_target.h
// toggles HWY_TARGET_TOGGLE, and the guard follows it); the plain target has none.
#if defined(LUMOX_LX_LANES_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LUMOX_LX_LANES_INL_H_
#undef LUMOX_LX_LANES_INL_H_
#else
#define LUMOX_LX_LANES_INL_H_
#endif

#include <hwy/highway.h>

#if HWY_TARGET != HWY_SCALAR
HWY_BEFORE_NAMESPACE();
namespace lumox::lanes::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DI = hn::ScalableTag<int32_t>;
using DU = hn::RebindToUnsigned<DI>;
using DF = hn::RebindToFloat<DI>;
using DH = hn::Half<DI>;
using DD = hn::Repartition<double, DI>;
using DU16 = hn::Rebind<uint16_t, DI>;
using VI = hn::Vec<DI>;
using VU = hn::Vec<DU>;
using VD = hn::Vec<DD>;

}  // namespace lumox::lanes::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();
#endif  // HWY_TARGET != HWY_SCALAR

#endif  // LUMOX_LX_LANES_INL_H_
