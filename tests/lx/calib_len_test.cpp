#include "lx/calib_len.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "lumox/image.h"
#include "lumox/log.h"
#include "lx/simd.h"
#include "support/images.h"
#include "support/targets.h"

namespace {

using lumox::test::Image16;
using lumox::test::random_depth_image;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

lx_lens_param zero_distortion_lens(double cx, double cy, double f) {
    return {cx, cy, f, f, {0, 0, 0, 0, 0}, 320, 240};
}

lx_lens_param default_lens() {
    return {157.262,
            122.083,
            210.783,
            204.817,
            {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954},
            320,
            240};
}

// Owns a built map for the length of a test.
struct BuiltMap {
    explicit BuiltMap(const lx_lens_param &lens) { result = lx_calib_len_init_map(&map, &lens); }
    ~BuiltMap() { lx_calib_len_uninit_map(&map); }
    lx_calib_len_map map{};
    int32_t result = 0;
};

class LensUndistort : public testing::Test {
  protected:
    void SetUp() override { lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_ERR, nullptr); }
    void TearDown() override { lx_log_disable(); }
};

TEST_F(LensUndistort, ZeroDistortionMapIgnoresTheCameraMatrix) {
    // Without distortion the map stretches the image by W / (W - 1) and H / (H - 1), whatever
    // the principal point and focal lengths.
    for (const auto &lens :
         {zero_distortion_lens(150.5, 120, 200), zero_distortion_lens(10, 200, 80)}) {
        BuiltMap built(lens);
        ASSERT_EQ(built.result, 320 * 240);
        const lx_calib_len_map &m = built.map;
        EXPECT_EQ(m.ready, 1);
        EXPECT_EQ(m.count, 320 * 240);
        EXPECT_EQ(m.width, 320);
        EXPECT_EQ(m.height, 240);
        EXPECT_EQ(m.roi_x, 0);
        EXPECT_EQ(m.roi_y, 0);
        EXPECT_EQ(m.roi_w, 319);
        EXPECT_EQ(m.roi_h, 239);
        for (int32_t i = 0; i < 240; ++i) {
            for (int32_t j = 0; j < 320; ++j) {
                ASSERT_NEAR(m.map_x[i * 320 + j], j * 320.0 / 319.0, 1e-3) << j << "," << i;
                ASSERT_NEAR(m.map_y[i * 320 + j], i * 240.0 / 239.0, 1e-3) << j << "," << i;
            }
        }
    }
}

TEST_F(LensUndistort, ZeroDistortionRemapShiftsTheRightHalfAndFillsTheLastColumnAndRow) {
    BuiltMap built(zero_distortion_lens(150.5, 120, 200));
    const Image16 src = random_depth_image(320, 240, 9);
    Image16 dst(320 * 240, 0xDEAD);
    ASSERT_EQ(
        lx_calib_len_undistort_u16(&built.map, dst.data(), 320 * 240, src.data(), 320, 240, 7), 1);
    for (int32_t y = 0; y < 240; ++y) {
        for (int32_t x = 0; x < 320; ++x) {
            // Source column trunc(x * 320 / 319 + 0.5): x itself up to 159, x + 1 from 160 on,
            // 320 (outside) for the last column; rows likewise with 240 / 239.
            const int32_t sx = x < 160 ? x : x + 1;
            const int32_t sy = y < 120 ? y : y + 1;
            const uint16_t expected = (sx < 320 && sy < 240) ? src[sy * 320 + sx] : 7;
            ASSERT_EQ(dst[y * 320 + x], expected) << x << "," << y;
        }
    }
}

TEST_F(LensUndistort, BinnedImagesSampleTheFullResolutionMap) {
    // With a 160 x 120 image the zero-distortion map reduces to the identity.
    BuiltMap built(zero_distortion_lens(150.5, 120, 200));
    const Image16 src = random_depth_image(160, 120, 4);
    Image16 dst(160 * 120);
    ASSERT_EQ(
        lx_calib_len_undistort_u16(&built.map, dst.data(), 160 * 120, src.data(), 160, 120, 0), 1);
    EXPECT_EQ(dst, src);

    // Binning by 4 in x only: source column trunc(4x * 320 / 319 / 4 + 0.5) = x; 80 x 240 image.
    const Image16 tall = random_depth_image(80, 240, 5);
    Image16 out(80 * 240);
    ASSERT_EQ(lx_calib_len_undistort_u16(&built.map, out.data(), 80 * 240, tall.data(), 80, 240, 1),
              1);
    for (int32_t y = 0; y < 240; ++y)
        for (int32_t x = 0; x < 80; ++x)
            ASSERT_EQ(out[y * 80 + x], y == 239 ? 1 : tall[(y < 120 ? y : y + 1) * 80 + x]);
}

