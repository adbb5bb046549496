// The lanes the Highway kernels share: pixels in the 32-bit lanes of a whole vector, and where
// their arithmetic needs double precision, the lower and upper half of them in a vector of
// doubles each; with the helpers more than one kernel uses. Included by a kernel file after
// highway.h, once per target (foreach_target.h toggles HWY_TARGET_TOGGLE, and the guard follows
// it); the plain target has none.
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
using MI = hn::Mask<DI>;

// a >= b and a <= b of signed lanes (Highway compares integers only with <, > and ==).
template <class V>
HWY_INLINE auto at_least(V a, V b) {
    return hn::Not(hn::Lt(a, b));
}
template <class V>
HWY_INLINE auto at_most(V a, V b) {
    return hn::Not(hn::Gt(a, b));
}

// 16-bit words from p, one a 32-bit lane of d.
template <class D32>
HWY_INLINE hn::Vec<D32> load_u16(D32 d, const uint16_t *p) {
    return hn::PromoteTo(d, hn::LoadU(hn::Rebind<uint16_t, D32>(), p));
}

// The low 16 bits of each 32-bit lane of d.
template <class D32>
HWY_INLINE void store_u16(D32 d, uint16_t *p, hn::Vec<D32> v) {
    const hn::Rebind<uint16_t, D32> d16;
    hn::StoreU(hn::DemoteTo(d16, hn::And(v, hn::Set(d, 0xFFFF))), d16, p);
}

// The angle of the vector (x, y) by octants, as the arctangent tables are read: turns (x, y) into
// the first half-quadrant (0 <= y < x) and returns the eighths of a turn it turned it by; the
// table index is then the quotient (y << 12) / x. On the x axis (y = 0) the angle needs no table:
// y becomes 0, x 1 and the eighths 0 or 4 by the sign of x.
HWY_INLINE VI fold_octant(VI &x, VI &y) {
    const DI d;
    const VI zero = hn::Zero(d);
    const VI dx = x;
    const VI dy = y;
    const MI below = hn::Lt(dy, zero);
    y = hn::IfThenElse(below, hn::Neg(dy), dy);
    x = hn::IfThenElse(below, hn::Neg(dx), dx);
    VI eighths = hn::IfThenElseZero(below, hn::Set(d, 4));
    const MI quarter = at_most(x, zero);
    const VI turned_y = hn::IfThenElse(quarter, hn::Neg(x), y);
    x = hn::IfThenElse(quarter, y, x);
    y = turned_y;
    eighths = hn::Add(eighths, hn::IfThenElseZero(quarter, hn::Set(d, 2)));
    const MI eighth = at_least(y, x);
    eighths = hn::Add(eighths, hn::IfThenElseZero(eighth, hn::Set(d, 1)));
    const VI folded_y = hn::IfThenElse(eighth, hn::Sub(y, x), y);
    x = hn::IfThenElse(eighth, hn::Add(x, y), x);
    y = folded_y;
    const MI on_axis = hn::Eq(dy, zero);
    y = hn::IfThenZeroElse(on_axis, y);
    x = hn::IfThenElse(on_axis, hn::Set(d, 1), x);
    return hn::IfThenElse(on_axis, hn::IfThenElseZero(hn::Lt(dx, zero), hn::Set(d, 4)), eighths);
}

}  // namespace lumox::lanes::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();
#endif  // HWY_TARGET != HWY_SCALAR

#endif  // LUMOX_LX_LANES_INL_H_
