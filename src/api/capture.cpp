// Capture engine. The transport's event thread feeds every completed bulk transfer into the
// device's stream parser and turns transfer failures into capture errors; application threads
// wait on the device's condition variable, take ready frames out of the stream, have the driver
// describe them and copy them into the caller's buffer or hand them to the frame-ready callback.

#include "api/capture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "api/device_state.h"
#include "api/params.h"
#include "lumox/device.h"
#include "lumox/driver.h"
#include "lumox/log.h"

static_assert(sizeof(lumox_frame_info) == 20);
static_assert(offsetof(lumox_frame_info, frame_format) == 4);
static_assert(offsetof(lumox_frame_info, frame_idx) == 6);
static_assert(offsetof(lumox_frame_info, width) == 8);
static_assert(offsetof(lumox_frame_info, height) == 12);
static_assert(offsetof(lumox_frame_info, pixel_bytes) == 16);
static_assert(sizeof(lx_raw_frame_info) == 20);

namespace lumox::api {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kTimeoutLimit = 32;
constexpr uint32_t kStallLimit = 16;
constexpr uint32_t kMinFrames = 2;
constexpr size_t kCallbackBufferSize = 4194304;
constexpr int32_t kAllFrames = 2147483647;

std::atomic<uint32_t> g_frame_rate{0};

uint32_t frames_ready(lumox_dev_state &state) {
    return lx_stream_fetch_frames(state.stream.get(), nullptr, 0, UINT32_MAX, nullptr, true);
}

void signal(lumox_dev_state &state) {
    std::lock_guard lock(*state.mutex);
    state.cond->notify_one();
}

// Ends the capture from the event thread. A poll asleep on the condition must see the stop, or a
// wait without a time-out would sleep for ever.
void abort_capture(lumox_dev_state &state) {
    state.stop.store(1);
    lumox_ll_cap_abort(&state.ll);
    std::lock_guard lock(*state.mutex);
    state.cond->notify_all();
}

// Stops a running capture: the stop flag, the transport, and a broadcast to any waiting poll.
void stop_capture(lumox_dev_state &state) {
    if (!state.capturing.load()) return;
    lx_log(LX_LOG_TRC, "TRC", "[%s] Enter\n", "_lumox_cap_stop");
    state.stop.store(1);
    const bool stopped = lumox_ll_cap_stop(&state.ll) != 0;
    {
        std::lock_guard lock(*state.mutex);
        state.cond->notify_all();
    }
    if (stopped) state.capturing.store(0);
    lx_log(LX_LOG_TRC, "TRC", "[%s] Exit\n", "_lumox_cap_stop");
}

// True when a waiting poll has something to do: the capture stopped, frames are ready, or an
// error waits for the error callback. Checked under the mutex, so that a signal sent between
// the poll's last look and its wait is not lost.
bool poll_has_work(lumox_dev_state &state) {
    if (state.stop.load()) return true;
    if (state.cap_error.load() != 0 && state.on_error.load()) return true;
    return frames_ready(state) > 0;
}

// Waits for work until the deadline (none: no limit). False on time-out.
bool wait_for_work(lumox_dev_state &state, const Clock::time_point *deadline) {
    std::unique_lock lock(*state.mutex);
    const auto pred = [&state] { return poll_has_work(state); };
    if (!deadline) {
        state.cond->wait(lock, pred);
        return true;
    }
    return state.cond->wait_until(lock, *deadline, pred);
}

// Delivers one frame taken into data (avail bytes behind it) to the request and the frame-ready
// callback. A frame the driver cannot describe is not handed out (its description would be all
// zero): it is counted with the discarded frames instead. The callback sees only a frame whose
// bytes are all behind the pointer.
void deliver(lumox_dev_t *dev, FetchRequest *req, uint8_t *data, size_t avail,
             const lx_raw_frame_info &raw) {
    lumox_dev_state &state = *dev->state;
    lumox_frame_info info{};
    if (!state.drv->ops->frame_get_info(state.drv, &info, &raw)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s]  driver frame_get_info failed!\n", "_cap_handle_rdy_data");
        const uint32_t count = state.undescribed.fetch_add(1) + 1;
        lx_log(LX_LOG_ERR, "ERR",
               "[%s] frame %u (format %u, %u bytes, %ux%u) dropped: the driver cannot describe "
               "it (%u so far)\n",
               "_cap_handle_rdy_data", static_cast<unsigned>(raw.fridx),
               static_cast<unsigned>(raw.frfmt), static_cast<unsigned>(raw.frlen),
               static_cast<unsigned>(raw.width), static_cast<unsigned>(raw.height),
               static_cast<unsigned>(count));
        return;
    }
    state.last_raw = raw;
    state.frame_info = info;
    if (req && req->wanted > 0) {
        if (req->wanted == req->requested && req->info) *req->info = state.frame_info;
        if (req->left >= raw.frlen) {
            req->pos += raw.frlen;
            req->left -= raw.frlen;
        }
        --req->wanted;
    }
    const lumox_cap_frdy_cb on_frame = state.on_frame_ready.load();
    if (!on_frame) return;
    if (!data || avail < raw.frlen) {
        // Only when the frame taken is not the one looked at (the oldest dropped meanwhile) or
        // the callback was set while this pass ran.
        lx_log(LX_LOG_ERR, "ERR",
               "[%s] frame %u (%u bytes) not handed to the callback: %u bytes taken\n",
               "_cap_handle_rdy_data", static_cast<unsigned>(raw.fridx),
               static_cast<unsigned>(raw.frlen), static_cast<unsigned>(avail));
        return;
    }
    lumox_frame frame{state.frame_info, data};
    const unsigned idx = state.frame_info.frame_idx;
    lx_log(LX_LOG_TRC, "TRC", "[%s] frdy cb invoke: %u,%u\n", "_cap_handle_rdy_data", idx, idx);
    lx_timeval t0{};
    lx_timeval t1{};
    lx_gettimeofday(&t0, nullptr);
    on_frame(dev, &frame);
    lx_gettimeofday(&t1, nullptr);
    const int64_t us =
        (static_cast<int64_t>(t1.tv_sec) - t0.tv_sec) * 1000000 + (t1.tv_usec - t0.tv_usec);
    lx_log(LX_LOG_DBG, "DBG", "[%s] frdy cb (%u,%u) spends: %d.%03u ms\n", "_cap_handle_rdy_data",
           idx, idx, static_cast<int>(us / 1000), static_cast<unsigned>(us % 1000));
}