TEST_F(LensUndistort, FloatRemapMatchesTheIntegerRemap) {
    BuiltMap built(default_lens());
    const Image16 src = random_depth_image(320, 240, 12);
    std::vector<float> fsrc(src.begin(), src.end()), fdst(src.size());
    Image16 dst(src.size());
    ASSERT_EQ(
        lx_calib_len_undistort_u16(&built.map, dst.data(), 320 * 240, src.data(), 320, 240, 0), 1);
    ASSERT_EQ(lx_calib_len_undistort_f32(&built.map, fdst.data(), 320 * 240, fsrc.data(), 320, 240,
                                         -1.5f),
              1);
    int filled = 0;
    for (size_t i = 0; i < src.size(); ++i) {
        if (fdst[i] == -1.5f) {
            ++filled;
            EXPECT_EQ(dst[i], 0);
        } else {
            EXPECT_EQ(fdst[i], static_cast<float>(dst[i]));
        }
    }
    // Barrel distortion pulls the corners in: the new camera matrix keeps every source pixel, so
    // some destination pixels near the corners have no source.
    EXPECT_GT(filled, 0);
    EXPECT_LT(filled, 320 * 240 / 5);
}

// The remap of one pixel as plain code: the map entry of the destination pixel's full-resolution
// position divided by the binning, rounded half up by truncation; outside (NaN included) gives
// fill.
template <typename Pixel>
std::vector<Pixel> plain_remap(const lx_calib_len_map &m, const std::vector<Pixel> &src, int32_t w,
                               int32_t h, Pixel fill) {
    const int32_t bx = m.width / w, by = m.height / h;
    std::vector<Pixel> out(src.size());
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const size_t at = static_cast<size_t>(y) * by * m.width + static_cast<size_t>(x) * bx;
            const float sx = m.map_x[at] / static_cast<float>(bx) + 0.5f;
            const float sy = m.map_y[at] / static_cast<float>(by) + 0.5f;
            const bool inside = sx > -1.0f && sx < static_cast<float>(w) && sy > -1.0f &&
                                sy < static_cast<float>(h);
            out[static_cast<size_t>(y) * w + x] =
                inside ? src[static_cast<size_t>(static_cast<int32_t>(sy)) * w +
                             static_cast<int32_t>(sx)]
                       : fill;
        }
    }
    return out;
}

TEST_F(LensUndistort, EveryTargetRemapsLikeThePlainCode) {
    // A map of random source positions around and beyond the image, with the values a broken
    // lens can give (NaN, infinities, huge numbers) and the edges of the image: just above -1,
    // -1 itself, just below the width.
    constexpr int32_t kW = 90, kH = 60;
    std::vector<float> mx(kW * kH), my(kW * kH);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> around(-8.0f, kW + 8.0f);
    const float odd[] = {std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(),
                         1e30f,
                         -1e30f,
                         -1.5f,
                         -1.49f,
                         -0.51f,
                         0.0f,
                         kW - 0.5f,
                         kW - 0.51f};
    for (size_t i = 0; i < mx.size(); ++i) {
        mx[i] = rng() % 5 == 0 ? odd[rng() % std::size(odd)] : around(rng);
        my[i] = rng() % 5 == 0 ? odd[rng() % std::size(odd)] : around(rng) * kH / kW;
    }
    lx_calib_len_map map{};
    map.map_x = mx.data();
    map.map_y = my.data();
    map.count = kW * kH;
    map.width = kW;
    map.height = kH;
    map.ready = 1;
    // Unbinned, binned in each direction, by 2 and by odd steps, rows narrower than a vector.
    const struct {
        int32_t w, h;
    } sizes[] = {{90, 60}, {45, 60}, {90, 20}, {30, 12}, {18, 5}, {9, 30}, {2, 1}, {1, 2}};
    for (const int64_t target : lumox::test::vector_targets()) {
        const lumox::test::ForcedTarget forced(target);
        uint32_t seed = 40;
        for (const auto &[w, h] : sizes) {
            const Image16 src = random_depth_image(w, h, seed++);
            const std::vector<float> fsrc(src.begin(), src.end());
            Image16 dst(src.size());
            std::vector<float> fdst(src.size());
            ASSERT_EQ(lx_calib_len_undistort_u16(&map, dst.data(), w * h, src.data(), w, h, 9), 1);
            ASSERT_EQ(
                lx_calib_len_undistort_f32(&map, fdst.data(), w * h, fsrc.data(), w, h, -2.0f), 1);
            EXPECT_EQ(dst, plain_remap<uint16_t>(map, src, w, h, 9))
                << w << "x" << h << " on " << lumox::simd::target_name(target);
            EXPECT_EQ(fdst, plain_remap<float>(map, fsrc, w, h, -2.0f))
                << w << "x" << h << " on " << lumox::simd::target_name(target);
        }
    }
}

