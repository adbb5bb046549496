#include "evk/pru.h"

#include <gtest/gtest.h>

#include "evk_fixture.h"

namespace lumox::evk::test {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class PruTest : public EvkTest {};

constexpr int kSamples = 320 * 4 * 120 * 2;

TEST_F(PruTest, GeometryFollowsSizeAndReductions) {
    EXPECT_EQ(pruGetNCols(), 320);
    EXPECT_EQ(pruGetNRowsPerHalf(), 120);
    EXPECT_EQ(pruGetNDCS(), 4);
    EXPECT_EQ(expected_frame_bytes(), kSamples * 2);

    pruSetSize(100, 60);
    pruSetColReduction(1);
    pruSetRowReduction(2);
    EXPECT_EQ(pruGetColReduction(), 2);
    EXPECT_EQ(pruGetRowReduction(), 4);
    EXPECT_EQ(pruGetNCols(), 50);
    EXPECT_EQ(pruGetNRowsPerHalf(), 15);
    EXPECT_EQ(pruSetColReduction(40), -1);
    EXPECT_EQ(pruGetColReduction(), 2);
}

TEST_F(PruTest, InjectedImageOfTheRightSizeIsUsedOnce) {
    std::vector<uint16_t> samples(kSamples, 9);
    pru_image image{static_cast<uint32_t>(samples.size() * 2), samples.data()};
    pruSetImage(&image);
    uint16_t *data = nullptr;
    EXPECT_EQ(pruGetImage(&data), kSamples);
    EXPECT_EQ(data, samples.data());
    EXPECT_EQ(fake_.captures, 0);
}

TEST_F(PruTest, InjectedImageOfTheWrongSizeIsConsumedAndReported) {
    std::vector<uint16_t> samples(100, 9);
    pru_image image{200, samples.data()};
    pruSetImage(&image);
    uint16_t *data = nullptr;
    CaptureStdout();
    EXPECT_EQ(pruGetImage(&data), kSamples);
    EXPECT_EQ(GetCapturedStdout(), " wrong frame size: expect 614400, get 200\n");
    // Too short to read: the caller gets a zeroed frame instead.
    ASSERT_NE(data, samples.data());
    EXPECT_EQ(data[0], 0);
    EXPECT_EQ(data[kSamples - 1], 0);
    EXPECT_EQ(fake_.captures, 0);

    // The injection is gone: the next fetch captures.
    fake_.frame_bytes.assign(kSamples * 2, 1);
    CaptureStdout();
    EXPECT_EQ(pruGetImage(&data), kSamples);
    EXPECT_EQ(GetCapturedStdout(), " get one frame #7: 320x240, size=614400\n");
    EXPECT_EQ(fake_.captures, 1);
    EXPECT_EQ(data[0], 0x0101);
    EXPECT_FALSE(fake_.capturing);  // stopped again
}

TEST_F(PruTest, FailedOrMisSizedCaptureYieldsZeros) {
    fake_.frame_bytes.assign(1000, 0xFF);
    uint16_t *data = nullptr;
    CaptureStdout();
    EXPECT_EQ(pruGetImage(&data), kSamples);
    EXPECT_EQ(
        GetCapturedStdout(),
        " get one frame #7: 320x240, size=1000\n wrong frame size: expect 614400, get 1000\n");
    EXPECT_EQ(data[0], 0);

    fake_.frame_ok = false;
    CaptureStdout();
    pruGetImage(&data);
    EXPECT_EQ(GetCapturedStdout(), " get frame failed\n");
    EXPECT_FALSE(fake_.capturing);
}

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