// The buffer a polling pass hands frames to the frame-ready callback in: the device's, reused
// across passes, or (when another pass holds it, a callback polling in turn) one of the pass's
// own. Grown, never shrunk, when a frame does not fit.
class DeliveryBuffer {
  public:
    explicit DeliveryBuffer(lumox_dev_state &state)
        : shared_(state.delivery_lock, std::try_to_lock),
          buf_(shared_.owns_lock() ? state.delivery_buf : own_buf_),
          size_(shared_.owns_lock() ? state.delivery_size : own_size_) {}

    // Room for at least bytes; false (and no buffer) when memory is short.
    bool reserve(size_t bytes) {
        if (buf_ && size_ >= bytes) return true;
        buf_.reset(new (std::nothrow) uint8_t[bytes]);
        size_ = buf_ ? bytes : 0;
        return buf_ != nullptr;
    }
    uint8_t *data() const { return buf_.get(); }
    size_t size() const { return size_; }

  private:
    std::unique_lock<std::mutex> shared_;
    std::unique_ptr<uint8_t[]> own_buf_;
    size_t own_size_ = 0;
    std::unique_ptr<uint8_t[]> &buf_;
    size_t &size_;
};

// Takes the ready frames out of the stream and delivers them, deciding for each frame: into the
// published fetch request's buffer while it wants frames, else into a scratch buffer for the
// frame-ready callback, else nowhere (dropped, as lumox_cap_wait without a callback does). Frames
// beyond what a request wants are left in the stream when there is no callback to hand them to,
// so that polling one frame at a time loses nothing; with a callback they go to it through the
// scratch buffer, never into the request's buffer. The callback is always handed a whole frame:
// one that does not fit into what is left of the request's buffer is taken into the scratch
// buffer and its first bytes copied to the request. First lets the error callback see a pending
// capture error.
void handle_ready_data(lumox_dev_t *dev, int32_t reqmax) {
    lumox_dev_state &state = *dev->state;
    if (state.close_pending.load()) return;
    const lumox_cap_err_cb on_error = state.on_error.load();
    int32_t error = state.cap_error.load();
    if (on_error && error != 0) {
        lx_log(LX_LOG_TRC, "TRC", "[%s] error cb invoke: %s\n", "_cap_handle_rdy_data",
               lumox_error_name(error));
        const bool go_on = on_error(dev, error, state.error_arg.load()) != 0;
        if (state.close_pending.load()) return;  // the callback closed the device
        // A newer error raised meanwhile by the event thread stays pending.
        state.cap_error.compare_exchange_strong(error, 0);
        if (!go_on) {
            lx_log(LX_LOG_DBG, "DBG", "[%s] error cb return false to stop capture\n",
                   "_cap_handle_rdy_data");
            state.stop.store(1);
            state.forced_stop.store(1);
            lx_log(LX_LOG_TRC, "TRC", "[%s] error callback force cap to stop\n",
                   "_cap_handle_rdy_data");
            return;
        }
    }
    if (state.forced_stop.load()) {
        lx_log(LX_LOG_TRC, "TRC", "[%s] error callback force cap to stop\n",
               "_cap_handle_rdy_data");
        return;
    }
    if (reqmax == 0 || frames_ready(state) == 0) return;

    FetchRequest *req = state.request;
    DeliveryBuffer scratch(state);
    // The scratch buffer with room for a frame of frlen bytes: 4 MiB at the pass's first use,
    // more for a larger frame. Null (logged) when memory is short.
    bool scratch_used = false;
    const auto scratch_for = [&](uint32_t frlen) -> uint8_t * {
        const bool ok =
            (scratch_used || scratch.reserve(kCallbackBufferSize)) && scratch.reserve(frlen);
        scratch_used = true;
        if (!ok) lx_log(LX_LOG_ERR, "ERR", "[%s] malloc failed\n", "_cap_handle_rdy_data");
        return ok ? scratch.data() : nullptr;
    };

    uint32_t handled = 0;
    while (frames_ready(state) > 0) {
        const bool callback = state.on_frame_ready.load() != nullptr;
        // Frames beyond a request stay ready for the next call unless a callback takes them.
        if (req && req->wanted == 0 && !callback) break;
        const bool to_request = req && req->wanted > 0 && req->pos;
        lx_raw_frame_info raw{};
        if (callback) {
            // The frame's size, to make sure all of it is behind the pointer the callback gets.
            uint8_t probe = 0;
            lx_stream_fetch_frames(state.stream.get(), &probe, 0, 1, &raw, true);
        }
        uint8_t *dst = nullptr;
        int32_t dst_len = 0;
        uint32_t cut = 0;  // bytes of a frame taken into scratch that belong to the request
        if (to_request && (!callback || req->left >= raw.frlen)) {
            dst = req->pos;
            dst_len = static_cast<int32_t>(std::min<uint32_t>(req->left, INT32_MAX));
        } else if (callback) {
            dst = scratch_for(raw.frlen);
            if (!dst) return;
            dst_len = static_cast<int32_t>(std::min<size_t>(scratch.size(), INT32_MAX));
            if (to_request) cut = req->left;
        }
        if (lx_stream_fetch_frames(state.stream.get(), dst, dst_len, 1, &raw, false) == 0) break;
        const size_t taken = std::min<size_t>(static_cast<uint32_t>(dst_len), raw.frlen);
        if (cut > 0) std::memcpy(req->pos, dst, std::min<size_t>(cut, taken));
        ++handled;
        deliver(dev, req, dst, taken, raw);
        if (state.close_pending.load()) break;  // the callback closed the device
    }
    lx_log(LX_LOG_TRC, "TRC", "[%s] handle %u ready frames (reqmax: %d, rem: %d)\n",
           "_cap_handle_rdy_data", handled, reqmax, req ? static_cast<int>(req->wanted) : reqmax);
}

