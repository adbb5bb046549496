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

}  // namespace
}  // namespace lumox::evk::test
