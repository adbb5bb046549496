#include "evk/roi.h"

#include <gtest/gtest.h>

#include "evk_fixture.h"

namespace lumox::evk::test {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class RoiTest : public EvkTest {
  protected:
    std::string set(int x1, int x2, int y1, int y2, int *result) {
        CaptureStdout();
        *result = apiSetROI(x1, x2, y1, y2, 32);
        return GetCapturedStdout();
    }
};

TEST_F(RoiTest, AcceptedRegionIsWrittenAndSizesTheFrame) {
    int result = -1;
    EXPECT_EQ(set(4, 323, 6, 125, &result), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(pruGetNCols(), 320);
    EXPECT_EQ(pruGetNRowsPerHalf(), 120);

    set(10, 21, 2, 9, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(pruGetNCols(), 12);
    EXPECT_EQ(pruGetNRowsPerHalf(), 8);
    EXPECT_THAT(fake_.writes_from(fake_.writes.size() - 6),
                testing::ElementsAreArray(std::vector<RegWrite>{
                    {150, 0}, {151, 10}, {152, 0}, {153, 21}, {154, 2}, {155, 9}}));
    EXPECT_EQ(readOutGetTopLeftY(), 2);
    EXPECT_EQ(readOutGetBottomRightX(), 21);
}

TEST_F(RoiTest, BadCoordinatesAreRefused) {
    int result = 0;
    for (auto [x1, x2] : std::vector<std::pair<int, int>>{
             {5, 323}, {4, 322}, {4, 329}, {-2, 323}, {100, 99}, {0, 3}}) {
        EXPECT_EQ(set(x1, x2, 6, 125, &result), "bad x coordinates\n") << x1 << "," << x2;
        EXPECT_EQ(result, -1);
    }
    for (auto [y1, y2] :
         std::vector<std::pair<int, int>>{{7, 125}, {6, 124}, {6, 127}, {-2, 125}, {50, 49}}) {
        EXPECT_EQ(set(4, 323, y1, y2, &result), "bad y coordinates\n") << y1 << "," << y2;
        EXPECT_EQ(result, -1);
    }
    EXPECT_TRUE(fake_.writes.empty());
}

TEST_F(RoiTest, RegionMustCoverTheReducedMinimum) {
    pruSetColReduction(1);
    int result = 0;
    EXPECT_EQ(set(4, 13, 6, 125, &result), "size too small: min size = 12 x 2\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(set(4, 15, 6, 125, &result), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(pruGetNCols(), 6);
}

TEST_F(RoiTest, AbsSwitchReturnsTheFlag) {
    EXPECT_EQ(apiEnableABS(1, 32), 1);
    EXPECT_EQ(fake_.regs[40] & 0x30, 0x30);
    EXPECT_EQ(apiEnableABS(0, 32), 0);
    EXPECT_EQ(fake_.regs[40] & 0x30, 0);
}

}  // namespace
}  // namespace lumox::evk::test
