// ROS names from arbitrary text, and the messages' fields from decoded frames.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "ros2/messages.h"
#include "ros2/names.h"

namespace ros2 = lumox::ros2;

TEST(RosNames, SerialsAndNamespacesBecomeValidRosNames) {
    EXPECT_EQ(ros2::ros_namespace("/lumox/VC00001"), "/lumox/VC00001");
    EXPECT_EQ(ros2::ros_namespace("lumox/SN-12.3 x"), "/lumox/SN_12_3_x");
    EXPECT_EQ(ros2::ros_namespace("/lumox/0042"), "/lumox/_0042");  // no token starts with a digit
    EXPECT_EQ(ros2::ros_namespace("//a///b/"), "/a/b");
    EXPECT_EQ(ros2::ros_namespace(""), "/");
    EXPECT_EQ(ros2::ros_topic("/a/b", "depth/image_raw"), "/a/b/depth/image_raw");
    EXPECT_EQ(ros2::ros_topic("/", "points"), "/points");
    EXPECT_EQ(ros2::dds_topic("/a/points"), "rt/a/points");
    EXPECT_EQ(ros2::frame_id("/lumox/A1", "_optical_frame"), "lumox_A1_optical_frame");
}

TEST(Messages, DepthImageMarksPixelsWithoutDistanceAsRep118Says) {
    // 1.2345 m, the three no-distance codes, 0, negative, 60 m and beyond, NaN.
    const float m[8] = {1.2345f, 65.3f, 65.4f, 65.5f, 0.0f, -1.0f, 60.0f, NAN};
    ros2::ImageMessage img;
    img.fill_depth({1700000000123456789, "f"}, m, 4, 2, ros2::DepthEncoding::kMillimetres16);
    const auto *s = img.sample();
    EXPECT_STREQ(s->encoding, "16UC1");
    EXPECT_EQ(s->step, 8u);
    ASSERT_EQ(s->data._length, 16u);
    uint16_t mm[8];
    std::memcpy(mm, s->data._buffer, 16);
    EXPECT_EQ(mm[0], 1235);  // rounded to the millimetre
    for (int i = 1; i < 8; ++i) EXPECT_EQ(mm[i], 0) << i;
    EXPECT_EQ(s->header.stamp.sec, 1700000000);
    EXPECT_EQ(s->header.stamp.nanosec, 123456789u);
    EXPECT_STREQ(s->header.frame_id, "f");

    img.fill_depth({-1, "f"}, m, 4, 2, ros2::DepthEncoding::kMetres32);
    EXPECT_EQ(s->header.stamp.sec, -1);  // nanosec stays in [0, 1e9)
    EXPECT_EQ(s->header.stamp.nanosec, 999999999u);
    EXPECT_STREQ(s->encoding, "32FC1");
    EXPECT_EQ(s->step, 16u);
    float f[8];
    ASSERT_EQ(s->data._length, 32u);
    std::memcpy(f, s->data._buffer, 32);
    EXPECT_EQ(f[0], 1.2345f);
    for (int i = 1; i < 8; ++i) EXPECT_TRUE(std::isnan(f[i])) << i;
}

TEST(Messages, AmplitudeRoundsAndClamps) {
    const float a[4] = {12.5f, -3.0f, 70000.0f, NAN};
    ros2::ImageMessage img;
    img.fill_amplitude({0, "f"}, a, 2, 2);
    uint16_t v[4];
    std::memcpy(v, img.sample()->data._buffer, 8);
    EXPECT_EQ(v[0], 13);
    EXPECT_EQ(v[1], 0);
    EXPECT_EQ(v[2], 65535);
    EXPECT_EQ(v[3], 0);
}