// Publishes a fetch request for the duration of a polling call. A frame-ready callback may poll
// the same device in turn: the inner call's request replaces the outer one while it runs, and the
// outer one is published again when it returns, so the outer call keeps filling its own buffer.
class PublishedRequest {
  public:
    PublishedRequest(lumox_dev_state &state, FetchRequest &req)
        : state_(state), outer_(state.request) {
        state_.request = &req;
    }
    ~PublishedRequest() { state_.request = outer_; }
    PublishedRequest(const PublishedRequest &) = delete;
    PublishedRequest &operator=(const PublishedRequest &) = delete;

  private:
    lumox_dev_state &state_;
    FetchRequest *outer_;
};

// Logs a polling call refused because another thread polls the device.
void log_second_poller(const char *func) {
    lx_log(LX_LOG_ERR, "ERR", "[%s] refused: another thread is polling this device\n", func);
}

FetchRequest make_request(uint32_t n, void *buf, uint32_t len, lumox_frame_info *info) {
    FetchRequest req;
    req.requested = n;
    req.wanted = n;
    req.pos = static_cast<uint8_t *>(buf);
    req.left = buf ? len : 0;
    req.info = info;
    return req;
}

}  // namespace

uint64_t cap_timeout_ms(uint32_t n, uint32_t fps) {
    const uint64_t per_frame = fps ? 1000 / fps : 50;
    return 100ull * n + n * per_frame + 2000;
}

