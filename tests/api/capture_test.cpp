#include "api/capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "api/fake_transport.h"
#include "lumox/device.h"

namespace lumox::test {
namespace {

// What the callbacks saw.
struct Seen {
    std::vector<uint16_t> indices;
    std::vector<uint8_t> first_bytes;
    std::vector<uint8_t> last_bytes;
    std::vector<int32_t> errors;
    std::vector<uint32_t> error_args;
    uint8_t error_answer = 1;
};
Seen g_seen;

void on_frame(lumox_dev_t *, lumox_frame *frame) {
    g_seen.indices.push_back(frame->info.frame_idx);
    g_seen.first_bytes.push_back(frame->data[0]);
    g_seen.last_bytes.push_back(frame->data[frame->info.frame_size - 1]);
}

uint8_t on_error(lumox_dev_t *, int32_t error, uint32_t arg) {
    g_seen.errors.push_back(error);
    g_seen.error_args.push_back(arg);
    return g_seen.error_answer;
}

class Capture : public FakeTransportTest {
  protected:
    void SetUp() override {
        FakeTransportTest::SetUp();
        g_seen = Seen{};
        ASSERT_NE(open_device(), nullptr);
        ASSERT_TRUE(lumox_cap_set_frame_buffer(&dev_, nullptr, 3 * LUMOX_FRAME_BUF_UNIT));
    }

    void start() { ASSERT_EQ(lumox_cap_start(&dev_), 1); }

    // A frame that began and then lost its continuation: the stream discards it.
    void emit_discarded_frame(uint16_t sidx) {
        emit(LUMOX_LL_CAP_DATA, segment(sidx, 50, kFrameLen, true, std::vector<uint8_t>(8, 1)));
        emit(LUMOX_LL_CAP_DATA, segment(static_cast<uint16_t>(sidx + 2), 50, kFrameLen, false,
                                        std::vector<uint8_t>(8, 1)));
    }
};

TEST_F(Capture, BufferBelowTwoFramesRefusesTheStart) {
    ASSERT_TRUE(lumox_cap_set_frame_buffer(&dev_, nullptr, 307199));
    EXPECT_EQ(lumox_cap_start(&dev_), 0);
    EXPECT_EQ(fake().cap_starts.load(), 0);
    EXPECT_EQ(dev_.busy, 0);

    ASSERT_TRUE(lumox_cap_set_frame_buffer(&dev_, nullptr, 614400));
    uint32_t size = 0;
    void *buf = &size;
    ASSERT_TRUE(lumox_cap_get_frame_buffer(&dev_, &buf, &size));
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(size, 614400u);
    EXPECT_EQ(lumox_cap_start(&dev_), 1);
    EXPECT_EQ(lumox_cap_is_ongoing(&dev_), 1);
    EXPECT_EQ(lumox_cap_set_frame_buffer(&dev_, nullptr, 614400), 0) << "refused while capturing";
    EXPECT_EQ(api::cap_frame_rate(), 10u) << "frame rate read at start";
}

TEST_F(Capture, PollingResultsForBadCallsAndIdleDevices) {
    uint8_t buf[64];
    EXPECT_EQ(lumox_cap_get_frames(nullptr, 1, buf, sizeof buf, nullptr), -1);
    EXPECT_EQ(lumox_cap_get_frames(&dev_, 0, buf, sizeof buf, nullptr), -1);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(lumox_cap_get_frames(&dev_, 1, buf, sizeof buf, nullptr), -2);
    EXPECT_EQ(lumox_cap_get_frame(&dev_, buf, sizeof buf, nullptr), -2);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500))
        << "an idle device does not wait";
    EXPECT_EQ(lumox_cap_wait(&dev_, 10), 0);
    EXPECT_EQ(dev_.busy, 0);
}