TEST_F(LensUndistort, OddBinningSamplesNearTheCentre) {
    // Binning by 5 divides the map values by 5.
    BuiltMap built(default_lens());
    const Image16 src = random_depth_image(64, 48, 8);
    Image16 here(64 * 48);
    ASSERT_EQ(lx_calib_len_undistort_u16(&built.map, here.data(), 64 * 48, src.data(), 64, 48, 3),
              1);
    EXPECT_EQ(here, plain_remap<uint16_t>(built.map, src, 64, 48, 3));
    // The centre of the binned image takes a pixel near the centre.
    const int32_t centre = 24 * 64 + 32;
    EXPECT_NE(here[centre], 3);
}

// Undistorts a pixel of the distorted image by fixed-point iteration, independently of the
// library (many more steps than the map builder needs).
void undistort_point(const lx_lens_param &l, double u, double v, double &x, double &y) {
    const double x0 = (u - l.cx) / l.fx, y0 = (v - l.cy) / l.fy;
    const double *k = l.dcoeff;
    x = x0;
    y = y0;
    for (int n = 0; n < 200; ++n) {
        const double r2 = x * x + y * y;
        const double radial = 1 + k[0] * r2 + k[1] * r2 * r2 + k[4] * r2 * r2 * r2;
        const double dx = 2 * k[2] * x * y + k[3] * (r2 + 2 * x * x);
        const double dy = k[2] * (r2 + 2 * y * y) + 2 * k[3] * x * y;
        x = (x0 - dx) / radial;
        y = (y0 - dy) / radial;
    }
}

TEST_F(LensUndistort, DistortedMapIsAPinholeViewOfTheLens) {
    // Every destination pixel (j, i) must look along the ray (a j + b, c i + d) of an ideal
    // pinhole camera: undistorting its map entry gives coordinates linear in j and i.
    const lx_lens_param lens = default_lens();
    BuiltMap built(lens);
    ASSERT_EQ(built.result, 320 * 240);
    const lx_calib_len_map &m = built.map;
    const auto ray = [&](int32_t j, int32_t i, double &x, double &y) {
        undistort_point(lens, m.map_x[i * 320 + j], m.map_y[i * 320 + j], x, y);
    };
    double x0, y0, x1, y1;
    ray(100, 80, x0, y0);
    ray(200, 160, x1, y1);
    const double a = (x1 - x0) / 100, c = (y1 - y0) / 80;
    EXPECT_GT(a, 0);
    EXPECT_GT(c, 0);
    for (int32_t i = 40; i < 200; i += 13) {
        for (int32_t j = 60; j < 260; j += 17) {
            double x, y;
            ray(j, i, x, y);
            EXPECT_NEAR(x, x0 + a * (j - 100), 2e-5) << j << "," << i;
            EXPECT_NEAR(y, y0 + c * (i - 80), 2e-5) << j << "," << i;
        }
    }
    // The region of valid destination pixels lies inside the image.
    EXPECT_GT(m.roi_w, 0);
    EXPECT_GT(m.roi_h, 0);
    EXPECT_GE(m.roi_x, 0);
    EXPECT_GE(m.roi_y, 0);
    EXPECT_LE(m.roi_x + m.roi_w, 320);
    EXPECT_LE(m.roi_y + m.roi_h, 240);
}