uint32_t cap_frame_rate() { return g_frame_rate.load(); }

int on_capture_event(lumox_ll_dev *ll, int32_t event, uint8_t *data, int32_t len, void *user) {
    (void)ll;
    auto *dev = static_cast<lumox_dev_t *>(user);
    lumox_dev_state &state = *dev->state;
    switch (event) {
        case LUMOX_LL_CAP_DATA:
            state.stalls.store(0);
            if (data && len > 0 &&
                lx_stream_feed_input(state.stream.get(), data, static_cast<uint32_t>(len))) {
                signal(state);
            }
            break;
        case LUMOX_LL_CAP_CANCELLED:
            abort_capture(state);
            break;
        case LUMOX_LL_CAP_TIMEOUT:
            if (state.timeouts.fetch_add(1) + 1 > kTimeoutLimit && !state.stop.load()) {
                lx_log(LX_LOG_WRN, "WRN", "[%s] trans timeout -> stop\n", "on_capture_event");
                state.cap_error.store(LUMOX_ERR_CAP_TIMEOUT);
                state.error_arg.store(0);
                abort_capture(state);
            }
            break;
        case LUMOX_LL_CAP_STALL:
            if (state.stalls.fetch_add(1) + 1 > kStallLimit && !state.stop.load()) {
                lx_log(LX_LOG_WRN, "WRN", "[%s] trans stall -> stop\n", "on_capture_event");
                state.cap_error.store(LUMOX_ERR_CAP_STALL);
                state.error_arg.store(0);
                abort_capture(state);
            }
            break;
        default:
            state.cap_error.store(event);
            state.error_arg.store(0);
            if (state.stop.exchange(1) == 0) lumox_ll_cap_abort(&state.ll);
            signal(state);
            return 0;
    }

    lx_stream_state now{};
    lx_stream_get_state(state.stream.get(), &now);
    if (now.frames_discarded > state.last_state.frames_discarded) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] trans discard %d frames\n", "on_capture_event",
               static_cast<int>(now.frames_discarded - state.last_state.frames_discarded));
        state.error_arg.store(now.frames_discarded);
        state.discard_count.store(now.frames_discarded);
        state.cap_error.store(LUMOX_ERR_CAP_FRAME_DISCARD);
    }
    state.last_state = now;
    if (state.cap_error.load() != 0) signal(state);
    return 0;
}

}  // namespace lumox::api

using namespace lumox::api;