TEST_F(Capture, PollTimeOutGrowsWithFramesAndFrameTime) {
    EXPECT_EQ(api::cap_timeout_ms(5, 10), 3000u);
    EXPECT_EQ(api::cap_timeout_ms(1, 0), 2150u) << "unknown frame rate counts 50 ms a frame";
    EXPECT_EQ(api::cap_timeout_ms(UINT32_MAX, 1), 1100ull * UINT32_MAX + 2000) << "no overflow";
}

TEST_F(Capture, DeliversRequestedFramesSideBySideAndKeepsTheRest) {
    start();
    emit(LUMOX_LL_CAP_DATA, frames(0, 3));
    std::vector<uint8_t> buf(2 * kFrameLen, 0xEE);
    lumox_frame_info info{};
    ASSERT_EQ(lumox_cap_get_frames(&dev_, 2, buf.data(), static_cast<uint32_t>(buf.size()), &info),
              2);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[kFrameLen - 1], 0);
    EXPECT_EQ(buf[kFrameLen], 1);
    EXPECT_EQ(buf[2 * kFrameLen - 1], 1);
    EXPECT_EQ(info.frame_idx, 0);
    EXPECT_EQ(info.frame_size, kFrameLen);
    EXPECT_EQ(info.frame_format, 2);
    EXPECT_EQ(info.width, kFrameWidth);
    EXPECT_EQ(info.height, kFrameHeight);
    EXPECT_EQ(info.pixel_bytes, 2);
    ASSERT_EQ(lumox_cap_get_frame(&dev_, buf.data(), static_cast<uint32_t>(buf.size()), &info), 1)
        << "the third frame waits for the next call";
    EXPECT_EQ(info.frame_idx, 2);
    EXPECT_EQ(buf[0], 2);
    EXPECT_EQ(lumox_cap_get_frame(&dev_, buf.data(), static_cast<uint32_t>(buf.size()), nullptr),
              0);
    EXPECT_EQ(dev_.busy, 0);
}

TEST_F(Capture, ShortBufferReceivesTheFirstBytesOnly) {
    start();
    emit(LUMOX_LL_CAP_DATA, frames(7, 1));
    std::vector<uint8_t> buf(kFrameLen, 0xEE);
    ASSERT_EQ(lumox_cap_get_frames(&dev_, 1, buf.data(), 5, nullptr), 1);
    EXPECT_EQ(buf[4], 7);
    EXPECT_EQ(buf[5], 0xEE);
}

TEST_F(Capture, FrameReadyCallbackSeesEveryFrame) {
    lumox_cap_set_callback_on_frame_ready(&dev_, on_frame);
    start();
    emit(LUMOX_LL_CAP_DATA, frames(4, 3));
    EXPECT_EQ(lumox_cap_get_frames(&dev_, 3, nullptr, 0, nullptr), 3);
    EXPECT_EQ(g_seen.indices, (std::vector<uint16_t>{4, 5, 6}));
    EXPECT_EQ(g_seen.first_bytes, (std::vector<uint8_t>{4, 5, 6}));

    lx_raw_frame_info raw{};
    ASSERT_EQ(lumox_cap_get_raw_info(&dev_, &raw), 1);
    EXPECT_EQ(raw.fridx, 6) << "the last frame delivered";
    EXPECT_EQ(raw.temp_sensor, 412);
    EXPECT_EQ(raw.temp_ib, 385);
    lumox_cap_stats stats{};
    ASSERT_EQ(lumox_cap_get_stats(&dev_, &stats), 1);
    EXPECT_EQ(stats.frames_received, 3u);
    EXPECT_EQ(stats.frames_queued, 3u);
    EXPECT_EQ(stats.frames_ready, 0u);
}

