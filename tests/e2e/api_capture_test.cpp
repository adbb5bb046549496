// The device and capture API against a virtual camera: identity at open, and hundreds of frames
// by polling and by callback, with consecutive indices and nothing lost at the camera's rate.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "lumox/lumox.h"
#include "support/vcam_fixture.h"
#include "vcam/stream.h"

namespace lumox::test {
namespace {

constexpr uint32_t kFrameRate = 30;
constexpr int kFrames = 100;
constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;
constexpr uint32_t kFrameBytes = 4 * kWidth * kHeight * 2;

// True when every sample of a format-2 frame holds the camera's pattern for its index.
bool holds_pattern(const uint8_t *data, uint16_t frame_idx) {
    for (uint32_t i = 0; i < kFrameBytes / 2; ++i) {
        const uint16_t sample = static_cast<uint16_t>(data[2 * i] | data[2 * i + 1] << 8);
        if (sample != vcam::pattern_sample(frame_idx, i)) return false;
    }
    return true;
}

class ApiCapture : public VcamTest {
  protected:
    ApiCapture() { options_.cameras[0].camera.frame_rate = kFrameRate; }

    void SetUp() override {
        VcamTest::SetUp();
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_ERR, nullptr);
        lumox_dev_t list[2];
        ASSERT_EQ(lumox_dev_list(list, 2), 1);
        dev_ = list[0];
        ASSERT_EQ(lumox_dev_open(&dev_), &dev_);
        ASSERT_TRUE(lumox_cap_set_frame_buffer(&dev_, nullptr, 10 * LUMOX_FRAME_BUF_UNIT));
    }

    void TearDown() override {
        lumox_dev_close(&dev_);
        EXPECT_EQ(dev_.state, nullptr);
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_WRN, nullptr);
        VcamTest::TearDown();
    }

    void expect_nothing_lost() {
        lumox_cap_stats stats{};
        ASSERT_TRUE(lumox_cap_get_stats(&dev_, &stats));
        EXPECT_EQ(stats.frames_discarded, 0u);
        EXPECT_EQ(stats.frames_overflowed, 0u);
        EXPECT_EQ(stats.bytes_dropped, 0u);
    }

    lumox_dev_t dev_{};
};

TEST_F(ApiCapture, OpenReadsTheIdentityAndPicksTheDriver) {
    EXPECT_STREQ(dev_.product, "LXC660-E2-2.0.3");
    EXPECT_STREQ(dev_.id2, "VC00001");
    EXPECT_EQ(dev_.location_valid, 1);
    const lumox_drv *drv = lumox_dev_get_drv(&dev_);
    ASSERT_NE(drv, nullptr);
    EXPECT_STREQ(drv->name, "EPC chip driver");

    lumox_param_item rate{};
    rate.param_id = LUMOX_PARAM_FRAME_RATE;
    ASSERT_TRUE(lumox_param_batch_get(&dev_, &rate, 1));
    EXPECT_EQ(rate.param_val_len, 4);
    EXPECT_EQ(rate.param_val[0], kFrameRate);
}

TEST_F(ApiCapture, PollingDeliversConsecutiveFramesIntact) {
    ASSERT_TRUE(lumox_cap_start(&dev_));
    std::vector<uint8_t> buf(kFrameBytes);
    int prev = -1;
    for (int i = 0; i < kFrames; ++i) {
        lumox_frame_info info{};
        ASSERT_EQ(lumox_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, &info), 1) << i;
        ASSERT_EQ(info.frame_size, kFrameBytes);
        ASSERT_EQ(info.frame_format, 2);
        ASSERT_EQ(info.width, kWidth);
        ASSERT_EQ(info.height, kHeight);
        if (prev >= 0) {
            ASSERT_EQ(info.frame_idx, static_cast<uint16_t>(prev + 1));
        }
        prev = info.frame_idx;
        ASSERT_TRUE(holds_pattern(buf.data(), info.frame_idx)) << "frame " << info.frame_idx;
    }
    lx_raw_frame_info raw{};
    ASSERT_TRUE(lumox_cap_get_raw_info(&dev_, &raw));
    EXPECT_EQ(raw.temp_sensor, 352);
    EXPECT_EQ(raw.temp_ib, 301);
    expect_nothing_lost();
    EXPECT_TRUE(lumox_cap_stop(&dev_));
    EXPECT_FALSE(lumox_cap_is_ongoing(&dev_));
    EXPECT_TRUE(wait_until([&] { return !camera().capturing(); }));
}

// Frames the callback saw, shared with the thread that ends the capture.
struct Received {
    std::mutex mutex;
    std::condition_variable enough;
    std::vector<uint16_t> indices;
    int broken = 0;
};
Received *g_received = nullptr;

void on_frame(lumox_dev_t *, lumox_frame *frame) {
    std::lock_guard lock(g_received->mutex);
    if (frame->info.frame_size != kFrameBytes || !holds_pattern(frame->data, frame->info.frame_idx))
        ++g_received->broken;
    g_received->indices.push_back(frame->info.frame_idx);
    if (g_received->indices.size() == kFrames) g_received->enough.notify_all();
}

