// The camera model of an open device: intrinsics per frame size and points on the true rays.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "api/fake_transport.h"
#include "lumox/frame.h"

namespace lumox::test {
namespace {

class FramePoints : public FakeTransportTest {
  protected:
    void SetUp() override {
        FakeTransportTest::SetUp();
        ASSERT_NE(open_device(), nullptr);
    }
};

TEST_F(FramePoints, IntrinsicsScaleTheLensToTheFrameSize) {
    lumox_intrinsics full{}, half{};
    ASSERT_EQ(lumox_dev_get_intrinsics(&dev_, 320, 240, &full), 1);
    EXPECT_EQ(full.width, 320u);
    EXPECT_EQ(full.binning_x, 1u);
    EXPECT_EQ(full.binning_y, 1u);
    EXPECT_STREQ(full.distortion_model, "plumb_bob");
    EXPECT_DOUBLE_EQ(full.fx, 210.783);
    EXPECT_DOUBLE_EQ(full.cy, 122.083);
    EXPECT_DOUBLE_EQ(full.d[0], -0.378924);   // k1
    EXPECT_DOUBLE_EQ(full.d[4], -0.0133954);  // k3

    ASSERT_EQ(lumox_dev_get_intrinsics(&dev_, 160, 120, &half), 1);
    EXPECT_EQ(half.binning_x, 2u);
    EXPECT_EQ(half.height, 120u);
    EXPECT_DOUBLE_EQ(half.fx, full.fx / 2);
    EXPECT_DOUBLE_EQ(half.cx, full.cx / 2);
    EXPECT_EQ(std::memcmp(half.d, full.d, sizeof full.d), 0);

    lumox_intrinsics untouched{};
    untouched.width = 7;
    EXPECT_EQ(lumox_dev_get_intrinsics(&dev_, 100, 100, &untouched), 0);
    EXPECT_EQ(lumox_dev_get_intrinsics(&dev_, 640, 480, &untouched), 0);
    EXPECT_EQ(lumox_dev_get_intrinsics(nullptr, 320, 240, &untouched), 0);
    EXPECT_EQ(untouched.width, 7u);
}

TEST_F(FramePoints, AFlatWallComesOutFlatAtTheMeasuredDistances) {
    lumox_intrinsics in{};
    ASSERT_EQ(lumox_dev_get_intrinsics(&dev_, 320, 240, &in), 1);
    const uint32_t w = 320, h = 240, n = w * h;
    // Distances of a wall 2 m ahead along the library's rays (unit points at 1 m); the ray of
    // each is checked against the forward lens model below.
    std::vector<float> probe(n, 1.0f), unit(3 * n);
    ASSERT_EQ(lumox_frame_get_points(&dev_, unit.data(), 3 * n, probe.data(), n, w, h,
                                     LUMOX_POINTS_ORGANIZED),
              static_cast<int32_t>(n));
    std::vector<float> dist(n);
    for (uint32_t i = 0; i < n; ++i) dist[i] = 2.0f / unit[3 * i + 2];
    dist[5] = 65.5f;  // an invalid pixel
    std::vector<float> xyz(3 * n, -1);
    ASSERT_EQ(lumox_frame_get_points(&dev_, xyz.data(), 3 * n, dist.data(), n, w, h,
                                     LUMOX_POINTS_ORGANIZED),
              static_cast<int32_t>(n));
    EXPECT_TRUE(std::isnan(xyz[15]) && std::isnan(xyz[16]) && std::isnan(xyz[17]));
    double worst = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (i == 5) continue;
        worst = std::max(worst, std::fabs(xyz[3 * i + 2] - 2.0));
        ASSERT_NEAR(std::hypot(xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]), dist[i], 2e-6);
    }
    EXPECT_LT(worst, 1e-5);
    // The optical frame: x grows to the right, y down the image.
    EXPECT_LT(xyz[3 * (120 * w + 0)], 0);
    EXPECT_GT(xyz[3 * (120 * w + 319)], 0);
    EXPECT_LT(xyz[3 * (0 * w + 160) + 1], 0);
    EXPECT_GT(xyz[3 * (239 * w + 160) + 1], 0);
    // Each corner's ray, distorted by the lens model, lands on its pixel (independent of the
    // inversion): k1 alone dominates, so a pinhole would put it far inside.
    const double x = xyz[0] / xyz[2], y = xyz[1] / xyz[2];
    const double r2 = x * x + y * y;
    const double kr = 1 + r2 * (in.d[0] + r2 * (in.d[1] + r2 * in.d[4]));
    const double xd = x * kr + 2 * in.d[2] * x * y + in.d[3] * (r2 + 2 * x * x);
    EXPECT_NEAR(xd * in.fx + in.cx, 0.0, 1e-3);

    // Packed: the same points without the invalid pixel.
    std::vector<float> packed(3 * n, -1);
    ASSERT_EQ(lumox_frame_get_points(&dev_, packed.data(), 3 * n, dist.data(), n, w, h,
                                     LUMOX_POINTS_PACKED),
              static_cast<int32_t>(n - 1));
    EXPECT_EQ(packed[3 * 5], xyz[3 * 6]);
}

TEST_F(FramePoints, RefusesWhatItCannotFill) {
    const uint32_t w = 320, h = 240, n = w * h;
    std::vector<float> dist(n, 65.5f), xyz(3 * n);
    dist[0] = dist[1] = 1.0f;
    // Packed needs room for the points with a distance only; organised for every pixel.
    EXPECT_EQ(lumox_frame_get_points(&dev_, xyz.data(), 6, dist.data(), n, w, h, 0), 2);
    EXPECT_EQ(lumox_frame_get_points(&dev_, xyz.data(), 5, dist.data(), n, w, h, 0), -1);
    EXPECT_EQ(lumox_frame_get_points(&dev_, xyz.data(), 3 * n - 1, dist.data(), n, w, h, 1), -1);
    EXPECT_EQ(lumox_frame_get_points(&dev_, xyz.data(), 3 * n, dist.data(), n - 1, w, h, 1), -1);
    EXPECT_EQ(lumox_frame_get_points(&dev_, xyz.data(), 3 * n, dist.data(), n, w, h, 2), -1);
    EXPECT_EQ(lumox_frame_get_points(&dev_, xyz.data(), 3 * n, dist.data(), n, 100, 100, 1), -1);
    EXPECT_EQ(lumox_frame_get_points(nullptr, xyz.data(), 3 * n, dist.data(), n, w, h, 1), -1);
    // Another size after the first gets its own rays.
    EXPECT_EQ(lumox_frame_get_points(&dev_, xyz.data(), 3 * n, dist.data(), n, 160, 120, 0), 2);
}

}  // namespace
}  // namespace lumox::test
