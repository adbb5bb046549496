// USB capture transfers against a virtual camera: start and stop, cancellation, refused starts,
// transfers that cannot be submitted, transfer faults, and the byte stream arriving intact.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "ll_fixture.h"
#include "vcam/stream.h"

namespace lumox::test {
namespace {

using namespace std::chrono_literals;

// What the capture callback saw, per event code and per transfer buffer.
struct Events {
    std::atomic<int> data{0}, cancelled{0}, timeout{0}, stall{0}, error{0}, other{0};
    std::atomic<int> zero_length{0};
    std::atomic<bool> abort_on_data{false};
    std::mutex mutex;
    std::map<const uint8_t *, int> cancelled_per_buffer;
    std::set<const uint8_t *> data_buffers;
};

int on_capture(lumox_ll_dev *dev, int32_t event, uint8_t *data, int32_t len, void *user) {
    auto *ev = static_cast<Events *>(user);
    switch (event) {
        case LUMOX_LL_CAP_DATA: {
            ++ev->data;
            if (len == 0) ++ev->zero_length;
            std::lock_guard lock(ev->mutex);
            ev->data_buffers.insert(data);
            if (ev->abort_on_data) lumox_ll_cap_abort(dev);
            break;
        }
        case LUMOX_LL_CAP_CANCELLED: {
            ++ev->cancelled;
            std::lock_guard lock(ev->mutex);
            ++ev->cancelled_per_buffer[data];
            break;
        }
        case LUMOX_LL_CAP_TIMEOUT:
            ++ev->timeout;
            break;
        case LUMOX_LL_CAP_STALL:
            ++ev->stall;
            break;
        case LUMOX_LL_CAP_ERROR:
            ++ev->error;
            break;
        default:
            ++ev->other;
    }
    return 0;
}

class LlCapture : public LlTest {
  protected:
    void SetUp() override {
        LlTest::SetUp();
        ASSERT_NE(open_listed(), nullptr);
    }
    bool no_bulk_pending() {
        return wait_until([&] { return usb_stats().urbs_pending == 0; });
    }
    Events ev_;
};

TEST_F(LlCapture, StopCancelsEachTransferInFlightOnce) {
    camera().fault_bulk(vcam::BulkAction::kHang, 16);
    ASSERT_EQ(lumox_ll_cap_start(&dev_, 0, on_capture, &ev_), 1);
    EXPECT_TRUE(camera().capturing());
    ASSERT_TRUE(wait_until([&] { return usb_stats().urbs_pending == 16; }));

    ASSERT_EQ(lumox_ll_cap_stop(&dev_), 1);
    EXPECT_FALSE(camera().capturing());
    ASSERT_TRUE(wait_until([&] { return ev_.cancelled == 16; }));
    ASSERT_TRUE(no_bulk_pending());
    EXPECT_EQ(ev_.cancelled, 16);
    EXPECT_EQ(ev_.data + ev_.timeout + ev_.stall + ev_.error + ev_.other, 0);
    std::lock_guard lock(ev_.mutex);
    EXPECT_EQ(ev_.cancelled_per_buffer.size(), 16u);
    for (const auto &[buffer, times] : ev_.cancelled_per_buffer) EXPECT_EQ(times, 1);
    EXPECT_EQ(usb_stats().bulk_transfers, 16u) << "a cancelled transfer was resubmitted";
}

TEST_F(LlCapture, RefusedStartCancelsTheTransfers) {
    camera().fault_bulk(vcam::BulkAction::kHang, 16);
    camera().fault_fail_next("sensor not ready", vcam::kCmdSensor, vcam::kSensorCaptureStart);
    EXPECT_EQ(lumox_ll_cap_start(&dev_, 0, on_capture, &ev_), 0);
    EXPECT_TRUE(logged("[WRN] [usb_ll_cap_start] lumox_ll_cap_start failed\n"));
    ASSERT_TRUE(wait_until([&] { return ev_.cancelled == 16; }));
    ASSERT_TRUE(no_bulk_pending());
    EXPECT_EQ(usb_stats().bulk_transfers, 16u) << "a transfer ran on after the refused start";
    EXPECT_EQ(ev_.data, 0);
}

TEST_F(LlCapture, StartSucceedsWhenOneTransferCannotBeSubmitted) {
    // Transfer 0 hangs; the rest drain once the callback aborts. Transfer 0 is then still in
    // flight when the next capture starts, so it cannot be submitted again.
    camera().set_paced(false);
    camera().fault_bulk(vcam::BulkAction::kHang, 1);
    ev_.abort_on_data = true;
    ASSERT_EQ(lumox_ll_cap_start(&dev_, 0, on_capture, &ev_), 1);
    ASSERT_TRUE(wait_until([&] { return usb_stats().urbs_pending == 1 && ev_.data > 0; }));

    Events second;
    ASSERT_EQ(lumox_ll_cap_start(&dev_, 0, on_capture, &second), 1);
    EXPECT_TRUE(logged("[ERR] [usb_ll_cap_start] trans[0] issue failed\n"));
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard lock(second.mutex);
        return second.data_buffers.size() == 15;
    }));
    ASSERT_EQ(lumox_ll_cap_stop(&dev_), 1);
    ASSERT_TRUE(no_bulk_pending());
    std::lock_guard lock(second.mutex);
    EXPECT_EQ(second.data_buffers.size(), 15u);
}

