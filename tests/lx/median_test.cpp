#include "lx/median.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lumox/image.h"
#include "lumox/log.h"
#include "support/images.h"
#include "support/targets.h"

namespace {

using lumox::test::clamped;
using lumox::test::Image16;
using lumox::test::random_depth_image;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Median of the k x k clamped window around every pixel, by sorting each window.
Image16 brute_median(const Image16 &src, int32_t w, int32_t h, int32_t k) {
    Image16 out(src.size());
    std::vector<uint16_t> window;
    const int32_t r = k / 2;
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            window.clear();
            for (int32_t dy = -r; dy <= r; ++dy)
                for (int32_t dx = -r; dx <= r; ++dx)
                    window.push_back(clamped(src, w, h, x + dx, y + dy));
            std::nth_element(window.begin(), window.begin() + window.size() / 2, window.end());
            out[static_cast<size_t>(y) * w + x] = window[window.size() / 2];
        }
    }
    return out;
}

class MedianFilter : public testing::Test {
  protected:
    void SetUp() override { lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_ERR, nullptr); }
    void TearDown() override { lx_log_disable(); }
};

struct Size {
    int32_t w, h;
};

// Widths around the 16- and 32-pixel vectors and the 160-column strip, heights odd and even.
constexpr Size kSizes[] = {{2, 2},  {2, 9},   {3, 2},   {5, 5},    {15, 4}, {16, 3},
                           {17, 7}, {31, 3},  {32, 4},  {33, 31},  {63, 3}, {65, 2},
                           {97, 5}, {159, 6}, {161, 5}, {320, 240}};

TEST_F(MedianFilter, FixedKernelsMatchSortedWindows) {
    uint32_t seed = 1;
    for (const Size s : kSizes) {
        for (const uint32_t spread : {65536u, 4u}) {
            const Image16 src = random_depth_image(s.w, s.h, seed++, spread);
            for (const int32_t k : {3, 5}) {
                const Image16 want = brute_median(src, s.w, s.h, k);
                for (const int64_t target : lumox::test::vector_targets()) {
                    lumox::test::ForcedTarget forced(target);
                    Image16 dst(src.size(), 0xABCD);
                    if (k == 3)
                        lx_median2d_u16_k3(dst.data(), src.data(), s.w, s.h);
                    else
                        lx_median2d_u16_k5(dst.data(), src.data(), s.w, s.h);
                    EXPECT_EQ(dst, want) << "k" << k << " " << s.w << "x" << s.h << " spread "
                                         << spread << " on " << lumox::simd::target_name(target);
                }
                Image16 generic(src.size());
                lx_median2d_u16(generic.data(), src.data(), s.w, s.h, k);
                EXPECT_EQ(generic, want);
            }
        }
    }
}

TEST_F(MedianFilter, ExtremeValuesKeepTheirOrder) {
    // 0x7FFF / 0x8000 and 0 / 0xFFFF straddle the signed bias of the vector kernels.
    const int32_t w = 24, h = 6;
    Image16 src(w * h);
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = (i * 7 % 5 == 0) ? 0xFFFF : (i % 3 == 0 ? 0x8000 : (i % 2 ? 0x7FFF : 0));
    Image16 dst3(src.size()), dst5(src.size());
    lx_median2d_u16_k3(dst3.data(), src.data(), w, h);
    lx_median2d_u16_k5(dst5.data(), src.data(), w, h);
    EXPECT_EQ(dst3, brute_median(src, w, h, 3));
    EXPECT_EQ(dst5, brute_median(src, w, h, 5));
}

TEST_F(MedianFilter, RunningMedianMatchesSortedWindows) {
    uint32_t seed = 100;
    const struct {
        int32_t w, h, k;
    } cases[] = {{8, 8, 7}, {5, 9, 9}, {13, 6, 11}, {21, 17, 7}, {40, 30, 9}, {6, 4, 1}};
    for (const auto &c : cases) {
        for (const uint32_t spread : {65536u, 3u}) {
            const Image16 src = random_depth_image(c.w, c.h, seed++, spread);
            Image16 dst(src.size());
            ASSERT_TRUE(lumox::median2d_list_u16(dst.data(), src.data(), c.w, c.h, c.k));
            EXPECT_EQ(dst, brute_median(src, c.w, c.h, c.k))
                << c.w << "x" << c.h << " k" << c.k << " spread " << spread;
        }
    }
    // The exported call takes the list path for kernels other than 3 and 5.
    const Image16 src = random_depth_image(8, 8, 7);
    Image16 dst(src.size());
    lx_median2d_u16(dst.data(), src.data(), 8, 8, 7);
    EXPECT_EQ(dst, brute_median(src, 8, 8, 7));
}

TEST_F(MedianFilter, BadKernelIsRejectedAndDestinationUntouched) {
    const Image16 src = random_depth_image(8, 8, 3);
    for (const int32_t k : {4, 1, 16, 2, 0, -3, 17}) {
        Image16 dst(src.size(), 0x1234);
        CaptureStdout();
        lx_median2d_u16(dst.data(), src.data(), 8, 8, k);
        const std::string out = GetCapturedStdout();
        EXPECT_NE(out.find("[lx_median2d_u16]  wrong parameter:w/h/kernel=8/8/" +
                           std::to_string(k) + "\n"),
                  std::string::npos)
            << out;
        EXPECT_EQ(dst, Image16(src.size(), 0x1234)) << "k " << k;
    }
    // An odd kernel must also stay below twice each side.
    Image16 dst(8 * 3, 0x1234);
    CaptureStdout();
    lx_median2d_u16(dst.data(), src.data(), 8, 3, 7);
    EXPECT_NE(GetCapturedStdout().find("w/h/kernel=8/3/7"), std::string::npos);
    EXPECT_EQ(dst, Image16(8 * 3, 0x1234));
}

TEST_F(MedianFilter, ThinImagesAreRejected) {
    const Image16 src(16, 500);
    for (const Size s : {Size{1, 16}, Size{16, 1}, Size{0, 0}}) {
        Image16 dst(16, 7);
        CaptureStdout();
        lx_median2d_u16_k3(dst.data(), src.data(), s.w, s.h);
        lx_median2d_u16_k5(dst.data(), src.data(), s.w, s.h);
        const std::string out = GetCapturedStdout();
        const std::string wh = std::to_string(s.w) + "/" + std::to_string(s.h) + "\n";
        EXPECT_NE(out.find("[lx_median2d_u16_k3]  wrong parameter:w/h=" + wh), std::string::npos);
        EXPECT_NE(out.find("[lx_median2d_u16_k5]  wrong parameter:w/h=" + wh), std::string::npos);
        EXPECT_EQ(dst, Image16(16, 7));
    }
}

}  // namespace