extern "C" {

LUMOX_API uint8_t lumox_cap_set_frame_buffer(lumox_dev_t *dev, void *buf, uint32_t size) noexcept {
    (void)buf;
    if (!is_open(dev) || dev->state->capturing.load()) {
        lx_log(LX_LOG_ERR, "ERR",
               "[%s]  Set frame buffer is not allowed when device is not open or is capturing\n",
               "lumox_cap_set_frame_buffer");
        return 0;
    }
    BusyMark busy(dev);
    if (!busy) return 0;  // closed meanwhile
    const lx_stream_cfg cfg{size / LUMOX_FRAME_BUF_UNIT};
    lx_stream_set_cfg(dev->state->stream.get(), &cfg);
    lx_log(LX_LOG_DBG, "DBG", "[%s] frame buffer: %d frames\n", "lumox_cap_set_frame_buffer",
           static_cast<int>(cfg.capacity));
    dev->state->start_arg = 0;
    return 1;
}

LUMOX_API uint8_t lumox_cap_get_frame_buffer(lumox_dev_t *dev, void **buf,
                                             uint32_t *size) noexcept {
    if (!check_open(dev, "lumox_cap_get_frame_buffer")) return 0;
    const DeviceCall call(dev);
    if (!call) return 0;
    lx_stream_cfg cfg{};
    lx_stream_get_cfg(dev->state->stream.get(), &cfg);
    if (buf) *buf = nullptr;
    if (size) *size = cfg.capacity * LUMOX_FRAME_BUF_UNIT;
    return 1;
}

LUMOX_API void lumox_cap_set_callback_on_frame_ready(lumox_dev_t *dev,
                                                     lumox_cap_frdy_cb cb) noexcept {
    lx_log(LX_LOG_DBG, "DBG", "[%s] set on_cap_frdy to %p\n",
           "lumox_cap_set_callback_on_frame_ready", reinterpret_cast<void *>(cb));
    if (!check_open(dev, "lumox_cap_set_callback_on_frame_ready")) return;
    const DeviceCall call(dev);
    if (!call) return;
    dev->state->on_frame_ready.store(cb);
    set_busy(dev, false);
}

LUMOX_API void lumox_cap_set_callback_on_error(lumox_dev_t *dev, lumox_cap_err_cb cb) noexcept {
    lx_log(LX_LOG_DBG, "DBG", "[%s] set on_cap_err to %p\n", "lumox_cap_set_callback_on_error",
           reinterpret_cast<void *>(cb));
    if (!check_open(dev, "lumox_cap_set_callback_on_error")) return;
    const DeviceCall call(dev);
    if (!call) return;
    dev->state->on_error.store(cb);
    set_busy(dev, false);
}

LUMOX_API uint8_t lumox_cap_is_ongoing(lumox_dev_t *dev) noexcept {
    if (!check_open(dev, "lumox_cap_is_ongoing")) return 0;
    const DeviceCall call(dev);
    if (!call) return 0;
    return dev->state->capturing.load();
}

LUMOX_API uint8_t lumox_cap_stop(lumox_dev_t *dev) noexcept {
    lx_log(LX_LOG_DBG, "DBG", "[%s] Enter\n", "lumox_cap_stop");
    if (!check_open(dev, "lumox_cap_stop")) return 0;
    BusyMark busy(dev);
    if (!busy) return 0;  // closed meanwhile
    stop_capture(*dev->state);
    return 1;
}

LUMOX_API uint8_t lumox_cap_start(lumox_dev_t *dev) noexcept {
    if (!is_open(dev) || !dev->state->ll.priv) {
        lx_log(LX_LOG_ERR, "ERR", kNullDevice, "lumox_cap_start");
        return 0;
    }
    BusyMark busy(dev);
    if (!busy) return 0;  // closed meanwhile
    lumox_dev_state &state = *dev->state;
    stop_capture(state);

    lumox_param_item rate{};
    rate.param_id = LUMOX_PARAM_FRAME_RATE;
    rate.param_val_len = 4;
    if (param_get(&state.ll, &rate, 1)) {
        uint32_t fps = 0;
        std::memcpy(&fps, rate.param_val, sizeof fps);
        g_frame_rate.store(fps);
    }

    lx_stream_cfg cfg{};
    lx_stream_get_cfg(state.stream.get(), &cfg);
    if (cfg.capacity < kMinFrames) {
        lx_log(LX_LOG_ERR, "ERR", "[%s]  capture buffer not set or size is not correct \n",
               "_lumox_cap_start");
        return 0;
    }
    lx_log(LX_LOG_TRC, "TRC", "[%s] Enter ... \n", "_lumox_cap_start");
    state.timeouts.store(0);
    state.stalls.store(0);
    state.discard_count.store(0);
    state.undescribed.store(0);
    state.forced_stop.store(0);
    state.cap_error.store(0);
    state.error_arg.store(0);
    state.last_state = lx_stream_state{};
    lx_stream_reset(state.stream.get());
    state.stop.store(0);

    lx_log(LX_LOG_DBG, "DBG", "[%s] issue start cmd\n", "_lumox_cap_start");
    const uint8_t started = lumox_ll_cap_start(&state.ll, state.start_arg, on_capture_event, dev);
    if (started) {
        state.capturing.store(1);
    } else {
        state.stop.store(1);  // nothing runs: polls must not wait for frames
    }
    return started;
}

LUMOX_API int32_t lumox_cap_get_frames(lumox_dev_t *dev, uint32_t n, void *buf, uint32_t len,
                                       lumox_frame_info *info) noexcept {
    uint32_t fps = g_frame_rate.load();
    if (fps == 0) {
        fps = 20;
        g_frame_rate.store(fps);
    }
    const uint64_t timeout_ms = cap_timeout_ms(n, fps);
    if (!dev) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] Wrong params\n", "_lumox_cap_get_frames");
        return LUMOX_CAP_BAD_CALL;
    }
    PollRole role;
    BusyMark busy(dev);
    if (!is_open(dev) || n == 0) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] Wrong params\n", "_lumox_cap_get_frames");
        return LUMOX_CAP_BAD_CALL;
    }
    if (!role.acquire(dev)) {
        log_second_poller("_lumox_cap_get_frames");
        return LUMOX_CAP_BAD_CALL;
    }
    lumox_dev_state &state = *dev->state;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    lx_log(LX_LOG_TRC, "TRC", "[%s] frame_num = %d, timeout_msec=%d\n", "_lumox_cap_get_frames",
           static_cast<int>(n), static_cast<int>(std::min<uint64_t>(timeout_ms, INT32_MAX)));
    FetchRequest req = make_request(n, buf, len, info);
    PublishedRequest published(state, req);

    const int32_t error = state.cap_error.load();
    if (error < 0) {
        handle_ready_data(dev, static_cast<int32_t>(std::min<uint32_t>(n, INT32_MAX)));
        return error;
    }
    while (!state.stop.load()) {
        if (!wait_for_work(state, &deadline)) {
            lx_log(LX_LOG_INF, "INF", "[%s]  timeout ... (%s)\n", "_lumox_cap_get_frames",
                   "Connection timed out");
            break;
        }
        handle_ready_data(dev, static_cast<int32_t>(std::min<uint32_t>(req.wanted, INT32_MAX)));
        if (req.wanted == 0) break;
    }
    const int32_t wanted = static_cast<int32_t>(std::min<uint32_t>(req.wanted, INT32_MAX));
    if (state.capturing.load()) {
        handle_ready_data(dev, wanted);
        return static_cast<int32_t>(n - req.wanted);
    }
    lx_log(LX_LOG_TRC, "TRC", "[%s] device is not capturing\n", "_lumox_cap_get_frames");
    handle_ready_data(dev, wanted);
    return LUMOX_CAP_NOT_CAPTURING;
}

