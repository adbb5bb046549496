// Lens undistortion maps: internal steps exposed for tests.
#pragma once

#include "lumox/image.h"

namespace lumox {

struct LensRect {
    float x = 0;
    float y = 0;
    float width = 0;
    float height = 0;
};

// Undistorts a 9 x 9 grid of points spread over the w x h image (camera matrix a, coefficients
// k1 k2 p1 p2 k3), projects them with p (identity when null) and returns the rectangle inside all
// of them (inner) and the bounding box of them all (outer).
void lens_undistort_rects(const double a[9], const double coeff[5], const double *p, int32_t w,
                          int32_t h, LensRect &inner, LensRect &outer);

}  // namespace lumox
