// The fault matrix through the real libusb: each fault the camera or the bus can show, injected
// into a running virtual camera, with the outcome the library promises, a bound on how long it
// takes, no transfer or interface left behind at close, and the frame counters adding up.
//
// Frame accounting: the camera sends one segment per frame here, so every frame the parser
// begins is either handed out, still ready, dropped for capacity, or discarded whole (a frame
// whose segment fails its checksum counts as received and as discarded), and
//     frames_received == delivered + frames_discarded + frames_overflowed + frames_ready.
// The dropped-segment case sends frames of four segments, where a discarded frame was never
// complete, and checks the matching identity.

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lumox/lumox.h"
#include "support/temp_dir.h"
#include "support/vcam_fixture.h"
#include "testing/hooks.h"
#include "vcam/stream.h"
#include "vcam/wire.h"

namespace lumox::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;
constexpr uint32_t kFrameBytes = 4 * kWidth * kHeight * 2;

bool holds_pattern(const uint8_t *data, uint16_t frame_idx) {
    const uint32_t samples = 4 * kWidth * kHeight;
    for (uint32_t i = 0; i < samples; i += 997) {
        const uint16_t sample = static_cast<uint16_t>(data[2 * i] | data[2 * i + 1] << 8);
        if (sample != vcam::pattern_sample(frame_idx, i)) return false;
    }
    const uint32_t last = samples - 1;
    return static_cast<uint16_t>(data[2 * last] | data[2 * last + 1] << 8) ==
           vcam::pattern_sample(frame_idx, last);
}

// Capture errors the error callback saw, in order.
struct ErrorLog {
    std::mutex mutex;
    std::vector<std::pair<int32_t, uint32_t>> errors;
};
ErrorLog *g_errors = nullptr;

uint8_t on_error(lumox_dev_t *, int32_t error, uint32_t arg) {
    std::lock_guard lock(g_errors->mutex);
    g_errors->errors.emplace_back(error, arg);
    return 1;
}

class FaultMatrix : public VcamTest {
  protected:
    FaultMatrix() {
        options_.cameras[0].camera.frame_rate = 50;
        options_.cameras[0].camera.stream.segment_size = kFrameBytes;
    }

