#include "lx/filter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "lumox/image.h"
#include "lumox/log.h"
#include "lx/simd.h"
#include "support/images.h"
#include "support/targets.h"

namespace {

using lumox::test::clamped;
using lumox::test::Image16;
using lumox::test::random_depth_image;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Plain references: each output computed from the clamped 3 x 3 (or 5 x 5) window.
struct Window {
    const Image16 &img;
    int32_t w, h, x, y;
    int64_t at(int32_t dx, int32_t dy) const { return clamped(img, w, h, x + dx, y + dy); }
};

template <typename F>
Image16 reference(const Image16 &src, int32_t w, int32_t h, F f) {
    Image16 out(src.size());
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            out[static_cast<size_t>(y) * w + x] = static_cast<uint16_t>(f(Window{src, w, h, x, y}));
    return out;
}

int64_t box_ref(const Window &p) {
    int64_t sum = 0;
    for (int32_t dy = -1; dy <= 1; ++dy)
        for (int32_t dx = -1; dx <= 1; ++dx)
            if (dx || dy) sum += p.at(dx, dy);
    return sum / 8;
}

int64_t gauss_ref(const Window &p) {
    static constexpr int64_t kWeight[3][3] = {{1, 2, 1}, {2, 4, 2}, {1, 2, 1}};
    int64_t sum = 0;
    for (int32_t dy = -1; dy <= 1; ++dy)
        for (int32_t dx = -1; dx <= 1; ++dx) sum += kWeight[dy + 1][dx + 1] * p.at(dx, dy);
    return sum / 16;
}

int64_t flypix_ref(const Window &p, uint32_t threshold) {
    const auto q = [&](int32_t dx, int32_t dy) { return p.at(dx, dy) / 4; };
    const int64_t gx = q(1, -1) + q(1, 1) + 2 * (q(1, 0) - q(-1, 0)) - q(-1, -1) - q(-1, 1);
    const int64_t gy = q(-1, 1) + q(1, 1) + 2 * (q(0, 1) - q(0, -1)) - q(-1, -1) - q(1, -1);
    return gx * gx + gy * gy > (threshold >> 4) ? 0 : p.at(0, 0);
}

int64_t fhole_ref(const Window &p, int32_t radius) {
    const auto s = [&](int32_t dx, int32_t dy) { return static_cast<int16_t>(p.at(dx, dy)); };
    if (s(0, 0) > 0) return p.at(0, 0);
    int32_t m = INT32_MIN;
    for (int32_t dy = -radius; dy <= radius; ++dy)
        for (int32_t dx = -radius; dx <= radius; ++dx)
            if (dx || dy) m = std::max<int32_t>(m, s(dx, dy));
    return static_cast<uint16_t>(m);
}

using Kernel = void (*)(uint16_t *, const uint16_t *, int32_t, int32_t);

void flypix_90000(uint16_t *d, const uint16_t *s, int32_t w, int32_t h) {
    lx_flypix_u16_k3(d, s, w, h, 90000);
}
void flypix_0(uint16_t *d, const uint16_t *s, int32_t w, int32_t h) {
    lx_flypix_u16_k3(d, s, w, h, 0);
}
void flypix_max(uint16_t *d, const uint16_t *s, int32_t w, int32_t h) {
    lx_flypix_u16_k3(d, s, w, h, UINT32_MAX);
}

struct Case {
    const char *name;
    Kernel kernel;
    int64_t (*ref)(const Window &);
};

const Case kCases[] = {
    {"box", lx_box2d_u16_k3, box_ref},
    {"gauss", lx_gauss2d_u16_k3, gauss_ref},
    {"flypix 90000", flypix_90000, [](const Window &p) { return flypix_ref(p, 90000); }},
    {"flypix 0", flypix_0, [](const Window &p) { return flypix_ref(p, 0); }},
    {"flypix max", flypix_max, [](const Window &p) { return flypix_ref(p, UINT32_MAX); }},
    {"fhole k3", lx_fhole_u16_k3, [](const Window &p) { return fhole_ref(p, 1); }},
    {"fhole k5", lx_fhole_u16_k5, [](const Window &p) { return fhole_ref(p, 2); }},
};

class DepthFilterKernels : public testing::Test {
  protected:
    void SetUp() override { lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_ERR, nullptr); }
    void TearDown() override { lx_log_disable(); }
};

TEST_F(DepthFilterKernels, KernelsMatchPlainReferencesOnEveryTarget) {
    // Widths around every vector width (8, 16, 32 pixels and SVE's), so that rows end after
    // whole vectors, one pixel past them, or with a vector overlapping the one before.
    const struct {
        int32_t w, h;
    } sizes[] = {{2, 2},  {3, 2},  {2, 5},  {9, 4},  {10, 3}, {11, 2},  {17, 6},  {18, 5},
                 {19, 2}, {33, 3}, {34, 4}, {35, 2}, {40, 9}, {49, 3},  {50, 4},  {51, 2},
                 {65, 3}, {66, 2}, {67, 3}, {82, 2}, {97, 3}, {130, 2}, {320, 24}};
    for (const int64_t target : lumox::test::vector_targets()) {
        const lumox::test::ForcedTarget forced(target);
        uint32_t seed = 11;
        for (const auto &s : sizes) {
            for (const uint32_t spread : {65536u, 300u}) {
                const Image16 src = random_depth_image(s.w, s.h, seed++, spread);
                for (const Case &c : kCases) {
                    Image16 dst(src.size(), 0x5A5A);
                    c.kernel(dst.data(), src.data(), s.w, s.h);
                    EXPECT_EQ(dst, reference(src, s.w, s.h, c.ref))
                        << c.name << " " << s.w << "x" << s.h << " spread " << spread << " on "
                        << lumox::simd::target_name(target);
                }
            }
        }
    }
}