TEST(Messages, ImagesRoundLikeLroundAtEveryHalfAndWhole) {
    // Around each k and k + 1/2 up to the top: the floats just below, at and just above.
    std::vector<float> amplitude;
    for (int k = 0; k < 65535; ++k) {
        for (const float at : {static_cast<float>(k), k + 0.5f}) {
            amplitude.push_back(std::nextafter(at, 0.0f));
            amplitude.push_back(at);
            amplitude.push_back(std::nextafter(at, 70000.0f));
        }
    }
    const auto n = static_cast<uint32_t>(amplitude.size());
    ros2::ImageMessage img;
    img.fill_amplitude({0, "f"}, amplitude.data(), n, 1);
    std::vector<uint16_t> got(n);
    std::memcpy(got.data(), img.sample()->data._buffer, 2 * size_t{n});
    std::vector<float> metres(n);
    for (uint32_t i = 0; i < n; ++i) metres[i] = amplitude[i] / 1000.0f;
    img.fill_depth({0, "f"}, metres.data(), n, 1, ros2::DepthEncoding::kMillimetres16);
    std::vector<uint16_t> mm(n);
    std::memcpy(mm.data(), img.sample()->data._buffer, 2 * size_t{n});
    for (uint32_t i = 0; i < n; ++i) {
        ASSERT_EQ(got[i], std::lround(amplitude[i])) << amplitude[i];
        const float m = metres[i];
        const long want = m > 0.0f && m < 60.0f ? std::lround(m * 1000.0f) : 0;
        ASSERT_EQ(mm[i], want) << m;
    }
}

TEST(Messages, CameraInfoDescribesTheLensImageAndTheBinning) {
    ros2::CameraModel model;
    model.width = 160;
    model.height = 60;
    model.binning_x = 2;
    model.binning_y = 4;
    model.fx = 100;
    model.fy = 50;
    model.cx = 80.25;
    model.cy = 30.5;
    const double d[5] = {-0.1, 0.02, 0.001, -0.002, 0.003};
    std::memcpy(model.d, d, sizeof d);
    ros2::CameraInfoMessage info;
    info.fill({0, "f"}, model);
    const auto *s = info.sample();
    EXPECT_EQ(s->width, 320u);
    EXPECT_EQ(s->height, 240u);
    EXPECT_EQ(s->binning_x, 2u);
    EXPECT_EQ(s->binning_y, 4u);
    const double k[9] = {200, 0, 160.5, 0, 200, 122, 0, 0, 1};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(s->k[i], k[i]) << i;
    const double p[12] = {200, 0, 160.5, 0, 0, 200, 122, 0, 0, 0, 1, 0};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(s->p[i], p[i]) << i;
    ASSERT_EQ(s->d._length, 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(s->d._buffer[i], d[i]);
    EXPECT_STREQ(s->distortion_model, "plumb_bob");
}

TEST(Messages, PointCloudOrganisedKeepsEveryPixelDenseOnlyThePoints) {
    const float xyz[9] = {1, 2, 3, NAN, NAN, NAN, 4, 5, 6};
    const float amp[3] = {10, 20, 30};
    ros2::PointCloudMessage cloud;
    cloud.fill({0, "f"}, xyz, amp, 3, 1, ros2::PointLayout::kOrganized);
    const auto *s = cloud.sample();
    EXPECT_EQ(s->width, 3u);
    EXPECT_EQ(s->height, 1u);
    EXPECT_FALSE(s->is_dense);
    ASSERT_EQ(s->data._length, 48u);
    float v[12];
    std::memcpy(v, s->data._buffer, 48);
    EXPECT_EQ(v[3], 10.0f);
    EXPECT_TRUE(std::isnan(v[4]));
    EXPECT_EQ(v[7], 20.0f);

    cloud.fill({0, "f"}, xyz, amp, 3, 1, ros2::PointLayout::kDense);
    EXPECT_EQ(s->width, 2u);
    EXPECT_EQ(s->row_step, 32u);
    EXPECT_TRUE(s->is_dense);
    ASSERT_EQ(s->data._length, 32u);
    std::memcpy(v, s->data._buffer, 32);
    const float want[8] = {1, 2, 3, 10, 4, 5, 6, 30};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(v[i], want[i]) << i;
}