TEST_F(Capture, CallbackFramesLargerThanTheScratchBufferArriveWhole) {
    lumox_cap_set_callback_on_frame_ready(&dev_, on_frame);
    start();
    constexpr uint32_t kBig = 4194304 + 16;
    std::vector<uint8_t> data(kBig, 9);
    data.back() = 0x5A;
    constexpr uint32_t kPiece = 0x80000;
    uint16_t sidx = 0;
    for (uint32_t off = 0; off < kBig; off += kPiece, ++sidx) {
        const uint32_t n = std::min(kPiece, kBig - off);
        emit(LUMOX_LL_CAP_DATA,
             segment(sidx, 0, kBig, off == 0,
                     std::vector<uint8_t>(data.begin() + off, data.begin() + off + n)));
    }
    EXPECT_EQ(lumox_cap_get_frames(&dev_, 1, nullptr, 0, nullptr), 1);
    ASSERT_EQ(g_seen.last_bytes.size(), 1u);
    EXPECT_EQ(g_seen.last_bytes[0], 0x5A);
}

// A frame-ready callback that polls the device in turn, once, for the first frame it sees.
struct NestedPoll {
    int depth = 0;
    bool polled = false;
    std::vector<uint8_t> inner_buf = std::vector<uint8_t>(kFrameLen, 0xEE);
    int32_t inner_result = 0;
    uint8_t outer_byte_after = 0;
    std::atomic<bool> inner_done{false};
};
NestedPoll *g_nested = nullptr;

void on_frame_polling(lumox_dev_t *dev, lumox_frame *frame) {
    on_frame(dev, frame);
    if (g_nested->depth++ == 0 && !g_nested->polled) {
        g_nested->polled = true;
        g_nested->inner_result = lumox_cap_get_frame(dev, g_nested->inner_buf.data(),
                                                     static_cast<uint32_t>(kFrameLen), nullptr);
        g_nested->outer_byte_after = frame->data[0];
        g_nested->inner_done = true;
    }
    --g_nested->depth;
}

TEST_F(Capture, CallbackPollingInTurnLeavesTheOuterRequestInForce) {
    NestedPoll nested;
    g_nested = &nested;
    lumox_cap_set_callback_on_frame_ready(&dev_, on_frame_polling);
    start();
    emit(LUMOX_LL_CAP_DATA, frames(0, 2));
    // The third frame arrives after the pass that ran the inner poll: the outer call must still
    // deliver it into its own buffer.
    std::thread feeder([&nested] {
        while (!nested.inner_done) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        emit(LUMOX_LL_CAP_DATA, frames(2, 1));
    });
    std::vector<uint8_t> buf(2 * kFrameLen, 0xEE);
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t got =
        lumox_cap_get_frames(&dev_, 2, buf.data(), static_cast<uint32_t>(buf.size()), nullptr);
    feeder.join();
    EXPECT_EQ(got, 2);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000))
        << "the outer call did not wait for its time-out";
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[kFrameLen], 2) << "the frame after the inner poll went to the outer buffer";
    EXPECT_EQ(nested.inner_result, 1);
    EXPECT_EQ(nested.inner_buf[0], 1);
    EXPECT_EQ(nested.outer_byte_after, 0) << "the outer frame's bytes survive the inner poll";
    EXPECT_EQ(g_seen.indices, (std::vector<uint16_t>{0, 1, 2}));
    g_nested = nullptr;
}

TEST_F(Capture, WaitingPollWakesWhenFramesArrive) {
    start();
    std::vector<uint8_t> buf(2 * kFrameLen);
    const auto t0 = std::chrono::steady_clock::now();
    std::thread feeder([] {
        emit(LUMOX_LL_CAP_DATA, frames(0, 1));
        emit(LUMOX_LL_CAP_DATA, frames(1, 1));
    });
    const int32_t got =
        lumox_cap_get_frames(&dev_, 2, buf.data(), static_cast<uint32_t>(buf.size()), nullptr);
    feeder.join();
    EXPECT_EQ(got, 2);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
}

