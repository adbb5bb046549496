#include <gtest/gtest.h>

#include <cstdint>

#include "lumox/image.h"

namespace {

class CmapTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(lx_cmap_init(&map_, 30000), nullptr); }
    void TearDown() override { lx_cmap_uninit(&map_); }
    lx_cmap map_{};
};

TEST_F(CmapTest, PaletteTelltaleEntries) {
    const struct {
        int index;
        uint32_t colour;
    } expected[] = {{0, 0x7F0000},     {3750, 0xFF0000},  {7500, 0xFF7F00},
                    {11250, 0xFFFF00}, {15000, 0x7FFF7F}, {18750, 0x00FFFF},
                    {22500, 0x00AAFF}, {26250, 0x0055FF}, {29999, 0x0000BF}};
    for (const auto &e : expected) {
        EXPECT_EQ(map_.palette[e.index], e.colour) << "entry " << e.index;
    }
}

TEST_F(CmapTest, PaletteIsContinuousAndHasNoTopByte) {
    for (int i = 1; i < 30000; ++i) {
        const uint32_t a = map_.palette[i - 1];
        const uint32_t b = map_.palette[i];
        ASSERT_EQ(b >> 24, 0u);
        for (int shift = 0; shift < 24; shift += 8) {
            const int da = static_cast<int>((a >> shift) & 0xFF);
            const int db = static_cast<int>((b >> shift) & 0xFF);
            ASSERT_LE(std::abs(da - db), 1) << "entry " << i << " byte " << shift / 8;
        }
    }
}

TEST_F(CmapTest, DefaultRangeEdges) {
    EXPECT_EQ(map_.range_min, 0);
    EXPECT_EQ(map_.range_max, 4000);
    EXPECT_FLOAT_EQ(map_.index_scale, 7.5f);
    EXPECT_FLOAT_EQ(map_.gray_scale, 0.06375f);
    EXPECT_EQ(lx_cmap_get_color(&map_, 0), 0u) << "the lower bound itself is excluded";
    EXPECT_EQ(lx_cmap_get_color(&map_, 1), map_.palette[29993]);
    EXPECT_EQ(lx_cmap_get_color(&map_, 4000), map_.palette[0]);
    EXPECT_EQ(lx_cmap_get_color(&map_, 4001), 0u);
    EXPECT_EQ(lx_cmap_get_color(&map_, -7), 0u);
}

TEST_F(CmapTest, SpecialCodes) {
    lx_cmap_set_range(&map_, 0, 60000);
    EXPECT_EQ(lx_cmap_get_color(&map_, 65300), 0u);
    EXPECT_EQ(lx_cmap_get_color(&map_, 65400), 0x8000FFu);
    EXPECT_EQ(lx_cmap_get_color(&map_, 65500), 0xFF0EA9u);
    EXPECT_EQ(lx_cmap_get_gray(&map_, 65300), 0xFFFFFFu) << "not special for the gray ramp";
    EXPECT_EQ(lx_cmap_get_gray(&map_, 65400), 0x8000FFu);
    EXPECT_EQ(lx_cmap_get_gray(&map_, 65500), 0xFF0EA9u);
}

TEST_F(CmapTest, RangeInEitherOrderAndGrayRamp) {
    lx_cmap_set_range(&map_, 3000, 1000);
    EXPECT_EQ(map_.range_min, 1000);
    EXPECT_EQ(map_.range_max, 3000);
    EXPECT_EQ(lx_cmap_get_gray(&map_, 999), 0x000000u);
    EXPECT_EQ(lx_cmap_get_gray(&map_, 1000), 0x000000u);
    EXPECT_EQ(lx_cmap_get_gray(&map_, 2000), 0x7F7F7Fu);
    EXPECT_EQ(lx_cmap_get_gray(&map_, 3000), 0xFEFEFEu);
    EXPECT_EQ(lx_cmap_get_gray(&map_, 3001), 0xFFFFFFu);
    EXPECT_EQ(lx_cmap_get_color(&map_, 3000), map_.palette[0]);
    EXPECT_EQ(lx_cmap_get_color(&map_, 1001), map_.palette[30000 - 15]);
}

TEST_F(CmapTest, WholeInt32RangeNeedsNoOverflow) {
    lx_cmap_set_range(&map_, INT32_MIN, INT32_MAX);
    EXPECT_EQ(lx_cmap_get_color(&map_, INT32_MAX), map_.palette[0]);
    EXPECT_EQ(lx_cmap_get_gray(&map_, INT32_MIN), 0x000000u);
    EXPECT_EQ(lx_cmap_get_gray(&map_, 0), 0x7F7F7Fu);
    // Equal bounds after a wide range: a per-millimetre scale over billions of millimetres.
    lx_cmap_set_range(&map_, 7, 7);
    EXPECT_EQ(lx_cmap_get_color(&map_, INT32_MAX), map_.palette[0]);
}

TEST_F(CmapTest, EqualBoundsKeepRangeAndScaleAsOneMillimetre) {
    lx_cmap_set_range(&map_, 500, 500);
    EXPECT_EQ(map_.range_min, 0);
    EXPECT_EQ(map_.range_max, 4000);
    EXPECT_EQ(map_.index_scale, 30000.0f);
    EXPECT_EQ(map_.gray_scale, 255.0f);
    EXPECT_EQ(lx_cmap_get_color(&map_, 1), map_.palette[0]) << "k below zero clamps to entry 0";
}

TEST(Cmap, SmallPaletteAndMissingPalette) {
    lx_cmap map{};
    ASSERT_NE(lx_cmap_init(&map, 4), nullptr);
    // t = -0.25, 0, 0.25, 0.5
    EXPECT_EQ(map.palette[0], 0x7F0000u);
    EXPECT_EQ(map.palette[1], 0xFF7F00u);
    EXPECT_EQ(map.palette[2], 0x7FFF7Fu);
    EXPECT_EQ(map.palette[3], 0x00AAFFu);
    lx_cmap_uninit(&map);
    EXPECT_EQ(map.palette, nullptr);
    EXPECT_EQ(lx_cmap_get_color(&map, 100), 0u) << "lookups without a palette give black";
    lx_cmap_uninit(&map);
}

}  // namespace
