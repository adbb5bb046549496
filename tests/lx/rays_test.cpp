// Rays through a distorting lens: the inversion against the forward model, and points along them.

#include "lx/rays.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace lumox::test {
namespace {

// The sensor module's wide-angle lens at 320 x 240 (strong barrel distortion).
lx_lens_param wide_lens() {
    lx_lens_param lens{};
    lens.cx = 157.262;
    lens.cy = 122.083;
    lens.fx = 210.783;
    lens.fy = 204.817;
    const double k[5] = {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954};
    for (int i = 0; i < 5; ++i) lens.dcoeff[i] = k[i];
    lens.img_w = 320;
    lens.img_h = 240;
    return lens;
}

TEST(Rays, EveryPixelsRayMapsBackOntoThatPixel) {
    const lx_lens_param lens = wide_lens();
    const uint32_t w = 320, h = 240;
    std::vector<float> rays(3 * w * h);
    rays::compute(lens, w, h, rays.data());
    double worst_px = 0, worst_norm = 0;
    for (uint32_t r = 0; r < h; ++r) {
        for (uint32_t c = 0; c < w; ++c) {
            const float *ray = &rays[3 * (r * w + c)];
            worst_norm = std::max(worst_norm, std::fabs(std::hypot(ray[0], ray[1], ray[2]) - 1.0));
            // The ray's ideal point, distorted by the forward model, lands on the pixel.
            double xd, yd;
            rays::distort(lens.dcoeff, double(ray[0]) / ray[2], double(ray[1]) / ray[2], &xd, &yd);
            const double dc = xd * lens.fx + lens.cx - c, dr = yd * lens.fy + lens.cy - r;
            worst_px = std::max(worst_px, std::hypot(dc, dr));
        }
    }
    // Float rays: the only error left is the rounding of the ray to single precision.
    EXPECT_LT(worst_px, 1e-4) << "pixels";
    EXPECT_LT(worst_norm, 1e-6);
    // The corner is bent well outwards: a pinhole would put it at (c - cx) / fx.
    const float *corner = &rays[0];
    EXPECT_LT(corner[0] / corner[2], 1.2 * (0 - lens.cx) / lens.fx);
}

TEST(Rays, InversionIsExactInDoublePrecision) {
    const lx_lens_param lens = wide_lens();
    for (double xd : {-0.75, -0.3, 0.0, 0.41, 0.78}) {
        for (double yd : {-0.6, -0.1, 0.0, 0.58}) {
            double x, y, bx, by;
            rays::undistort(lens.dcoeff, xd, yd, &x, &y);
            rays::distort(lens.dcoeff, x, y, &bx, &by);
            EXPECT_NEAR(bx, xd, 1e-14) << xd << " " << yd;
            EXPECT_NEAR(by, yd, 1e-14) << xd << " " << yd;
        }
    }
}

TEST(Rays, PointsPackedOrOrganisedWithCodesLeftOut) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> rays{0, 0, 1, 0.6f, 0, 0.8f, 0, -0.6f, 0.8f, 0, 0, 1, 0, 0, 1};
    const std::vector<float> dist{2.0f, 65.5f, 5.0f, nan, 0.0f};
    std::vector<float> out(15, -1);
    ASSERT_EQ(rays::points(rays.data(), dist.data(), 5, false, out.data(), 5), 2u);
    EXPECT_EQ(out[2], 2.0f);
    EXPECT_FLOAT_EQ(out[4], -3.0f);
    EXPECT_FLOAT_EQ(out[5], 4.0f);
    EXPECT_EQ(out[6], -1);  // nothing past the packed points
    ASSERT_EQ(rays::points(rays.data(), dist.data(), 5, true, out.data(), 5), 5u);
    for (int i : {3, 4, 5, 9, 10, 11, 12, 13, 14}) EXPECT_TRUE(std::isnan(out[i])) << i;
    EXPECT_FLOAT_EQ(out[7], -3.0f);
}

}  // namespace
}  // namespace lumox::test
