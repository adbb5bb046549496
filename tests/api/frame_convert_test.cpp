// Frame conversion calls: distance and gray images through the EPC driver of an open device,
// point clouds and colour images.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "api/device_state.h"
#include "api/fake_transport.h"
#include "api/lifecycle.h"
#include "drivers/epc_test_frames.h"
#include "lumox/evk.h"
#include "lumox/frame.h"
#include "lumox/log.h"

namespace lumox::test {
namespace {

class FrameConvert : public FakeTransportTest {
  protected:
    void SetUp() override {
        FakeTransportTest::SetUp();
        ASSERT_NE(open_device(), nullptr);
        ctx_ = epc_context(lumox_dev_get_drv(&dev_));
        ASSERT_NE(ctx_, nullptr);
        ctx_->dfilter_en = 0;
        ctx_->temp_mon_en = 0;
        ctx_->scale = 1000;
        ctx_->offset_mm = -3400;
        ctx_->t_sensor_cal = ctx_->t_ib_cal = 0;
        drivers::epc_set_range(*ctx_, 12000);
    }
    epc_ctx *ctx_ = nullptr;
};

TEST_F(FrameConvert, DistanceInMetresWithInvalidCodes) {
    const auto raw = raw_frame(4, 4, [](uint32_t i) -> Dcs {
        return i == 5 ? Dcs{4095, 2048, 2048, 2048} : kMidPixel;
    });
    const lumox_frame_info info = frame_info(4, 4);
    std::vector<float> dst(16, -1);
    ASSERT_EQ(lumox_frame_get_distance(&dev_, dst.data(), 16, raw.data(), 128, &info), 16);
    // Read-out pixel 5 (row 1) is image row 2.
    for (int i = 0; i < 16; ++i) EXPECT_EQ(dst[i], i == 9 ? 65.5f : 2.845f) << i;

    ASSERT_EQ(lumox_frame_get_gray(&dev_, dst.data(), 16, raw.data(), 128, &info), 16);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(dst[i], i == 9 ? 0.0f : 500.0f) << i;
}

TEST_F(FrameConvert, OddDestinationLengthStagesSafely) {
    const auto raw = flat_frame(4, 4, kMidPixel);
    const lumox_frame_info info = frame_info(4, 4);
    std::vector<float> dst(17, -1);
    ASSERT_EQ(lumox_frame_get_distance(&dev_, dst.data(), 17, raw.data(), 128, &info), 16);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(dst[i], 2.845f) << i;
}

TEST_F(FrameConvert, RefusesShortBuffersAndData) {
    const auto raw = flat_frame(4, 4, kMidPixel);
    const lumox_frame_info info = frame_info(4, 4);
    std::vector<float> dst(16, -1);
    EXPECT_EQ(lumox_frame_get_distance(&dev_, dst.data(), 15, raw.data(), 128, &info), 0);
    EXPECT_EQ(dst[0], -1);
    EXPECT_EQ(lumox_frame_get_distance(&dev_, dst.data(), 16, raw.data(), 127, &info), 0);
    EXPECT_EQ(lumox_frame_get_distance(&dev_, dst.data(), 16, nullptr, 128, &info), 0);
    EXPECT_EQ(lumox_frame_get_gray(nullptr, dst.data(), 16, raw.data(), 128, &info), 0);
    const lumox_frame_info calib = frame_info(4, 4, 171);
    EXPECT_EQ(lumox_frame_get_gray(&dev_, dst.data(), 16, raw.data(), 128, &calib), 0);
    EXPECT_FALSE(api::is_busy(&dev_));
}

TEST_F(FrameConvert, DistanceAndGrayFromOneDecodeEqualTheTwoConversions) {
    // A full frame of random samples (saturated and empty ones among them), through the linear
    // formula and the DRNU table, with and without HDR rows and undistortion, with the default
    // features (filter chain, minimum amplitude).
    constexpr uint32_t w = 320, h = 240, n = w * h;
    std::mt19937 rng(17);
    const auto raw = raw_frame(w, h, [&](uint32_t) {
        Dcs d;
        for (auto &v : d) {
            const uint32_t r = rng();
            v = static_cast<uint16_t>(r % 41 == 0 ? 4095 : r % 43 == 0 ? 0 : r % 4096);
        }
        return d;
    });
    const lumox_frame_info info = frame_info(w, h);
    const int saved_k = calibrateGetNumDistances();
    calibrateSetNumDistances(4);
    for (uint32_t i = 0; i < n; ++i) {
        const uint16_t row[4] = {static_cast<uint16_t>(9000 + i % 500), 12000,
                                 static_cast<uint16_t>(15000 + i % 7000), 27000};
        std::copy(std::begin(row), std::end(row), distImagesDRNU[1] + 4 * i);
    }
    lx_lens_param lens{};
    lens.cx = 161;
    lens.cy = 118;
    lens.fx = lens.fy = 200;
    lens.dcoeff[0] = -0.2;
    lens.img_w = w;
    lens.img_h = h;
    lx_calib_len_uninit_map(&ctx_->undist_map);  // the one the open made
    ASSERT_EQ(lx_calib_len_init_map(&ctx_->undist_map, &lens), static_cast<int32_t>(n));
    ctx_->dfilter_en = 1;
    for (const uint8_t drnu : {0, 1}) {
        for (const uint8_t hdr : {0, 1}) {
            for (const uint8_t undistort : {0, 1}) {
                ctx_->drnu_en = drnu;
                ctx_->hdr_en = hdr;
                ctx_->undist_en = undistort;
                std::vector<float> dist(n), gray(n), both_dist(n + 3, -1), both_gray(n + 3, -1);
                ASSERT_EQ(lumox_frame_get_distance(&dev_, dist.data(), n, raw.data(), 8 * n, &info),
                          static_cast<int32_t>(n));
                ASSERT_EQ(lumox_frame_get_gray(&dev_, gray.data(), n, raw.data(), 8 * n, &info),
                          static_cast<int32_t>(n));
                ASSERT_EQ(lumox_frame_get_distance_gray(&dev_, both_dist.data(), both_gray.data(),
                                                        n + 3, raw.data(), 8 * n, &info),
                          static_cast<int32_t>(n));
                const std::string what = "drnu " + std::to_string(drnu) + " hdr " +
                                         std::to_string(hdr) + " undistort " +
                                         std::to_string(undistort);
                both_dist.resize(n);
                both_gray.resize(n);
                EXPECT_EQ(both_dist, dist) << what;
                EXPECT_EQ(both_gray, gray) << what;
            }
        }
    }
    ctx_->drnu_en = ctx_->hdr_en = ctx_->undist_en = 0;
    lx_calib_len_uninit_map(&ctx_->undist_map);
    std::fill(std::begin(distImagesDRNU[1]), std::end(distImagesDRNU[1]), 0);
    calibrateSetNumDistances(saved_k);

    // Buffers that overlap are refused, as are short ones.
    std::vector<float> one(2 * n);
    EXPECT_EQ(lumox_frame_get_distance_gray(&dev_, one.data(), one.data() + n - 1, n, raw.data(),
                                            8 * n, &info),
              0);
    EXPECT_EQ(lumox_frame_get_distance_gray(&dev_, one.data(), one.data() + n, n - 1, raw.data(),
                                            8 * n, &info),
              0);
    EXPECT_EQ(lumox_frame_get_distance_gray(&dev_, one.data(), one.data() + n, n, raw.data(), 8 * n,
                                            &info),
              static_cast<int32_t>(n));
    EXPECT_FALSE(api::is_busy(&dev_));
}

TEST_F(FrameConvert, PointAtThePrincipalPointLiesOnTheAxis) {
    const lumox_camera_view view{1, 1, 100, 100, 1};
    std::vector<float> dist(9, 0), pcl(27, -1);
    dist[4] = 2.0f;  // row 1, column 1
    ASSERT_EQ(lumox_frame_get_pcl(&dev_, pcl.data(), 27, dist.data(), 9, 3, 3, &view), 1);
    EXPECT_EQ(pcl[0], 0);
    EXPECT_EQ(pcl[1], 0);
    EXPECT_EQ(pcl[2], 2.0f);
}

TEST_F(FrameConvert, ViewsThatGiveNoPointsAreRefused) {
    constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
    constexpr float kInf = std::numeric_limits<float>::infinity();
    std::vector<float> dist(9, 2.0f), pcl(36, -1);
    for (const lumox_camera_view &view :
         {lumox_camera_view{kNan, 1, 100, 100, 1}, lumox_camera_view{1, 1, kInf, 100, 1},
          lumox_camera_view{1, 1, 100, -kInf, 1}, lumox_camera_view{1, 1, 100, 100, kNan},
          lumox_camera_view{1, 1, 0, 100, 1}}) {
        EXPECT_EQ(lumox_frame_get_pcl(&dev_, pcl.data(), 27, dist.data(), 9, 3, 3, &view), 0);
        EXPECT_EQ(lumox_frame_get_pcl_xyzd(&dev_, pcl.data(), 36, dist.data(), 9, 3, 3, 0, &view),
                  0);
        EXPECT_EQ(pcl[0], -1);
    }
    EXPECT_FALSE(api::is_busy(&dev_));
}

TEST_F(FrameConvert, PointsFollowTheRayAndMatchAReference) {
    const lumox_camera_view view{2.5f, 1.5f, 3.0f, 4.0f, 2.0f};
    const uint32_t w = 6, h = 4;
    std::vector<float> dist(w * h), pcl(3 * w * h);
    for (uint32_t i = 0; i < w * h; ++i) dist[i] = 0.5f + 0.1f * static_cast<float>(i);
    ASSERT_EQ(lumox_frame_get_pcl(&dev_, pcl.data(), static_cast<uint32_t>(pcl.size()), dist.data(),
                                  w * h, w, h, &view),
              static_cast<int32_t>(w * h));
    for (uint32_t i = 0; i < w * h; ++i) {
        const double d = 2.0 * dist[i];
        const double x = (i % w - 2.5) * d / 3.0;
        const double y = (i / w - 1.5) * d / 4.0;
        EXPECT_NEAR(pcl[3 * i], x, 1e-5);
        EXPECT_NEAR(pcl[3 * i + 1], y, 1e-5);
        EXPECT_NEAR(pcl[3 * i + 2], std::sqrt(d * d - x * x - y * y), 1e-5);
        // The distance is the length of the point's vector.
        EXPECT_NEAR(std::hypot(pcl[3 * i], pcl[3 * i + 1], pcl[3 * i + 2]), d, 1e-5);
    }
}

TEST_F(FrameConvert, PointCloudSkipsCodesAndStopsWhenFull) {
    const lumox_camera_view view{0, 0, 100, 100, 1};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> dist{0.0f, -1.0f, 60.0f, 65.5f, nan, 1.0f, 2.0f, 3.0f};
    std::vector<float> pcl(32, -1);
    EXPECT_EQ(lumox_frame_get_pcl(&dev_, pcl.data(), 32, dist.data(), 8, 8, 1, &view), 3);
    EXPECT_NEAR(std::hypot(pcl[0], pcl[1], pcl[2]), 1.0, 1e-6);  // the first valid pixel
    EXPECT_EQ(lumox_frame_get_pcl(&dev_, pcl.data(), 5, dist.data(), 8, 8, 1, &view), 1);
    EXPECT_EQ(lumox_frame_get_pcl(&dev_, pcl.data(), 3, dist.data(), 8, 8, 1, &view), 1);
    EXPECT_EQ(lumox_frame_get_pcl(&dev_, pcl.data(), 2, dist.data(), 8, 8, 1, &view), 0);
    EXPECT_EQ(lumox_frame_get_pcl_xyzd(&dev_, pcl.data(), 7, dist.data(), 8, 8, 1, 0, &view), 1);
    EXPECT_EQ(lumox_frame_get_pcl_xyzd(&dev_, pcl.data(), 8, dist.data(), 8, 8, 1, 0, &view), 2);
    EXPECT_EQ(pcl[3], 1.0f);
    EXPECT_EQ(pcl[7], 2.0f);
    // A distance image shorter than width x height is refused.
    EXPECT_EQ(lumox_frame_get_pcl(&dev_, pcl.data(), 32, dist.data(), 7, 8, 1, &view), 0);
    EXPECT_EQ(lumox_frame_get_pcl(nullptr, pcl.data(), 32, dist.data(), 8, 8, 1, &view), 0);
}

TEST_F(FrameConvert, DriverLensParametersProjectWithoutAView) {
    std::vector<float> dist(160 * 120, 0), pcl(3, 0);
    // The pixel nearest the scaled principal point (78.631, 61.0415).
    dist[61 * 160 + 79] = 1.0f;
    ASSERT_EQ(lumox_frame_get_pcl(&dev_, pcl.data(), 3, dist.data(), 160 * 120, 160, 120, nullptr),
              1);
    EXPECT_NEAR(pcl[0], (79 - 78.631) / 105.3915, 1e-4);
    EXPECT_NEAR(pcl[1], (61 - 61.0415) / 102.4085, 1e-4);
    // A frame size the lens does not divide has no projection.
    EXPECT_EQ(lumox_frame_get_pcl(&dev_, pcl.data(), 3, dist.data(), 160 * 120, 100, 120, nullptr),
              0);
}

TEST_F(FrameConvert, PseudoColourPointsCarryTheColourWord) {
    lx_cmap &cmap = api::library_cmap();
    const bool own_palette = cmap.palette == nullptr;
    if (own_palette) lx_cmap_init(&cmap, 30000);
    const lumox_camera_view view{0, 0, 100, 100, 1};
    std::vector<float> dist{0.5f, 2.0f}, pcl(8);
    uint8_t rgb[6];
    lumox_cmap_float(rgb, 6, dist.data(), 2, LUMOX_CMAP_RGB24, 0.5f, 4.0f);
    ASSERT_EQ(lumox_frame_get_pcl_xyzd(&dev_, pcl.data(), 8, dist.data(), 2, 2, 1, 1, &view), 2);
    EXPECT_EQ(pcl[3], 0.0f);  // at the range minimum
    EXPECT_EQ(pcl[7], static_cast<float>(lx_cmap_get_color(&cmap, 2000)));
    EXPECT_NE(pcl[7], 0.0f);
    if (own_palette) lx_cmap_uninit(&cmap);
}

TEST(CmapFloat, FormatsAndLengths) {
    lx_cmap &cmap = api::library_cmap();
    const bool own_palette = cmap.palette == nullptr;
    if (own_palette) lx_cmap_init(&cmap, 30000);
    const std::vector<float> src{1.0f, 2.0f, 3.0f, 3.5f};
    uint8_t out[16] = {};
    EXPECT_EQ(lumox_cmap_float(out, 10, src.data(), 4, LUMOX_CMAP_RGB24, 0.0f, 4.0f), 3);
    EXPECT_EQ(cmap.range_min, 0);
    EXPECT_EQ(cmap.range_max, 4000);
    const uint32_t c = lx_cmap_get_color(&cmap, 2000);
    EXPECT_EQ(out[3], c & 0xFF);
    EXPECT_EQ(out[5], (c >> 16) & 0xFF);
    EXPECT_EQ(lumox_cmap_float(out, 10, src.data(), 4, LUMOX_CMAP_BGR24, 0.0f, 4.0f), 3);
    EXPECT_EQ(out[3], (c >> 16) & 0xFF);
    EXPECT_EQ(out[5], c & 0xFF);
    EXPECT_EQ(lumox_cmap_float(out, 10, src.data(), 4, LUMOX_CMAP_RGB32, 0.0f, 4.0f), 2);
    uint32_t word;
    std::memcpy(&word, out + 4, 4);
    EXPECT_EQ(word, c);
    EXPECT_EQ(lumox_cmap_float(out, 16, src.data(), 1, LUMOX_CMAP_RGB32, 0.0f, 4.0f), 1);
    EXPECT_EQ(lumox_cmap_float(out, 16, src.data(), 4, 3, 0.0f, 4.0f), 0);
    EXPECT_EQ(lumox_cmap_float(out, -3, src.data(), 4, LUMOX_CMAP_RGB24, 0.0f, 4.0f), -1);
    if (own_palette) lx_cmap_uninit(&cmap);
}

class FilterSwitch : public FakeTransportTest {};

TEST_F(FilterSwitch, ReachesTheEpcDriver) {
    EXPECT_EQ(lumox_filter_enable(nullptr, FILTER_HDR, nullptr, 0), -1);
    EXPECT_EQ(lumox_filter_disable(nullptr, FILTER_HDR), -1);
    ASSERT_NE(open_device(), nullptr);
    epc_ctx *ctx = epc_context(lumox_dev_get_drv(&dev_));
    uint16_t amplitude = 42;
    EXPECT_EQ(lumox_filter_enable(&dev_, FILTER_MIN_AMPLITUDE, &amplitude, 2), 1);
    EXPECT_EQ(ctx->minamp_thr, 42);
    EXPECT_EQ(lumox_filter_enable(&dev_, 3, nullptr, 0), 1);
    EXPECT_EQ(lumox_filter_enable(&dev_, 9, nullptr, 0), 1);
    EXPECT_EQ(lumox_filter_disable(&dev_, FILTER_LENS_UNDISTORT), 1);
    EXPECT_EQ(lumox_filter_enable(&dev_, FILTER_HDR, nullptr, 0), 1);
    EXPECT_EQ(ctx->hdr_en, 1);
    EXPECT_EQ(lumox_filter_disable(&dev_, FILTER_HDR), 1);
    EXPECT_EQ(ctx->hdr_en, 0);
    EXPECT_FALSE(api::is_busy(&dev_));
}

TEST_F(FilterSwitch, DriverWithoutSwitchesOrUnknownProduct) {
    fake().product = "LX-T0-1";
    ASSERT_NE(open_device(), nullptr);
    uint16_t amplitude = 42;
    EXPECT_EQ(lumox_filter_enable(&dev_, FILTER_MIN_AMPLITUDE, &amplitude, 2), -1);
    EXPECT_EQ(lumox_filter_disable(&dev_, FILTER_MIN_AMPLITUDE), -1);
    std::vector<float> dist(4, 1.0f), pcl(12);
    lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_ERR, nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(lumox_frame_get_pcl(&dev_, pcl.data(), 12, dist.data(), 4, 2, 2, nullptr), 0);
    const std::string log = testing::internal::GetCapturedStdout();
    lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_OFF, nullptr);
    EXPECT_NE(log.find("Cannot generate PCL: no lens parameter in driver."), std::string::npos);

    lumox_dev_t stranger{};
    std::memcpy(stranger.product, "LX-Q9-1", 8);
    EXPECT_EQ(lumox_filter_enable(&stranger, FILTER_HDR, nullptr, 0), -1);
}

}  // namespace
}  // namespace lumox::test