TEST_F(Capture, WaitDeliversToTheCallbackUntilTheCaptureEnds) {
    lumox_cap_set_callback_on_frame_ready(&dev_, on_frame);
    ASSERT_TRUE(lumox_cap_set_frame_buffer(&dev_, nullptr, 32 * LUMOX_FRAME_BUF_UNIT));
    start();
    std::thread feeder([] {
        for (uint16_t i = 0; i < 20; ++i) emit(LUMOX_LL_CAP_DATA, frames(i, 1));
        emit(LUMOX_LL_CAP_CANCELLED);
    });
    EXPECT_EQ(lumox_cap_wait(&dev_, 0), 1);
    feeder.join();
    EXPECT_EQ(lumox_cap_is_ongoing(&dev_), 1) << "ongoing until lumox_cap_stop";
    EXPECT_EQ(g_seen.indices.size(), 20u);
    EXPECT_EQ(fake().aborts.load(), 1);
}

TEST_F(Capture, StallsInARowEndTheCapture) {
    start();
    for (int i = 0; i < 16; ++i) emit(LUMOX_LL_CAP_STALL);
    emit(LUMOX_LL_CAP_DATA, frames(0, 1));  // data clears the count
    for (int i = 0; i < 16; ++i) emit(LUMOX_LL_CAP_STALL);
    uint8_t buf[kFrameLen];
    EXPECT_EQ(lumox_cap_get_frame(&dev_, buf, sizeof buf, nullptr), 1);
    EXPECT_EQ(fake().aborts.load(), 0);

    emit(LUMOX_LL_CAP_STALL);
    EXPECT_EQ(fake().aborts.load(), 1);
    EXPECT_EQ(lumox_cap_get_frames(&dev_, 1, buf, sizeof buf, nullptr), LUMOX_ERR_CAP_STALL);
    EXPECT_EQ(lumox_cap_get_frame(&dev_, buf, sizeof buf, nullptr), LUMOX_ERR_CAP_STALL)
        << "the error stays without an error callback";

    start();  // a new capture starts clean
    EXPECT_EQ(fake().cap_stops.load(), 1);
    EXPECT_EQ(lumox_cap_get_frame(&dev_, buf, sizeof buf, nullptr), 0);
}

TEST_F(Capture, MoreThanThirtyTwoTimeOutsEndTheCapture) {
    start();
    for (int i = 0; i < 32; ++i) {
        emit(LUMOX_LL_CAP_TIMEOUT);
        if (i == 10) emit(LUMOX_LL_CAP_DATA, frames(0, 1));  // does not clear time-outs
    }
    uint8_t buf[kFrameLen];
    EXPECT_EQ(lumox_cap_get_frame(&dev_, buf, sizeof buf, nullptr), 1);
    emit(LUMOX_LL_CAP_TIMEOUT);
    EXPECT_EQ(lumox_cap_get_frames(&dev_, 1, buf, sizeof buf, nullptr), LUMOX_ERR_CAP_TIMEOUT);
    EXPECT_EQ(fake().aborts.load(), 1);
}

TEST_F(Capture, TransferErrorWakesAWaitingPoll) {
    start();
    uint8_t buf[kFrameLen];
    const auto t0 = std::chrono::steady_clock::now();
    std::thread feeder([] { emit(LUMOX_LL_CAP_ERROR); });
    const int32_t first = lumox_cap_get_frames(&dev_, 1, buf, sizeof buf, nullptr);
    feeder.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
    EXPECT_TRUE(first == 0 || first == LUMOX_ERR_CAP_UNKNOWN) << first;
    EXPECT_EQ(lumox_cap_get_frames(&dev_, 1, buf, sizeof buf, nullptr), LUMOX_ERR_CAP_UNKNOWN);
}