LUMOX_API int32_t lumox_cap_get_frame(lumox_dev_t *dev, void *buf, uint32_t len,
                                      lumox_frame_info *info) noexcept {
    if (!dev) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] Wrong params\n", "_lumox_cap_get_frames");
        return LUMOX_CAP_BAD_CALL;
    }
    PollRole role;
    BusyMark busy(dev);
    if (!is_open(dev)) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] Wrong params\n", "_lumox_cap_get_frames");
        return LUMOX_CAP_BAD_CALL;
    }
    if (!role.acquire(dev)) {
        log_second_poller("_lumox_cap_get_frame");
        return LUMOX_CAP_BAD_CALL;
    }
    lumox_dev_state &state = *dev->state;
    lx_log(LX_LOG_TRC, "TRC", "[%s] frame_num = %d, timeout_msec=%d\n", "_lumox_cap_get_frames", 1,
           0);
    FetchRequest req = make_request(1, buf, len, info);
    PublishedRequest published(state, req);
    const int32_t error = state.cap_error.load();
    if (error < 0) {
        handle_ready_data(dev, 1);
        return error;
    }
    if (state.capturing.load()) {
        handle_ready_data(dev, 1);
        return static_cast<int32_t>(1 - req.wanted);
    }
    lx_log(LX_LOG_TRC, "TRC", "[%s] device is not capturing\n", "_lumox_cap_get_frames");
    handle_ready_data(dev, 1);
    return LUMOX_CAP_NOT_CAPTURING;
}