    void SetUp() override {
        VcamTest::SetUp();
        dir_ = std::make_unique<TempDir>();
        log_path_ = dir_->file("faults.log");
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_OFF, nullptr);
        ASSERT_TRUE(lx_log_enable(LX_LOG_OUT_FILE, LX_LOG_DBG, log_path_.c_str()));
        saved_timeouts_ = ll::usb_timeouts();
        g_errors = &errors_;
        lumox_dev_t list[2];
        ASSERT_EQ(lumox_dev_list(list, 2), 1);
        dev_ = list[0];
        ASSERT_EQ(lumox_dev_open(&dev_), &dev_);
        ASSERT_TRUE(lumox_cap_set_frame_buffer(&dev_, nullptr, 32 * LUMOX_FRAME_BUF_UNIT));
        buf_.resize(kFrameBytes);
    }

    void TearDown() override {
        const auto start = Clock::now();
        lumox_dev_close(&dev_);
        EXPECT_LT(Clock::now() - start, milliseconds(3000)) << "close took too long";
        EXPECT_EQ(dev_.state, nullptr);
        // Nothing left on the bus: every transfer reaped, the interface released.
        if (bus().plugged(0)) {
            EXPECT_TRUE(wait_until([&] { return usb_stats().urbs_pending == 0; }));
            EXPECT_EQ(usb_stats().claimed_interfaces, 0u);
        }
        g_errors = nullptr;
        ll::set_usb_timeouts(saved_timeouts_);
        lx_log_disable();
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_WRN, nullptr);
        dir_.reset();
        VcamTest::TearDown();
    }

    // Polls one frame at a time until `frames` were delivered or a call returns no frame; checks
    // each frame's bytes. Returns the last result.
    int32_t poll(int frames) {
        int32_t r = 0;
        for (int i = 0; i < frames; ++i) {
            lumox_frame_info info{};
            r = lumox_cap_get_frames(&dev_, 1, buf_.data(), kFrameBytes, &info);
            // A call that reports the capture's error still hands out a frame that was waiting;
            // its record tells.
            if (r < 0 && info.frame_size > 0) indices_.push_back(info.frame_idx);
            if (r != 1) return r;
            EXPECT_EQ(info.frame_size, kFrameBytes);
            EXPECT_TRUE(holds_pattern(buf_.data(), info.frame_idx)) << info.frame_idx;
            indices_.push_back(info.frame_idx);
        }
        return r;
    }

    // Injects a stream fault, then polls until frames well past the one it hits were delivered:
    // frames made before it may still be waiting in the frame buffer on a slow host.
    int32_t poll_past_fault(vcam::StreamFault fault) {
        const uint32_t hit = camera().counters().frames_sent;  // the next frame the camera makes
        camera().fault_stream(fault, 1);
        int32_t r = 1;
        for (int i = 0; i < 100 && r == 1; ++i) {
            if (!indices_.empty() && indices_.back() >= hit + 3) break;
            r = poll(1);
        }
        return r;
    }

    // Polls until a call returns an error (bounded), and returns it. The poll that is waiting
    // when the capture stops itself returns the frames it has; the next one returns the error.
    int32_t poll_until_failure(milliseconds bound) {
        const auto deadline = Clock::now() + bound;
        int32_t r = 1;
        while (r >= 0 && Clock::now() < deadline) r = poll(1);
        return r;
    }

    // Frames missing between the delivered ones (index steps beyond 1). A frame dropped for
    // capacity also leaves a hole, so a test expects its faults' losses plus frames_overflowed.
    uint32_t missing() const {
        uint32_t out = 0;
        for (size_t i = 1; i < indices_.size(); ++i)
            out += static_cast<uint16_t>(indices_[i] - indices_[i - 1] - 1);
        return out;
    }

    void expect_missing(uint32_t lost) {
        EXPECT_EQ(missing(), lost + stats().frames_overflowed) << describe();
    }

    std::string describe() {
        const lumox_cap_stats s = stats();
        std::string out = "received " + std::to_string(s.frames_received) + ", discarded " +
                          std::to_string(s.frames_discarded) + ", overflowed " +
                          std::to_string(s.frames_overflowed) + ", dropped bytes " +
                          std::to_string(s.bytes_dropped) + "; indices";
        for (uint16_t i : indices_) out += " " + std::to_string(i);
        return out;
    }

    // Shorter command waits for the tests of commands that never end (the shipped ones hold
    // on a busy, sanitized host).
    void fast_command_timeouts() {
        ll::UsbTimeouts t = ll::usb_timeouts();
        t.cmd_cancel_ms = 200;
        t.cmd_abandon_ms = 400;
        t.cmd_busy_ms = 300;
        ll::set_usb_timeouts(t);
    }

    lumox_cap_stats stats() {
        lumox_cap_stats s{};
        EXPECT_TRUE(lumox_cap_get_stats(&dev_, &s));
        return s;
    }

    void expect_accounted() {
        const lumox_cap_stats s = stats();
        EXPECT_EQ(s.frames_received,
                  indices_.size() + s.frames_discarded + s.frames_overflowed + s.frames_ready)
            << "received " << s.frames_received << ", delivered " << indices_.size()
            << ", discarded " << s.frames_discarded << ", overflowed " << s.frames_overflowed
            << ", ready " << s.frames_ready;
    }

    std::vector<std::pair<int32_t, uint32_t>> errors() {
        std::lock_guard lock(errors_.mutex);
        return errors_.errors;
    }

    std::string log_tail() const {
        const std::string text = read_file(log_path_);
        return text.substr(text.size() > 3000 ? text.size() - 3000 : 0);
    }

    bool logged(const std::string &text) const {
        return read_file(log_path_).find(text) != std::string::npos;
    }

    lumox_dev_t dev_{};
    std::vector<uint8_t> buf_;
    std::vector<uint16_t> indices_;
    ErrorLog errors_;
    ll::UsbTimeouts saved_timeouts_;

  private:
    std::unique_ptr<TempDir> dir_;
    std::string log_path_;
};

// ---- Bulk transfer faults ---------------------------------------------------------------------

