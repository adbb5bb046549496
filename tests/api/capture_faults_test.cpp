// Calls an application makes at the wrong moment during a capture (closing the device from inside
// a capture callback, polling one device from two threads), and frames the driver cannot
// describe.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "api/device_state.h"
#include "api/fake_transport.h"
#include "lumox/device.h"

namespace lumox::test {
namespace {

std::atomic<int> g_frames{0};
std::atomic<int> g_errors{0};

void close_on_frame(lumox_dev_t *dev, lumox_frame *) {
    ++g_frames;
    lumox_dev_close(dev);
    lumox_dev_close(dev);  // a second close inside the same callback changes nothing
    uint8_t buf[kFrameLen];
    EXPECT_EQ(lumox_cap_get_frame(dev, buf, sizeof buf, nullptr), LUMOX_CAP_BAD_CALL)
        << "the device counts as closed at once";
}

uint8_t close_on_error(lumox_dev_t *dev, int32_t, uint32_t) {
    ++g_errors;
    lumox_dev_close(dev);
    return 1;
}

class CaptureFaults : public FakeTransportTest {
  protected:
    void SetUp() override {
        FakeTransportTest::SetUp();
        g_frames = 0;
        g_errors = 0;
    }

    void open_and_start(lumox_dev_t *dev) {
        ASSERT_EQ(lumox_dev_open(dev), dev);
        ASSERT_TRUE(lumox_cap_set_frame_buffer(dev, nullptr, 8 * LUMOX_FRAME_BUF_UNIT));
        ASSERT_EQ(lumox_cap_start(dev), 1);
    }
};

TEST_F(CaptureFaults, CloseFromTheFrameCallbackCompletesWhenThePollReturns) {
    // A record the library frees at close: any use after the close is a heap error under ASan.
    auto *dev = static_cast<lumox_dev_t *>(std::calloc(1, sizeof(lumox_dev_t)));
    dev->release = 1;
    open_and_start(dev);
    lumox_cap_set_callback_on_frame_ready(dev, close_on_frame);
    emit(LUMOX_LL_CAP_DATA, frames(0, 3));
    EXPECT_EQ(lumox_cap_get_frames(dev, 3, nullptr, 0, nullptr), LUMOX_CAP_NOT_CAPTURING);
    EXPECT_EQ(g_frames.load(), 1) << "no frame is delivered after the close";
    EXPECT_EQ(fake().cap_stops.load(), 1);
    EXPECT_EQ(fake().closes.load(), 1);
}

TEST_F(CaptureFaults, CloseFromTheErrorCallbackInsideAWait) {
    open_and_start(&dev_);
    lumox_cap_set_callback_on_error(&dev_, close_on_error);
    lumox_cap_set_callback_on_frame_ready(&dev_, close_on_frame);
    emit(LUMOX_LL_CAP_STALL);
    for (int i = 0; i < 16; ++i) emit(LUMOX_LL_CAP_STALL);  // the capture ends with an error
    EXPECT_EQ(lumox_cap_wait(&dev_, 0), 1);
    EXPECT_EQ(g_errors.load(), 1);
    EXPECT_EQ(g_frames.load(), 0);
    EXPECT_EQ(dev_.state, nullptr) << "released when the wait returned";
    EXPECT_EQ(fake().closes.load(), 1);
    EXPECT_EQ(lumox_dev_open(&dev_), &dev_) << "the record opens again";
}

TEST_F(CaptureFaults, SnapshotWhoseCallbackClosesTheDevice) {
    ASSERT_EQ(lumox_dev_open(&dev_), &dev_);
    ASSERT_TRUE(lumox_cap_set_frame_buffer(&dev_, nullptr, 8 * LUMOX_FRAME_BUF_UNIT));
    lumox_cap_set_callback_on_frame_ready(&dev_, close_on_frame);
    fake().stream_on_start = frames(0, 2);
    EXPECT_EQ(lumox_cap_snapshot(&dev_, nullptr, 0, nullptr), 0) << "no frame reached the caller";
    EXPECT_EQ(g_frames.load(), 1);
    EXPECT_EQ(dev_.state, nullptr);
}

TEST_F(CaptureFaults, SecondThreadPollingTheSameDeviceIsRefused) {
    open_and_start(&dev_);
    std::vector<uint8_t> buf(4 * kFrameLen);
    std::atomic<int32_t> got{0};
    std::thread first([&] {
        got =
            lumox_cap_get_frames(&dev_, 4, buf.data(), static_cast<uint32_t>(buf.size()), nullptr);
    });
    while (dev_.state->poll_owner.load() == std::thread::id{}) std::this_thread::yield();

    uint8_t other[kFrameLen];
    emit(LUMOX_LL_CAP_DATA, frames(0, 1));
    EXPECT_EQ(lumox_cap_get_frames(&dev_, 1, other, sizeof other, nullptr), LUMOX_CAP_BAD_CALL);
    EXPECT_EQ(lumox_cap_get_frame(&dev_, other, sizeof other, nullptr), LUMOX_CAP_BAD_CALL);
    EXPECT_EQ(lumox_cap_wait(&dev_, 10), 0);
    EXPECT_EQ(lumox_cap_snapshot(&dev_, other, sizeof other, nullptr), 0);
    emit(LUMOX_LL_CAP_DATA, frames(1, 3));
    first.join();

    EXPECT_EQ(got.load(), 4) << "every frame reached the poll that was first";
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(buf[i * kFrameLen], i);
    lumox_cap_stats stats{};
    ASSERT_EQ(lumox_cap_get_stats(&dev_, &stats), 1);
    EXPECT_EQ(stats.frames_received, 4u);
    EXPECT_EQ(stats.frames_ready, 0u);
    uint8_t one[kFrameLen];
    EXPECT_EQ(lumox_cap_get_frame(&dev_, one, sizeof one, nullptr), 0)
        << "the role is free again once the first poll returned";
}

TEST_F(CaptureFaults, FrameTheDriverCannotDescribeIsCountedNotHandedOut) {
    open_and_start(&dev_);
    lumox_cap_set_callback_on_frame_ready(&dev_, [](lumox_dev_t *, lumox_frame *frame) {
        ++g_frames;
        EXPECT_NE(frame->info.frame_size, 0u);
    });
    // 15 bytes are no whole number of 4 x 2 pixels.
    emit(LUMOX_LL_CAP_DATA, segment(0, 0, 15, true, std::vector<uint8_t>(15, 0x33)));
    emit(LUMOX_LL_CAP_DATA, frames(1, 1));
    std::vector<uint8_t> buf(kFrameLen, 0xEE);
    lumox_frame_info info{};
    ASSERT_EQ(lumox_cap_get_frames(&dev_, 1, buf.data(), static_cast<uint32_t>(buf.size()), &info),
              1);
    EXPECT_EQ(info.frame_idx, 1);
    EXPECT_EQ(info.frame_size, kFrameLen);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(g_frames.load(), 1) << "the callback saw only the frame that was described";
    lx_raw_frame_info raw{};
    ASSERT_EQ(lumox_cap_get_raw_info(&dev_, &raw), 1);
    EXPECT_EQ(raw.fridx, 1);
    lumox_cap_stats stats{};
    ASSERT_EQ(lumox_cap_get_stats(&dev_, &stats), 1);
    EXPECT_EQ(stats.frames_received, 2u);
    EXPECT_EQ(stats.frames_discarded, 1u);
    EXPECT_EQ(stats.frames_ready, 0u);
}

}  // namespace
}  // namespace lumox::test