TEST_F(DepthFilterKernels, ConstantImagesStayConstant) {
    const Image16 src(6 * 5, 1234);
    for (const Kernel k : {Kernel{lx_box2d_u16_k3}, Kernel{lx_gauss2d_u16_k3}}) {
        Image16 dst(src.size());
        k(dst.data(), src.data(), 6, 5);
        EXPECT_EQ(dst, src);
    }
}

TEST_F(DepthFilterKernels, BoxLeavesTheCentreOut) {
    Image16 src(5 * 5, 0);
    src[2 * 5 + 2] = 8000;
    Image16 dst(src.size());
    lx_box2d_u16_k3(dst.data(), src.data(), 5, 5);
    EXPECT_EQ(dst[2 * 5 + 2], 0);
    EXPECT_EQ(dst[1 * 5 + 1], 1000);
    EXPECT_EQ(dst[0], 0);
}

TEST_F(DepthFilterKernels, FlyingPixelsBesideADepthStepAreRemoved) {
    // Two flat halves, 0 and 4000 mm: gx = 4000 in quarter units on both sides of the step.
    const int32_t w = 40, h = 6;
    Image16 src(w * h);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) src[y * w + x] = x < 20 ? 0 : 4000;
    Image16 dst(src.size());
    lx_flypix_u16_k3(dst.data(), src.data(), w, h, 90000);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const uint16_t expected = (x == 19 || x == 20) ? 0 : src[y * w + x];
            EXPECT_EQ(dst[y * w + x], expected) << x << "," << y;
        }
    }
}

TEST_F(DepthFilterKernels, HugeGradientsCannotWrapPastTheThreshold) {
    // Reserved codes next to zeros give gx^2 + gy^2 above 2^32; a 32-bit sum would wrap to a
    // small number and keep the pixel; 16-bit gradients saturate. Wide enough for whole vectors
    // on every target.
    const int32_t w = 70, h = 3;
    Image16 src(w * h, 0);
    for (int32_t x = 0; x < w; ++x) {
        if (x % 2) src[x] = 65535;           // top row
        src[2 * w + x] = 65535;              // bottom row
        if (x > 10) src[1 * w + x] = 65535;  // right half of the middle row
    }
    for (const int64_t target : lumox::test::vector_targets()) {
        const lumox::test::ForcedTarget forced(target);
        Image16 dst(src.size());
        lx_flypix_u16_k3(dst.data(), src.data(), w, h, UINT32_MAX);
        EXPECT_EQ(dst,
                  reference(src, w, h, [](const Window &p) { return flypix_ref(p, UINT32_MAX); }))
            << lumox::simd::target_name(target);
        EXPECT_EQ(dst[1 * w + 11], 0);
    }
}

TEST_F(DepthFilterKernels, HolesTakeTheLargestSignedNeighbour) {
    const auto centre_of = [](Kernel k, uint16_t centre, uint16_t ring) {
        Image16 src(5 * 5, ring);
        src[2 * 5 + 2] = centre;
        Image16 dst(src.size());
        k(dst.data(), src.data(), 5, 5);
        return dst[2 * 5 + 2];
    };
    for (const Kernel k : {Kernel{lx_fhole_u16_k3}, Kernel{lx_fhole_u16_k5}}) {
        EXPECT_EQ(centre_of(k, 0, 1000), 1000);
        EXPECT_EQ(centre_of(k, 65500, 1000), 1000);
        EXPECT_EQ(centre_of(k, 0, 65500), 65500);  // every neighbour negative: the largest wins
        EXPECT_EQ(centre_of(k, 32768, 65300), 65300);
        EXPECT_EQ(centre_of(k, 1, 2000), 1);  // not a hole
    }
}

TEST_F(DepthFilterKernels, ThinImagesAreRejectedWithTheirName) {
    const struct {
        const char *name;
        Kernel kernel;
    } kernels[] = {{"lx_box2d_u16_k3", lx_box2d_u16_k3},
                   {"lx_gauss2d_u16_k3", lx_gauss2d_u16_k3},
                   {"lx_flypix_u16_k3", flypix_90000},
                   {"lx_fhole_u16_k3", lx_fhole_u16_k3},
                   {"lx_fhole_u16_k5", lx_fhole_u16_k5}};
    const Image16 src(8, 100);
    for (const auto &k : kernels) {
        for (const auto &[w, h] : {std::pair{1, 8}, std::pair{8, 1}, std::pair{-2, 4}}) {
            Image16 dst(8, 7);
            CaptureStdout();
            k.kernel(dst.data(), src.data(), w, h);
            const std::string out = GetCapturedStdout();
            const std::string expected = "[" + std::string(k.name) +
                                         "]  wrong parameter:w/h=" + std::to_string(w) + "/" +
                                         std::to_string(h) + "\n";
            EXPECT_NE(out.find(expected), std::string::npos) << out;
            EXPECT_EQ(dst, Image16(8, 7));
        }
    }
}

}  // namespace
