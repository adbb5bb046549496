// A frame captured from a virtual camera decodes through the EPC driver into images in image row
// order, and projects into a point cloud.

#include <cmath>
#include <vector>

#include "lumox/lumox.h"
#include "support/vcam_fixture.h"

namespace lumox::test {
namespace {

constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;
constexpr uint32_t kPixels = kWidth * kHeight;
constexpr uint32_t kFrameBytes = 8 * kPixels;

// Amplitude of read-out row r: the rows reach the host in the sensor's centre-out order.
uint16_t row_amplitude(uint32_t r) { return static_cast<uint16_t>(200 + r); }

// Every pixel at the same phase, with its read-out row's amplitude.
void render_rows(uint32_t, std::span<uint8_t> frame) {
    for (uint32_t i = 0; i < kPixels && 8 * kPixels <= frame.size(); ++i) {
        const uint16_t a = row_amplitude(i / kWidth);
        const uint16_t dcs[4] = {2048, 2048, static_cast<uint16_t>(2048 + 2 * a), 2048};
        for (uint32_t k = 0; k < 4; ++k) {
            frame[2 * (k * kPixels + i)] = static_cast<uint8_t>(dcs[k]);
            frame[2 * (k * kPixels + i) + 1] = static_cast<uint8_t>(dcs[k] >> 8);
        }
    }
}

class FrameDecode : public VcamTest {
  protected:
    void SetUp() override {
        VcamTest::SetUp();
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_ERR, nullptr);
        camera().set_renderer(render_rows);
        lumox_dev_t list[2];
        ASSERT_EQ(lumox_dev_list(list, 2), 1);
        dev_ = list[0];
        ASSERT_EQ(lumox_dev_open(&dev_), &dev_);
        ASSERT_TRUE(lumox_cap_set_frame_buffer(&dev_, nullptr, 4 * LUMOX_FRAME_BUF_UNIT));
    }
    void TearDown() override {
        lumox_dev_close(&dev_);
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_WRN, nullptr);
        VcamTest::TearDown();
    }
    lumox_dev_t dev_{};
};

TEST_F(FrameDecode, CapturedFrameBecomesImagesAndPoints) {
    std::vector<uint8_t> raw(kFrameBytes);
    lumox_frame_info info{};
    ASSERT_TRUE(lumox_cap_snapshot(&dev_, raw.data(), kFrameBytes, &info));
    ASSERT_EQ(info.width, kWidth);
    ASSERT_EQ(info.height, kHeight);
    ASSERT_EQ(info.frame_size, kFrameBytes);

    std::vector<float> gray(kPixels);
    ASSERT_EQ(lumox_frame_get_gray(&dev_, gray.data(), kPixels, raw.data(), kFrameBytes, &info),
              static_cast<int32_t>(kPixels));
    // Image row h/2 - 1 - m is read-out row 2m, image row h/2 + m read-out row 2m + 1.
    for (uint32_t m = 0; m < kHeight / 2; ++m) {
        EXPECT_EQ(gray[(kHeight / 2 - 1 - m) * kWidth], row_amplitude(2 * m)) << m;
        EXPECT_EQ(gray[(kHeight / 2 + m) * kWidth + kWidth - 1], row_amplitude(2 * m + 1)) << m;
    }

    std::vector<float> dist(kPixels);
    ASSERT_EQ(lumox_frame_get_distance(&dev_, dist.data(), kPixels, raw.data(), kFrameBytes, &info),
              static_cast<int32_t>(kPixels));
    // One phase everywhere: one distance everywhere, inside the measuring range.
    EXPECT_GT(dist[0], 0.1f);
    EXPECT_LT(dist[0], 60.0f);
    for (uint32_t i = 0; i < kPixels; ++i) ASSERT_EQ(dist[i], dist[0]) << i;

    std::vector<float> points(3 * kPixels);
    ASSERT_EQ(lumox_frame_get_pcl(&dev_, points.data(), 3 * kPixels, dist.data(), kPixels, kWidth,
                                  kHeight, nullptr),
              static_cast<int32_t>(kPixels));
    for (uint32_t i = 0; i < kPixels; i += 997) {
        const float *p = &points[3 * i];
        EXPECT_NEAR(std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]), dist[0], 1e-4) << i;
    }
}

}  // namespace
}  // namespace lumox::test