LUMOX_API uint8_t lumox_cap_snapshot(lumox_dev_t *dev, void *buf, uint32_t len,
                                     lumox_frame_info *info) noexcept {
    if (!is_open(dev)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] wrong parameters\n", "lumox_cap_snapshot");
        return 0;
    }
    // Held across start, poll and stop: a callback that closes the device closes it when this
    // call returns.
    PollRole role;
    if (!role.acquire(dev)) {
        log_second_poller("lumox_cap_snapshot");
        return 0;
    }
    int32_t got = 0;
    if (dev->state->capturing.load()) {
        got = lumox_cap_get_frames(dev, 1, buf, len, info);
    } else {
        if (!lumox_cap_start(dev)) return 0;
        got = lumox_cap_get_frames(dev, 1, buf, len, info);
        if (!dev->state->close_pending.load()) lumox_cap_stop(dev);
    }
    return got > 0 ? 1 : 0;
}

LUMOX_API uint8_t lumox_cap_wait(lumox_dev_t *dev, uint32_t timeout_ms) noexcept {
    lx_log(LX_LOG_DBG, "DBG", "[%s] timeout_msec=%d\n", "lumox_cap_wait",
           static_cast<int>(timeout_ms));
    if (!is_open(dev)) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] Wrong params\n", "lumox_cap_wait");
        return 0;
    }
    // Declared first: holds the state until this call has left it, and completes a close asked
    // for by a callback.
    PollRole role;
    if (!dev->state->capturing.load()) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] device is not capturing\n", "lumox_cap_wait");
        return 0;
    }
    if (!role.acquire(dev)) {
        log_second_poller("lumox_cap_wait");
        return 0;
    }
    lumox_dev_state &state = *dev->state;
    BusyMark busy(dev);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    bool ended = true;
    if (state.cap_error.load() >= 0 && !state.stop.load()) {
        for (;;) {
            // The busy flag is down while sleeping: the call does no work then. A close stops the
            // capture, which wakes this wait.
            set_busy(dev, false);
            const bool woke = wait_for_work(state, timeout_ms ? &deadline : nullptr);
            set_busy(dev, true);
            if (!woke) {
                lx_log(LX_LOG_INF, "INF", "[%s]  timeout ...\n", "lumox_cap_wait");
                ended = false;
                break;
            }
            handle_ready_data(dev, kAllFrames);
            if (state.stop.load()) break;
        }
    }
    handle_ready_data(dev, kAllFrames);
    return ended ? 1 : 0;
}

LUMOX_API uint8_t lumox_cap_get_stats(lumox_dev_t *dev, lumox_cap_stats *stats) noexcept {
    if (!check_open(dev, "lumox_cap_get_stats") || !stats) return 0;
    const DeviceCall call(dev);
    if (!call) return 0;
    lx_stream_state now{};
    lx_stream_get_state(dev->state->stream.get(), &now);
    stats->frames_received = now.frames_received;
    stats->frames_queued = now.frames_queued;
    stats->frames_discarded = now.frames_discarded + dev->state->undescribed.load();
    stats->frames_overflowed = now.frames_overflowed;
    stats->frames_ready = now.frames_ready;
    stats->bytes_dropped = now.bytes_dropped;
    return 1;
}

LUMOX_API uint8_t lumox_cap_get_raw_info(lumox_dev_t *dev, lx_raw_frame_info *raw) noexcept {
    if (!check_open(dev, "lumox_cap_get_raw_info") || !raw) return 0;
    const DeviceCall call(dev);
    if (!call) return 0;
    *raw = dev->state->last_raw;
    return 1;
}

LUMOX_API const char *lumox_error_name(int32_t code) noexcept {
    switch (code) {
        case LUMOX_ERR_CAP_OK:
            return "OK";
        case LUMOX_ERR_CAP_FRAME_DISCARD:
            return "LUMOX_ERR_CAP_FRAME_DISCARD";
        case LUMOX_ERR_CAP_TIMEOUT:
            return "LUMOX_ERR_CAP_TIMEOUT";
        case LUMOX_ERR_CAP_STALL:
            return "LUMOX_ERR_CAP_STALL";
        case LUMOX_ERR_CAP_ERROR:
            return "LUMOX_ERR_CAP_ERROR";
        case LUMOX_ERR_CAP_UNKNOWN:
            return "LUMOX_ERR_CAP_UNKNOWN";
        default:
            return "**UNKNOWN**";
    }
}

}  // extern "C"