TEST_F(LensUndistort, ParameterErrorsFailAndLeaveTheDestination) {
    BuiltMap built(zero_distortion_lens(150.5, 120, 200));
    const Image16 src(320 * 240, 5);
    const auto run = [&](int32_t len, int32_t w, int32_t h, std::string &log) {
        Image16 dst(320 * 240, 0x4242);
        CaptureStdout();
        const int32_t r =
            lx_calib_len_undistort_u16(&built.map, dst.data(), len, src.data(), w, h, 0);
        log = GetCapturedStdout();
        EXPECT_EQ(dst, Image16(320 * 240, 0x4242));
        return r;
    };
    std::string log;
    EXPECT_EQ(run(320 * 240, 100, 100, log), 0);
    EXPECT_NE(log.find("[lx_calib_len_undistort_u16] Wrong parameter: calib_map: 320x240, "
                       "src_img: 100x100\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(run(320 * 240 - 1, 320, 240, log), 0);
    EXPECT_NE(log.find("[lx_calib_len_undistort_u16] Wrong parameter: 320x240 > dst_len=76799\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(run(320 * 240, 0, 240, log), 0);
    EXPECT_NE(log.find("calib_map: 320x240, src_img: 0x240"), std::string::npos) << log;

    std::vector<float> fdst(10, 3.0f);
    const std::vector<float> fsrc(320 * 240);
    CaptureStdout();
    EXPECT_EQ(lx_calib_len_undistort_f32(&built.map, fdst.data(), 10, fsrc.data(), 320, 240, 0), 0);
    EXPECT_NE(GetCapturedStdout().find(
                  "[lx_calib_len_undistort_f32] Wrong parameter: 320x240 > dst_len=10\n"),
              std::string::npos);
    EXPECT_EQ(fdst, std::vector<float>(10, 3.0f));

    // A map that was never built cannot be applied.
    lx_calib_len_map empty{};
    Image16 dst(4, 9);
    CaptureStdout();
    EXPECT_EQ(lx_calib_len_undistort_u16(&empty, dst.data(), 4, src.data(), 2, 2, 0), 0);
    EXPECT_NE(GetCapturedStdout().find("calib_map: 0x0, src_img: 2x2"), std::string::npos);
    EXPECT_EQ(dst, Image16(4, 9));
}

TEST(LensUndistortMap, ReleaseIsSafeOnEmptyAndRepeated) {
    lx_calib_len_map never{};
    lx_calib_len_uninit_map(&never);
    EXPECT_EQ(never.ready, 0);

    const lx_lens_param lens = default_lens();
    lx_calib_len_map map{};
    ASSERT_EQ(lx_calib_len_init_map(&map, &lens), 320 * 240);
    lx_calib_len_uninit_map(&map);
    EXPECT_EQ(map.ready, 0);
    EXPECT_EQ(map.map_x, nullptr);
    lx_calib_len_uninit_map(&map);  // a second release frees nothing
    EXPECT_EQ(map.ready, 0);
}

TEST(LensUndistortMap, UnusableSizesBuildNothing) {
    lx_lens_param lens = default_lens();
    lens.img_w = 0;
    lx_calib_len_map map{};
    EXPECT_EQ(lx_calib_len_init_map(&map, &lens), 0);
    EXPECT_EQ(map.ready, 0);
    lens.img_w = 320;
    lens.img_h = -240;
    EXPECT_EQ(lx_calib_len_init_map(&map, &lens), 0);
    EXPECT_EQ(map.ready, 0);
}

TEST_F(LensUndistort, DegenerateLensGivesAUsableMap) {
    // A zero focal length makes the lens maths infinite or NaN; the map still builds and the
    // remap still writes only fill values or source pixels.
    lx_lens_param lens = default_lens();
    lens.fx = 0;
    BuiltMap built(lens);
    ASSERT_EQ(built.result, 320 * 240);
    const Image16 src(320 * 240, 77);
    Image16 dst(320 * 240, 1);
    ASSERT_EQ(
        lx_calib_len_undistort_u16(&built.map, dst.data(), 320 * 240, src.data(), 320, 240, 9), 1);
    for (const uint16_t v : dst) ASSERT_TRUE(v == 9 || v == 77) << v;
}

TEST(LensUndistortRects, ZeroDistortionRectanglesSpanTheNormalisedImage) {
    const double a[9] = {200, 0, 150.5, 0, 100, 120, 0, 0, 1};
    const double coeff[5] = {};
    lumox::LensRect inner, outer;
    lumox::lens_undistort_rects(a, coeff, nullptr, 320, 240, inner, outer);
    EXPECT_FLOAT_EQ(outer.x, -150.5f / 200);
    EXPECT_FLOAT_EQ(outer.y, -1.2f);
    EXPECT_FLOAT_EQ(outer.width, 1.6f);
    EXPECT_FLOAT_EQ(outer.height, 2.4f);
    EXPECT_FLOAT_EQ(inner.x, outer.x);
    EXPECT_FLOAT_EQ(inner.width, outer.width);

    // Barrel distortion: the undistorted border bulges out, so the inner rectangle is smaller.
    const double barrel[5] = {-0.3, 0.1, 0, 0, 0};
    lumox::lens_undistort_rects(a, barrel, nullptr, 320, 240, inner, outer);
    EXPECT_LT(inner.width, outer.width);
    EXPECT_LT(inner.height, outer.height);
    EXPECT_GT(inner.x, outer.x);
}

}  // namespace