TEST_F(FaultMatrix, StallBurstWithinTheLimitIsRidden) {
    ASSERT_TRUE(lumox_cap_start(&dev_));
    ASSERT_EQ(poll(3), 1);
    const auto start = Clock::now();
    camera().fault_bulk(vcam::BulkAction::kStall, 16);
    ASSERT_EQ(poll(15), 1);
    EXPECT_LT(Clock::now() - start, milliseconds(5000));
    expect_missing(0);  // a stall carries no data: no frame is lost
    EXPECT_TRUE(lumox_cap_is_ongoing(&dev_));
    EXPECT_GE(usb_stats().clear_halts, 1u);
    EXPECT_EQ(stats().frames_discarded, 0u);
    expect_accounted();
}

TEST_F(FaultMatrix, StallBurstAboveTheLimitStopsTheCaptureWithAStallError) {
    ASSERT_TRUE(lumox_cap_start(&dev_));
    ASSERT_EQ(poll(2), 1);
    camera().fault_bulk(vcam::BulkAction::kStall, 100000);
    EXPECT_EQ(poll_until_failure(milliseconds(5000)), LUMOX_ERR_CAP_STALL);
    // The error stays until the next start; the capture is over but still reported ongoing
    // until the application stops it.
    // Frames still waiting when the capture stopped are handed out with the error.
    lumox_frame_info info{};
    EXPECT_EQ(lumox_cap_get_frame(&dev_, buf_.data(), kFrameBytes, &info), LUMOX_ERR_CAP_STALL);
    if (info.frame_size > 0) indices_.push_back(info.frame_idx);
    EXPECT_TRUE(lumox_cap_is_ongoing(&dev_));
    camera().clear_faults();
    EXPECT_TRUE(lumox_cap_stop(&dev_));
    EXPECT_FALSE(lumox_cap_is_ongoing(&dev_));
    expect_accounted();

    // A new start clears the error and streams again.
    ASSERT_TRUE(lumox_cap_start(&dev_));
    indices_.clear();
    EXPECT_EQ(poll(3), 1);
}

class FaultMatrixTimeouts : public FaultMatrix {
  protected:
    // While transfers hang the camera's paced frames pile up and then arrive at once: the frame
    // buffer holds them all, so that none is dropped for capacity.
    FaultMatrixTimeouts() { options_.cameras[0].camera.frame_rate = 20; }
    void SetUp() override {
        FaultMatrix::SetUp();
        ASSERT_TRUE(lumox_cap_set_frame_buffer(&dev_, nullptr, 64 * LUMOX_FRAME_BUF_UNIT));
        ll::UsbTimeouts t = ll::usb_timeouts();
        t.bulk_ms = 400;
        ll::set_usb_timeouts(t);
    }
};

TEST_F(FaultMatrixTimeouts, TimeoutBurstWithinTheLimitIsRidden) {
    ASSERT_TRUE(lumox_cap_start(&dev_));
    ASSERT_EQ(poll(2), 1);
    const auto start = Clock::now();
    camera().fault_bulk(vcam::BulkAction::kHang, 28);
    ASSERT_EQ(poll(30), 1);
    EXPECT_LT(Clock::now() - start, milliseconds(8000));
    expect_missing(0);  // a timed-out transfer carries no data: no frame is lost
    EXPECT_TRUE(lumox_cap_is_ongoing(&dev_));
    EXPECT_TRUE(errors().empty());
    expect_accounted();
}

TEST_F(FaultMatrixTimeouts, TimeoutBurstAboveTheLimitStopsTheCaptureWithATimeoutError) {
    ASSERT_TRUE(lumox_cap_start(&dev_));
    ASSERT_EQ(poll(2), 1);
    const auto start = Clock::now();
    camera().fault_bulk(vcam::BulkAction::kHang, 100000);
    EXPECT_EQ(poll_until_failure(milliseconds(8000)), LUMOX_ERR_CAP_TIMEOUT);
    // 33 time-outs of 400 ms, sixteen transfers at a time: three rounds.
    EXPECT_LT(Clock::now() - start, milliseconds(4000));
    EXPECT_TRUE(logged("[WRN] [on_capture_event] trans timeout -> stop\n"));
    camera().clear_faults();
    EXPECT_TRUE(lumox_cap_stop(&dev_));
    expect_accounted();
}