TEST_F(Capture, ErrorCallbackStoppingOnDiscardEndsPolling) {
    lumox_cap_set_callback_on_error(&dev_, on_error);
    g_seen.error_answer = 0;
    start();
    emit(LUMOX_LL_CAP_DATA, frames(0, 1));
    uint8_t buf[kFrameLen];
    ASSERT_EQ(lumox_cap_get_frames(&dev_, 1, buf, sizeof buf, nullptr), 1);

    emit_discarded_frame(1);
    EXPECT_EQ(lumox_cap_get_frames(&dev_, 2, buf, sizeof buf, nullptr), 0);
    ASSERT_EQ(g_seen.errors.size(), 1u);
    EXPECT_EQ(g_seen.errors[0], LUMOX_ERR_CAP_FRAME_DISCARD);
    EXPECT_EQ(g_seen.error_args[0], 1u);

    emit(LUMOX_LL_CAP_DATA, frames(5, 1));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(lumox_cap_get_frames(&dev_, 1, buf, sizeof buf, nullptr), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_EQ(lumox_cap_is_ongoing(&dev_), 1);
    EXPECT_EQ(lumox_cap_stop(&dev_), 1);
    EXPECT_EQ(lumox_cap_is_ongoing(&dev_), 0);
}

TEST_F(Capture, ErrorCallbackGoingOnKeepsFramesFlowing) {
    lumox_cap_set_callback_on_error(&dev_, on_error);
    start();
    emit_discarded_frame(0);
    emit(LUMOX_LL_CAP_DATA, frames(3, 1));
    uint8_t buf[kFrameLen];
    EXPECT_EQ(lumox_cap_get_frames(&dev_, 1, buf, sizeof buf, nullptr), 1);
    EXPECT_EQ(buf[0], 3);
    EXPECT_EQ(g_seen.errors.size(), 1u);
}

TEST_F(Capture, SnapshotStartsAndStopsAroundOneFrame) {
    fake().stream_on_start = frames(9, 1);
    uint8_t buf[kFrameLen] = {};
    lumox_frame_info info{};
    EXPECT_EQ(lumox_cap_snapshot(&dev_, buf, sizeof buf, &info), 1);
    EXPECT_EQ(buf[0], 9);
    EXPECT_EQ(info.frame_idx, 9);
    EXPECT_EQ(fake().cap_stops.load(), 1);
    EXPECT_EQ(lumox_cap_is_ongoing(&dev_), 0);
}

TEST_F(Capture, FailedStartReportsFailureEverywhere) {
    fake().cap_start_ok = false;
    uint8_t buf[kFrameLen];
    EXPECT_EQ(lumox_cap_start(&dev_), 0);
    EXPECT_EQ(lumox_cap_is_ongoing(&dev_), 0);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(lumox_cap_get_frames(&dev_, 1, buf, sizeof buf, nullptr), -2);
    EXPECT_EQ(lumox_cap_snapshot(&dev_, buf, sizeof buf, nullptr), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
}

TEST_F(Capture, StopThatTheTransportRefusesKeepsCapturing) {
    start();
    fake().cap_stop_ok = false;
    EXPECT_EQ(lumox_cap_stop(&dev_), 1);
    EXPECT_EQ(lumox_cap_is_ongoing(&dev_), 1);
    fake().cap_stop_ok = true;
}

TEST(CaptureErrors, Names) {
    EXPECT_STREQ(lumox_error_name(0), "OK");
    EXPECT_STREQ(lumox_error_name(3), "LUMOX_ERR_CAP_FRAME_DISCARD");
    EXPECT_STREQ(lumox_error_name(-5), "LUMOX_ERR_CAP_TIMEOUT");
    EXPECT_STREQ(lumox_error_name(-7), "LUMOX_ERR_CAP_STALL");
    EXPECT_STREQ(lumox_error_name(-8), "LUMOX_ERR_CAP_ERROR");
    EXPECT_STREQ(lumox_error_name(-10), "LUMOX_ERR_CAP_UNKNOWN");
    EXPECT_STREQ(lumox_error_name(-6), "**UNKNOWN**");
    EXPECT_STREQ(lumox_error_name(4), "**UNKNOWN**");
    EXPECT_STREQ(lumox_error_name(-11), "**UNKNOWN**");
}

}  // namespace
}  // namespace lumox::test