TEST_F(ApiCapture, CallbackDeliversConsecutiveFramesUntilStopped) {
    Received received;
    g_received = &received;
    lumox_cap_set_callback_on_frame_ready(&dev_, on_frame);
    ASSERT_TRUE(lumox_cap_start(&dev_));
    std::thread stopper([&] {
        std::unique_lock lock(received.mutex);
        received.enough.wait(lock, [&] { return received.indices.size() >= kFrames; });
        lock.unlock();
        lumox_cap_stop(&dev_);
    });
    EXPECT_TRUE(lumox_cap_wait(&dev_, 30000));
    stopper.join();
    g_received = nullptr;

    ASSERT_GE(received.indices.size(), static_cast<size_t>(kFrames));
    EXPECT_EQ(received.broken, 0);
    for (size_t i = 1; i < received.indices.size(); ++i) {
        ASSERT_EQ(received.indices[i], static_cast<uint16_t>(received.indices[i - 1] + 1)) << i;
    }
    expect_nothing_lost();
}

// A poll for one frame into a caller's buffer while more frames are ready and a callback is set:
// the callback gets every frame whole (the requested one from the caller's buffer, the rest from
// the library's own), and the caller's buffer beyond the requested frame stays untouched although
// it has room for part of another frame; a buffer too short for the frame gets its first bytes.
TEST_F(ApiCapture, FramesBeyondARequestReachTheCallbackWholeAndSpareTheCallersBuffer) {
    ASSERT_TRUE(lumox_cap_set_frame_buffer(&dev_, nullptr, 32 * LUMOX_FRAME_BUF_UNIT));
    Received received;
    g_received = &received;
    lumox_cap_set_callback_on_frame_ready(&dev_, on_frame);
    ASSERT_TRUE(lumox_cap_start(&dev_));
    std::vector<uint8_t> buf(2 * kFrameBytes);
    const uint32_t len = kFrameBytes + kFrameBytes / 2;
    size_t seen = 0;
    for (int round = 0; round < 4; ++round) {
        ASSERT_TRUE(wait_until([&] {
            lumox_cap_stats stats{};
            return lumox_cap_get_stats(&dev_, &stats) && stats.frames_ready >= 3;
        }));
        std::fill(buf.begin(), buf.end(), uint8_t{0xEE});
        lumox_frame_info info{};
        ASSERT_EQ(lumox_cap_get_frames(&dev_, 1, buf.data(), len, &info), 1) << round;
        EXPECT_TRUE(holds_pattern(buf.data(), info.frame_idx)) << round;
        EXPECT_TRUE(
            std::all_of(buf.begin() + kFrameBytes, buf.end(), [](uint8_t b) { return b == 0xEE; }))
            << "round " << round << ": a frame beyond the request went into the caller's buffer";
        std::lock_guard lock(received.mutex);
        EXPECT_GE(received.indices.size(), seen + 3) << "every ready frame reached the callback";
        seen = received.indices.size();
    }
    std::fill(buf.begin(), buf.end(), uint8_t{0xEE});
    lumox_frame_info info{};
    ASSERT_EQ(lumox_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes / 2, &info), 1);
    for (uint32_t i = 0; i < kFrameBytes / 4; ++i) {
        ASSERT_EQ(buf[2 * i] | buf[2 * i + 1] << 8, vcam::pattern_sample(info.frame_idx, i)) << i;
    }
    EXPECT_EQ(buf[kFrameBytes / 2], 0xEE);
    EXPECT_TRUE(lumox_cap_stop(&dev_));
    g_received = nullptr;
    EXPECT_EQ(received.broken, 0);
    for (size_t i = 1; i < received.indices.size(); ++i) {
        ASSERT_NE(received.indices[i], received.indices[i - 1]) << i;
    }
}

TEST_F(ApiCapture, SnapshotTakesOneFrameAndStops) {
    std::vector<uint8_t> buf(kFrameBytes);
    lumox_frame_info info{};
    ASSERT_TRUE(lumox_cap_snapshot(&dev_, buf.data(), kFrameBytes, &info));
    EXPECT_EQ(info.frame_size, kFrameBytes);
    EXPECT_TRUE(holds_pattern(buf.data(), info.frame_idx));
    EXPECT_FALSE(lumox_cap_is_ongoing(&dev_));
}

TEST_F(ApiCapture, StalledEndpointEndsTheCaptureWithAStallError) {
    ASSERT_TRUE(lumox_cap_start(&dev_));
    camera().fault_bulk(vcam::BulkAction::kStall, 1000);
    std::vector<uint8_t> buf(kFrameBytes);
    int32_t r = 0;
    for (int i = 0; i < 100 && r >= 0; ++i) {
        r = lumox_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, nullptr);
    }
    EXPECT_EQ(r, LUMOX_ERR_CAP_STALL);
    camera().clear_faults();
}

}  // namespace
}  // namespace lumox::test