TEST_F(FaultMatrix, TransferErrorStopsTheCaptureAtOnce) {
    ASSERT_TRUE(lumox_cap_start(&dev_));
    ASSERT_EQ(poll(2), 1);
    const auto start = Clock::now();
    camera().fault_bulk(vcam::BulkAction::kError, 1);
    EXPECT_EQ(poll_until_failure(milliseconds(3000)), LUMOX_ERR_CAP_UNKNOWN);
    EXPECT_LT(Clock::now() - start, milliseconds(1500));
    expect_missing(0);
    EXPECT_TRUE(lumox_cap_stop(&dev_));
    expect_accounted();
}

TEST_F(FaultMatrix, UnplugDuringCaptureEndsItAndCloseStillReleasesEverything) {
    ASSERT_TRUE(lumox_cap_start(&dev_));
    ASSERT_EQ(poll(3), 1);
    const auto start = Clock::now();
    unplug();
    EXPECT_EQ(poll_until_failure(milliseconds(3000)), LUMOX_ERR_CAP_UNKNOWN) << log_tail();
    EXPECT_LT(Clock::now() - start, milliseconds(2500));
    // The camera cannot be told to stop: the stop fails to reach it, nothing hangs.
    lumox_cap_stop(&dev_);
    lumox_param_item rate{};
    rate.param_id = LUMOX_PARAM_FRAME_RATE;
    EXPECT_EQ(lumox_param_batch_get(&dev_, &rate, 1), 0);
    EXPECT_LT(Clock::now() - start, milliseconds(3000));
    expect_accounted();
}

// ---- Stream faults ----------------------------------------------------------------------------

TEST_F(FaultMatrix, CorruptedHeaderLosesThatFrameOnly) {
    lumox_cap_set_callback_on_error(&dev_, on_error);
    ASSERT_TRUE(lumox_cap_start(&dev_));
    ASSERT_EQ(poll(3), 1);
    ASSERT_EQ(poll_past_fault(vcam::StreamFault::kCorruptHeader), 1);
    expect_missing(1);
    // Its data is skipped while searching for the next header; no frame was begun.
    EXPECT_EQ(stats().frames_discarded, 0u);
    EXPECT_GE(stats().bytes_dropped, kFrameBytes);
    EXPECT_TRUE(lumox_cap_is_ongoing(&dev_));
    expect_accounted();
}

TEST_F(FaultMatrix, CorruptedDataWithChecksumIsDiscardedAndReported) {
    lumox_cap_set_callback_on_error(&dev_, on_error);
    ASSERT_TRUE(lumox_cap_start(&dev_));
    ASSERT_EQ(poll(3), 1);
    ASSERT_EQ(poll_past_fault(vcam::StreamFault::kCorruptData), 1);
    expect_missing(1);  // the corrupted frame is never handed out
    EXPECT_EQ(stats().frames_discarded, 1u);
    const auto seen = errors();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], std::make_pair(int32_t{LUMOX_ERR_CAP_FRAME_DISCARD}, uint32_t{1}));
    EXPECT_TRUE(logged("discard frame: verify data checksum failed"));
    expect_accounted();
}

TEST_F(FaultMatrix, CorruptedDataWithoutChecksumIsDeliveredAsItCame) {
    ASSERT_TRUE(lumox_cap_start(&dev_));
    camera().set_stream_config([] {
        vcam::StreamConfig c;
        c.segment_size = kFrameBytes;
        c.data_checksum = false;
        return c;
    }());
    ASSERT_EQ(poll(2), 1);
    const uint32_t hit = camera().counters().frames_sent;
    camera().fault_stream(vcam::StreamFault::kCorruptData, 1);
    int broken = 0;
    for (int i = 0; i < 100 && (indices_.empty() || indices_.back() < hit + 3); ++i) {
        lumox_frame_info info{};
        ASSERT_EQ(lumox_cap_get_frames(&dev_, 1, buf_.data(), kFrameBytes, &info), 1);
        indices_.push_back(info.frame_idx);
        const uint32_t mid = kFrameBytes / 2 / 2;  // the sample holding the flipped byte
        const uint16_t sample = static_cast<uint16_t>(buf_[2 * mid] | buf_[2 * mid + 1] << 8);
        if (sample != vcam::pattern_sample(info.frame_idx, mid)) ++broken;
    }
    EXPECT_EQ(broken, 1);
    expect_missing(0);
    EXPECT_EQ(stats().frames_discarded, 0u);
    expect_accounted();
}