TEST_F(LlCapture, StallsErrorsAndTimeoutsAreReportedAndTheCaptureGoesOn) {
    ll::UsbTimeouts fast = ll::usb_timeouts();
    fast.bulk_ms = 100;
    ll::set_usb_timeouts(fast);
    camera().set_paced(false);
    camera().fault_bulk(vcam::BulkAction::kStall, 1);
    camera().fault_bulk(vcam::BulkAction::kError, 1);
    camera().fault_bulk(vcam::BulkAction::kHang, 1);
    ASSERT_EQ(lumox_ll_cap_start(&dev_, 0, on_capture, &ev_), 1);
    ASSERT_TRUE(wait_until(
        [&] { return ev_.stall >= 1 && ev_.error >= 1 && ev_.timeout >= 1 && ev_.data >= 20; }));
    ASSERT_EQ(lumox_ll_cap_stop(&dev_), 1);
    ASSERT_TRUE(no_bulk_pending());
    EXPECT_EQ(ev_.stall, 1);
    EXPECT_EQ(ev_.error, 1);
    EXPECT_GE(ev_.timeout, 1);
    EXPECT_EQ(ev_.other, 0);
    EXPECT_GE(usb_stats().clear_halts, 2u) << "start and stall each clear the halt";
    EXPECT_TRUE(logged("] stall (last_tx=0)\n"));
    EXPECT_TRUE(logged("] timeout (last_tx="));
}

TEST_F(LlCapture, ZeroLengthCompletionIsReportedAndResubmitted) {
    camera().set_paced(false);
    camera().fault_bulk(vcam::BulkAction::kEmpty, 1);
    ASSERT_EQ(lumox_ll_cap_start(&dev_, 0, on_capture, &ev_), 1);
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard lock(ev_.mutex);
        return ev_.zero_length == 1 && ev_.data_buffers.size() == 16;
    }));
    ASSERT_EQ(lumox_ll_cap_stop(&dev_), 1);
    ASSERT_TRUE(no_bulk_pending());
    EXPECT_EQ(ev_.zero_length, 1);
    EXPECT_GT(usb_stats().bulk_transfers, 16u);
    EXPECT_TRUE(logged("[on_usb_trans_event] trans[0]: txlen=0, status = 0\n"));
    EXPECT_TRUE(logged("[on_usb_trans_event] trans[0] issue: size=153600 \n"));
}

