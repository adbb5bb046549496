#include "evk/bad_pixels.h"

#include <gtest/gtest.h>

#include "evk_fixture.h"

namespace lumox::evk::test {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class ImageCorrectionTest : public EvkTest {
  protected:
    int load(const std::string &text) {
        write_file("image_correction.txt", text.data(), text.size());
        return imageCorrectionLoad((prefix_ + "image_correction.txt").c_str());
    }
};

TEST_F(ImageCorrectionTest, LoadReadsFixedColumns) {
    CaptureStdout();
    EXPECT_EQ(load("010 020 NW\n011 021 W\n012 022 E\nbad line\n013 023 X\n014 024 SE"), 4);
    EXPECT_EQ(GetCapturedStdout(), "strN == W\nstrN == E\n");
    ASSERT_EQ(bad_pixels().size(), 4u);
    EXPECT_EQ(bad_pixels()[0].x, 10);
    EXPECT_EQ(bad_pixels()[0].y, 20);
    EXPECT_EQ(bad_pixels()[0].direction, Direction::NW);
    EXPECT_EQ(bad_pixels()[3].direction, Direction::SE);
    EXPECT_EQ(imageCorrectionLoad((prefix_ + "missing.txt").c_str()), -1);
}

TEST_F(ImageCorrectionTest, TransformMapsPixelsIntoTheRegion) {
    ASSERT_EQ(apiSetROI(4, 323, 6, 125, 32), 0);
    load(
        "010 020 N\n004 030 W\n323 030 E\n100 006 S\n100 006 W\n003 030 N\n100 245 N\n100 246 N\n");
    CaptureStdout();
    int kept = imageCorrectionTransform();
    EXPECT_EQ(GetCapturedStdout(),
              "pixel 4,30 can not be corrected\npixel 323,30 can not be corrected\n"
              "pixel 100,6 can not be corrected\n");
    ASSERT_EQ(kept, 3);
    const auto &list = bad_pixel_corrections();
    EXPECT_EQ(list[0].index, 320 * (20 - 6) + (10 - 4));
    EXPECT_EQ(list[1].index, 320 * 0 + 96);    // (100, 6) W sits on the top edge but may go west
    EXPECT_EQ(list[2].index, 320 * 239 + 96);  // row 251 - top is the last one kept

    // Column reduction halves the column index; dual-MGX mode steps rows by two.
    pruSetColReduction(1);
    ASSERT_EQ(apiSetROI(4, 323, 6, 125, 32), 0);
    pixel_settings().dual_mgx = true;
    load("010 020 N\n");
    ASSERT_EQ(imageCorrectionTransform(), 1);
    EXPECT_EQ(bad_pixel_corrections()[0].index, 160 * 7 + 3);
}

TEST_F(ImageCorrectionTest, EnableSwitch) {
    imageCorrectionEnable(1);
    EXPECT_TRUE(bad_pixels_enabled());
    imageCorrectionEnable(0);
    EXPECT_FALSE(bad_pixels_enabled());
}

}  // namespace
}  // namespace lumox::evk::test