TEST_F(FaultMatrix, DroppedSegmentDiscardsTheFrameItBelongedTo) {
    lumox_cap_set_callback_on_error(&dev_, on_error);
    vcam::StreamConfig four;  // 153600-byte segments: four per frame
    camera().set_stream_config(four);
    ASSERT_TRUE(lumox_cap_start(&dev_));
    ASSERT_EQ(poll(3), 1);
    ASSERT_EQ(poll_past_fault(vcam::StreamFault::kDropSegment), 1);
    expect_missing(1);
    const lumox_cap_stats s = stats();
    EXPECT_EQ(s.frames_discarded, 1u);
    // The discarded frame was never complete: it is not among the frames received.
    EXPECT_EQ(s.frames_received, indices_.size() + s.frames_overflowed + s.frames_ready);
    ASSERT_FALSE(errors().empty());
    EXPECT_EQ(errors()[0], std::make_pair(int32_t{LUMOX_ERR_CAP_FRAME_DISCARD}, uint32_t{1}));
}

TEST_F(FaultMatrix, MissingFrameIsAnIndexJumpAndNothingIsDiscarded) {
    lumox_cap_set_callback_on_error(&dev_, on_error);
    ASSERT_TRUE(lumox_cap_start(&dev_));
    ASSERT_EQ(poll(3), 1);
    // One segment per frame: the whole frame goes missing.
    ASSERT_EQ(poll_past_fault(vcam::StreamFault::kDropSegment), 1);
    expect_missing(1);
    EXPECT_EQ(stats().frames_discarded, 0u);
    EXPECT_EQ(stats().bytes_dropped, 0u);
    EXPECT_TRUE(errors().empty());
    EXPECT_TRUE(logged("missing frame: jumpping frame idx"));
    expect_accounted();
}

// ---- Command channel faults -------------------------------------------------------------------

TEST_F(FaultMatrix, BusyCameraIsPolledUntilItIsDone) {
    camera().fault_status_busy(5);
    lumox_param_item rate{};
    rate.param_id = LUMOX_PARAM_FRAME_RATE;
    EXPECT_EQ(lumox_param_batch_get(&dev_, &rate, 1), 1);
    EXPECT_EQ(rate.param_val[0], 50);
}

TEST_F(FaultMatrix, CameraThatStaysBusyFailsTheCommandWithinTheBound) {
    fast_command_timeouts();
    camera().fault_status_busy(UINT_MAX);
    lumox_param_item rate{};
    rate.param_id = LUMOX_PARAM_FRAME_RATE;
    const auto start = Clock::now();
    EXPECT_EQ(lumox_param_batch_get(&dev_, &rate, 1), 0);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, milliseconds(300));
    EXPECT_LT(waited, milliseconds(2000));
    EXPECT_TRUE(logged("[ERR] [usb_ll_check_last_cmd] camera still busy after 300 ms"));
    EXPECT_EQ(rate.param_val_len, 0) << "a failed get leaves the record as it was";

    camera().clear_faults();
    EXPECT_EQ(lumox_param_batch_get(&dev_, &rate, 1), 1);
}

TEST_F(FaultMatrix, FailingStatusReportsTheCamerasTextAndChangesNothing) {
    camera().fault_fail_next("integration time out of range", vcam::kCmdDevice, 3);
    lumox_param_item item{};
    item.param_id = LUMOX_PARAM_INTG_TIME;
    item.param_val_len = 2;
    item.param_val[0] = 0xFF;
    item.param_val[1] = 0xFF;
    EXPECT_EQ(lumox_param_batch_set(&dev_, &item, 1), 0);
    EXPECT_TRUE(logged("[ERR] [usb_ll_check_last_cmd] integration time out of range\n"));
    EXPECT_NE(camera().param(vcam::kParamIntgTime), (std::vector<uint8_t>{0xFF, 0xFF}));
}