TEST_F(LlCapture, AbortFromTheCallbackLeavesTransfersIdleAsTheyComplete) {
    camera().set_paced(false);
    ev_.abort_on_data = true;
    ASSERT_EQ(lumox_ll_cap_start(&dev_, 0, on_capture, &ev_), 1);
    ASSERT_TRUE(no_bulk_pending());
    EXPECT_EQ(ev_.data, 16) << "each transfer completes once and stays idle";
    EXPECT_EQ(usb_stats().bulk_transfers, 16u);
    EXPECT_EQ(lumox_ll_cap_stop(&dev_), 1);
    EXPECT_EQ(ev_.cancelled, 0);
}

TEST_F(LlCapture, CloseDuringCaptureDrainsTheTransfers) {
    camera().fault_bulk(vcam::BulkAction::kHang, 16);
    ASSERT_EQ(lumox_ll_cap_start(&dev_, 0, on_capture, &ev_), 1);
    ASSERT_TRUE(wait_until([&] { return usb_stats().urbs_pending == 16; }));
    lumox_ll_dev_close(&dev_);
    EXPECT_EQ(dev_.priv, nullptr);
    EXPECT_EQ(ev_.cancelled, 16);
    EXPECT_EQ(usb_stats().urbs_pending, 0u);
}

// The camera streams as fast as the host reads; the bytes that reach the callback must be the
// camera's stream exactly, in order, through all 16 transfers.
TEST_F(LlCapture, StreamArrivesIntactThroughAllTransfers) {
    lx_log_enable(LX_LOG_OUT_FILE, LX_LOG_WRN, nullptr);
    camera().set_paced(false);

    struct Checker {
        vcam::StreamGenerator expected;
        std::vector<uint8_t> want;
        uint64_t bytes = 0;
        uint64_t mismatch_at = UINT64_MAX;
        std::set<const uint8_t *> buffers;
        std::atomic<uint64_t> progress{0};
        std::atomic<bool> failed{false};
    } check;
    const vcam::CameraConfig &config = camera().config();
    check.expected.set_config(camera().stream_config());
    check.expected.set_temperatures(config.temp_sensor, config.temp_board);
    check.expected.restart();

    auto cb = [](lumox_ll_dev *, int32_t event, uint8_t *data, int32_t len, void *user) -> int {
        auto *c = static_cast<Checker *>(user);
        if (event != LUMOX_LL_CAP_DATA) return 0;
        c->buffers.insert(data);
        c->want.resize(static_cast<size_t>(len));
        size_t have = 0;
        while (have < c->want.size()) {
            if (c->expected.buffered() == 0) c->expected.generate();
            have += c->expected.read(std::span(c->want).subspan(have));
        }
        if (c->mismatch_at == UINT64_MAX && std::memcmp(c->want.data(), data, have) != 0) {
            size_t i = 0;
            while (c->want[i] == data[i]) ++i;
            c->mismatch_at = c->bytes + i;
            c->failed = true;
        }
        c->bytes += static_cast<uint64_t>(len);
        c->progress = c->bytes;
        return 0;
    };

    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(lumox_ll_cap_start(&dev_, 0, cb, &check), 1);
    wait_until([&] { return check.failed || std::chrono::steady_clock::now() - start > 3s; }, 10s);
    ASSERT_EQ(lumox_ll_cap_stop(&dev_), 1);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(no_bulk_pending());
    lumox_ll_dev_close(&dev_);  // joins the event thread: its writes to `check` are visible

    EXPECT_EQ(check.mismatch_at, UINT64_MAX) << "first wrong byte at offset " << check.mismatch_at;
    EXPECT_EQ(check.buffers.size(), 16u);
    EXPECT_GT(check.bytes, 10u * 153600u);
    EXPECT_LE(check.bytes, camera().counters().bytes_streamed);
    std::printf("[ stream   ] %.1f MB in %.2f s through 16 x 153600-byte transfers: %.1f MB/s\n",
                static_cast<double>(check.bytes) / 1e6, seconds,
                static_cast<double>(check.bytes) / 1e6 / seconds);
}

}  // namespace
}  // namespace lumox::test
