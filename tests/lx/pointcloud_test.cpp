#include "lx/pointcloud.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "support/targets.h"

namespace {

using lumox::pcl::Fourth;
using lumox::pcl::View;
using lumox::simd::target_name;
using lumox::test::ForcedTarget;

// Distances of every kind: ordinary, the reserved codes in metres, no-point values (0, negative,
// 60 and above, NaN, infinities) and the edges of the interval.
std::vector<float> random_distances(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    const float specials[] = {0.0f,
                              -0.0f,
                              -1.0f,
                              60.0f,
                              59.99999f,
                              1e-30f,
                              65.3f,
                              65.4f,
                              65.5f,
                              std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              32.65f,
                              4.0f,
                              0.25f};
    std::vector<float> d(n);
    for (auto &v : d) {
        const uint32_t r = rng();
        v = r % 5 == 0 ? specials[r / 5 % std::size(specials)]
                       : static_cast<float>(r % 100000) / 7000.0f;
    }
    return d;
}

uint64_t run(const View &v, const std::vector<float> &d, uint32_t w, uint32_t h, Fourth fourth,
             const lx_cmap *map, std::vector<float> &out, uint64_t max_points, bool plain) {
    out.assign(4 * static_cast<size_t>(w) * h + 8, -7.0f);
    return plain ? lumox::pcl::project_plain(v, d.data(), w, h, fourth, map, out.data(), max_points)
                 : lumox::pcl::project(v, d.data(), w, h, fourth, map, out.data(), max_points);
}

TEST(PointCloud, EveryPathGivesThePlainLoopsPointsToTheBit) {
    lx_cmap map{};
    ASSERT_NE(lx_cmap_init(&map, 1024), nullptr);
    lx_cmap no_palette{};
    const View views[] = {{159.5, 119.5, 210.0, 210.0, 1.0f},
                          {0.3, 200.25, 1e-30, -3.0, 2.0f},
                          {1e9, -7.0, 0.0, 1e300, -1.0f},
                          {3.0, 3.0, std::numeric_limits<double>::quiet_NaN(), 1.0, 0.0f}};
    // Every row remainder of the vector widths, rows longer than the column cache, and one
    // image that fills a staging area many times over.
    const struct {
        uint32_t w, h;
    } sizes[] = {{1, 1},  {2, 3},  {3, 2},  {4, 2},  {5, 2},   {6, 3},    {7, 5},
                 {8, 3},  {9, 4},  {10, 2}, {11, 2}, {12, 2},  {13, 3},   {14, 2},
                 {15, 2}, {16, 2}, {17, 3}, {31, 2}, {67, 40}, {1029, 2}, {2048, 1}};
    const std::vector<int64_t> targets = lumox::test::vector_targets();
    std::vector<float> ref, out;
    uint32_t seed = 1;
    for (const auto &s : sizes) {
        auto d = random_distances(static_cast<size_t>(s.w) * s.h, seed++);
        // Edge-heavy images: every pixel a point (whole vectors kept), or every other one.
        if (seed % 3 == 0) {
            for (size_t i = 0; i < d.size(); ++i) d[i] = 0.5f + static_cast<float>(i % 97) / 2;
        } else if (seed % 3 == 1) {
            for (size_t i = 0; i < d.size(); i += 2) d[i] = 59.99999f;
        }
        for (const View &v : views) {
            for (const Fourth fourth : {Fourth::kNone, Fourth::kDistance, Fourth::kColour}) {
                for (const lx_cmap *m : {&map, &no_palette}) {
                    // The colour range as the point clouds meet it: set by an earlier image.
                    lx_cmap_set_range(&map, static_cast<int32_t>(seed % 3) * 300, 6000);
                    const uint64_t pixels = uint64_t{s.w} * s.h;
                    for (const uint64_t limit : {uint64_t{0}, uint64_t{1}, uint64_t{5}, pixels / 2,
                                                 pixels - 3, ~uint64_t{0}}) {
                        const uint64_t n_ref = run(v, d, s.w, s.h, fourth, m, ref, limit, true);
                        for (const int64_t target : targets) {
                            ForcedTarget forced(target);
                            const uint64_t n = run(v, d, s.w, s.h, fourth, m, out, limit, false);
                            ASSERT_EQ(n, n_ref)
                                << s.w << "x" << s.h << " on " << target_name(target);
                            // Bit for bit, NaNs included, and nothing past the last point.
                            ASSERT_EQ(std::memcmp(out.data(), ref.data(), out.size() * 4), 0)
                                << s.w << "x" << s.h << " on " << target_name(target) << " limit "
                                << limit;
                        }
                    }
                }
            }
        }
    }
    lx_cmap_uninit(&map);
}

TEST(PointCloud, PrincipalPointAndColourWord) {
    lx_cmap map{};
    ASSERT_NE(lx_cmap_init(&map, 256), nullptr);
    lx_cmap_set_range(&map, 500, 4000);
    const View v{1.0, 1.0, 100.0, 100.0, 1.0f};
    // Row 1, column 1 is the principal point; 0.4 m lies below the colour range.
    const std::vector<float> d = {0.0f, 0.0f, 0.0f, 0.0f, 2.0f, 0.4f, 0.0f, 0.0f, 0.0f};
    std::vector<float> out;
    ASSERT_EQ(run(v, d, 3, 3, Fourth::kColour, &map, out, 100, false), 2u);
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_EQ(out[1], 0.0f);
    EXPECT_EQ(out[2], 2.0f);
    EXPECT_EQ(out[3], static_cast<float>(lx_cmap_get_color(&map, 2000)));
    EXPECT_EQ(out[7], 0.0f);
    lx_cmap_uninit(&map);
}

}  // namespace