TEST_F(FaultMatrix, ShortReplyFailsAndLeavesTheRecordsAlone) {
    camera().fault_short_reply(4, vcam::kCmdDevice, 4);
    lumox_param_item items[2] = {};
    items[0].param_id = LUMOX_PARAM_FRAME_RATE;
    items[1].param_id = LUMOX_PARAM_INTG_TIME;
    items[1].param_val[5] = 0x77;
    lumox_param_item before[2];
    std::memcpy(before, items, sizeof items);
    EXPECT_EQ(lumox_param_batch_get(&dev_, items, 2), 0);
    EXPECT_EQ(std::memcmp(before, items, sizeof items), 0);
    EXPECT_TRUE(logged("exe usb cmd failed"));
    EXPECT_EQ(lumox_param_batch_get(&dev_, items, 2), 1);
}

TEST_F(FaultMatrix, CommandThatNeverCompletesFailsWithinTheBoundAndTheNextWorks) {
    fast_command_timeouts();
    camera().fault_control_hang(vcam::kCmdDevice, 4);
    lumox_param_item rate{};
    rate.param_id = LUMOX_PARAM_FRAME_RATE;
    const auto start = Clock::now();
    EXPECT_EQ(lumox_param_batch_get(&dev_, &rate, 1), 0);
    EXPECT_LT(Clock::now() - start, milliseconds(1500));
    EXPECT_TRUE(logged("contrl trans timeout , cancel it"));
    EXPECT_EQ(lumox_param_batch_get(&dev_, &rate, 1), 1);
    EXPECT_EQ(rate.param_val[0], 50);
}

TEST_F(FaultMatrix, UnplugDuringACommandFailsItWithinTheBound) {
    fast_command_timeouts();
    camera().fault_control_hang(vcam::kCmdDevice, 4);
    lumox_param_item rate{};
    rate.param_id = LUMOX_PARAM_FRAME_RATE;
    std::atomic<int> result{-1};
    const auto start = Clock::now();
    std::thread caller([&] { result = lumox_param_batch_get(&dev_, &rate, 1); });
    ASSERT_TRUE(wait_until([&] {
        const auto cmds = camera().commands();
        return !cmds.empty() && cmds.back().hung;
    }));
    unplug();
    caller.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_LT(Clock::now() - start, milliseconds(1500));
    EXPECT_EQ(lumox_param_batch_get(&dev_, &rate, 1), 0);
}

// ---- Threads ----------------------------------------------------------------------------------

TEST_F(FaultMatrix, StopFromAnotherThreadWakesAWaitingPoll) {
    camera().set_param_u32(vcam::kParamFrameRate, 1);
    ASSERT_TRUE(lumox_cap_start(&dev_));
    std::thread stopper([&] {
        // Nothing tells when the poll has begun to wait; it has long begun after this pause.
        std::this_thread::sleep_for(milliseconds(300));
        lumox_cap_stop(&dev_);
    });
    const auto start = Clock::now();
    // Asks for more than the camera sends in the poll's time-out (100 * 20 + 20 * 1000 + 2000 ms).
    const int32_t r = lumox_cap_get_frames(&dev_, 20, nullptr, 0, nullptr);
    stopper.join();
    // Not capturing any more, or the frames it had while the stop was under way.
    EXPECT_TRUE(r == LUMOX_CAP_NOT_CAPTURING || (r >= 0 && r < 20)) << r;
    EXPECT_LT(Clock::now() - start, milliseconds(3000));
}

TEST_F(FaultMatrix, CloseFromAnotherThreadEndsAWaitWithCallbacks) {
    static std::atomic<int> delivered{0};
    delivered = 0;
    lumox_cap_set_callback_on_frame_ready(&dev_, [](lumox_dev_t *, lumox_frame *) { ++delivered; });
    ASSERT_TRUE(lumox_cap_start(&dev_));
    std::atomic<bool> waited{false};
    std::thread waiter([&] {
        lumox_cap_wait(&dev_, 0);
        waited = true;
    });
    ASSERT_TRUE(wait_until([&] { return delivered.load() >= 5; }));
    const auto start = Clock::now();
    lumox_dev_close(&dev_);
    waiter.join();
    EXPECT_TRUE(waited.load());
    EXPECT_LT(Clock::now() - start, milliseconds(3000));
    EXPECT_EQ(dev_.state, nullptr);
}

TEST_F(FaultMatrix, StatsAndPollingFromSeveralThreadsDuringACapture) {
    ASSERT_TRUE(lumox_cap_start(&dev_));
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t) {
        readers.emplace_back([&] {
            while (!done) {
                lumox_cap_stats s{};
                lumox_cap_get_stats(&dev_, &s);
                EXPECT_GE(s.frames_received, s.frames_queued);
                lumox_cap_is_ongoing(&dev_);
                std::this_thread::sleep_for(milliseconds(1));
            }
        });
    }
    EXPECT_EQ(poll(15), 1);
    done = true;
    for (auto &r : readers) r.join();
    expect_missing(0);
    EXPECT_TRUE(lumox_cap_stop(&dev_));
    expect_accounted();
}

// ---- Close against running calls -------------------------------------------------------------

// Another thread runs commands back to back; the close lands at varying points of them. The
// close waits for the command in flight, the caller's next call fails cleanly, and the record
// opens again.
TEST_F(FaultMatrix, CloseWhileAnotherThreadRunsCommandsWaitsForThemEveryTime) {
    for (int round = 0; round < 30; ++round) {
        std::atomic<int> done{0};
        std::thread caller([&] {
            lumox_param_item rate{};
            rate.param_id = LUMOX_PARAM_FRAME_RATE;
            while (lumox_param_batch_get(&dev_, &rate, 1)) ++done;
        });
        std::this_thread::sleep_for(std::chrono::microseconds(round * 373 % 4000));
        const auto start = Clock::now();
        lumox_dev_close(&dev_);
        caller.join();
        EXPECT_LT(Clock::now() - start, milliseconds(3000));
        EXPECT_EQ(dev_.state, nullptr);
        ASSERT_EQ(lumox_dev_open(&dev_), &dev_) << "round " << round;
    }
}

TEST_F(FaultMatrix, CloseDuringACommandThatHangsWaitsForItsBoundThenReleasesEverything) {
    fast_command_timeouts();
    camera().fault_control_hang(vcam::kCmdDevice, 4);
    lumox_param_item rate{};
    rate.param_id = LUMOX_PARAM_FRAME_RATE;
    std::atomic<int> result{-1};
    std::thread caller([&] { result = lumox_param_batch_get(&dev_, &rate, 1); });
    ASSERT_TRUE(wait_until([&] {
        const auto cmds = camera().commands();
        return !cmds.empty() && cmds.back().hung;
    }));
    const auto start = Clock::now();
    lumox_dev_close(&dev_);
    caller.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_LT(Clock::now() - start, milliseconds(3000));
    EXPECT_EQ(dev_.state, nullptr);
}

// A frame-ready callback closes the device while another thread runs commands: the transport
// stays up until both the polling call and the command have returned.
TEST_F(FaultMatrix, CloseFromACallbackWhileAnotherThreadRunsCommands) {
    for (int round = 0; round < 10; ++round) {
        lumox_cap_set_callback_on_frame_ready(
            &dev_, [](lumox_dev_t *dev, lumox_frame *) { lumox_dev_close(dev); });
        ASSERT_TRUE(lumox_cap_start(&dev_));
        std::thread caller([&] {
            lumox_param_item rate{};
            rate.param_id = LUMOX_PARAM_FRAME_RATE;
            while (lumox_param_batch_get(&dev_, &rate, 1)) {
            }
        });
        lumox_cap_get_frames(&dev_, 3, nullptr, 0, nullptr);
        caller.join();
        EXPECT_TRUE(wait_until([&] { return dev_.state == nullptr; })) << "round " << round;
        ASSERT_EQ(lumox_dev_open(&dev_), &dev_) << "round " << round;
    }
}

}  // namespace
}  // namespace lumox::test
