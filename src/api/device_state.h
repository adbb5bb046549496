// The library-owned state behind an open device record (lumox_dev_t::state), and the small
// helpers every device call shares: the open check and the busy mark.
//
// Threads: application threads run the public calls; the transport's event thread runs the
// capture event handler. What both sides touch (flags, counters, the capture error, callbacks)
// is atomic; the mutex and condition variable carry only the capture signal.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "lumox/device.h"
#include "lumox/driver.h"
#include "lumox/image.h"
#include "lumox/transport.h"
#include "lx/stream.h"

namespace lumox::api {

// A polling call's request for frames, published in the device state while the call runs. Used
// only on the polling thread.
struct FetchRequest {
    uint32_t requested = 0;
    uint32_t wanted = 0;               // frames still wanted
    uint8_t *pos = nullptr;            // where the next frame goes in the caller's buffer
    uint32_t left = 0;                 // bytes left from pos
    lumox_frame_info *info = nullptr;  // receives the first frame's description
};

// Owner of a device's stream parser: destroys it with the state.
struct StreamDeleter {
    void operator()(lx_stream *stream) const { lx_stream_destroy(stream); }
};
using StreamOwner = std::unique_ptr<lx_stream, StreamDeleter>;

// Each pixel's unit ray through the lens for one frame size, rebuilt only when the lens record
// or the size changes (lumox_frame_get_points). Application threads; the lock guards all of it.
struct RayCache {
    std::mutex lock;
    lx_lens_param lens{};  // the lens scaled to width x height that the rays belong to
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<float> rays;  // 3 per pixel, image order
};

}  // namespace lumox::api

struct lumox_dev_state {
    lumox_ll_dev ll{};
    lumox_drv *drv = nullptr;
    std::atomic<uint8_t> open{0};
    std::atomic<uint8_t> capturing{0};
    lumox::api::StreamOwner stream;
    lx_stream_state last_state{};   // event thread (reset at start, before transfers run)
    lumox_frame_info frame_info{};  // polling thread: description of the last frame fetched
    lx_raw_frame_info last_raw{};   // polling thread: raw information of that frame
    uint32_t start_arg = 0;
    std::atomic<uint32_t> stop{1};
    std::atomic<uint32_t> timeouts{0};
    std::atomic<uint32_t> stalls{0};
    std::atomic<uint32_t> discard_count{0};
    // Frames of this capture that the driver could not describe: not handed out, counted with the
    // stream's discarded frames in the statistics.
    std::atomic<uint32_t> undescribed{0};
    std::atomic<int32_t> cap_error{0};
    std::atomic<uint8_t> forced_stop{0};
    std::atomic<uint32_t> error_arg{0};
    std::atomic<lumox_cap_frdy_cb> on_frame_ready{nullptr};
    std::atomic<lumox_cap_err_cb> on_error{nullptr};
    // The thread running a polling call on this device (none: a default id) and how deep its
    // polling calls nest (a callback that polls in turn). Polls from any other thread are
    // refused, so that no frame is taken out of the stream by a call that cannot deliver it.
    std::atomic<std::thread::id> poll_owner{};
    uint32_t poll_depth = 0;  // the owner thread only
    // Set when lumox_dev_close begins: the device is closing (no longer open once the capture
    // has stopped); its state stays until the last call inside it has left.
    std::atomic<uint8_t> close_pending{0};
    // References to this state: one for the open device, dropped by lumox_dev_close, and one
    // per call running inside it (DeviceCall, BusyMark, PollRole). Whoever drops the last one
    // closes the transport and releases the state, so no call ever runs on a closed transport
    // or a freed state.
    std::atomic<uint32_t> refs{0};
    std::unique_ptr<std::condition_variable> cond;
    std::unique_ptr<std::mutex> mutex;
    // The request of the polling call in progress; a callback polling in turn publishes its own
    // and restores this one when it returns.
    lumox::api::FetchRequest *request = nullptr;
    // Buffer the frame-ready callback receives frames in, kept across polling passes and grown
    // for larger frames; a pass holds delivery_lock while it uses it.
    std::mutex delivery_lock;
    std::unique_ptr<uint8_t[]> delivery_buf;
    size_t delivery_size = 0;
    lumox::api::RayCache rays;
};

namespace lumox::api {

constexpr const char *kNullDevice = "[%s]  Device handler Is NULL!\r\n";

// True when dev has a state that is marked open.
inline bool is_open(const lumox_dev_t *dev) {
    return dev && dev->state && dev->state->open.load(std::memory_order_acquire);
}

// As is_open, logging the null-device error with the caller's name when it fails.
bool check_open(const lumox_dev_t *dev, const char *func);

inline void set_busy(lumox_dev_t *dev, bool busy) {
    std::atomic_ref<uint8_t>(dev->busy).store(busy ? 1 : 0, std::memory_order_release);
}

inline bool is_busy(lumox_dev_t *dev) {
    return std::atomic_ref<uint8_t>(dev->busy).load(std::memory_order_acquire) != 0;
}

// True when the calling thread is inside a polling call on this state (so inside one of its
// callbacks, when a library call comes from the application).
inline bool polls_here(const lumox_dev_state &state) {
    return state.poll_owner.load() == std::this_thread::get_id();
}

// Enters a call into dev's state: true, holding a reference on the state, when dev is open;
// false (no reference) otherwise. Entry and the close's clearing of the open flag exclude each
// other, so a call that entered is always waited for (lifecycle.cpp).
bool enter_call(lumox_dev_t *dev);

// Leaves a call entered with enter_call. The last reference out closes the transport and
// releases the state (and the record, when it asks for that).
void leave_call(lumox_dev_t *dev);

// One public call inside an open device's state, for a scope: holds a reference on the state
// so that a close from another thread waits for it (or leaves the release to it). False when
// the device was not open at entry; the call must then not touch the state.
class DeviceCall {
  public:
    explicit DeviceCall(lumox_dev_t *dev) : dev_(enter_call(dev) ? dev : nullptr) {}
    ~DeviceCall() {
        if (dev_) leave_call(dev_);
    }
    DeviceCall(const DeviceCall &) = delete;
    DeviceCall &operator=(const DeviceCall &) = delete;
    explicit operator bool() const { return dev_ != nullptr; }

  protected:
    lumox_dev_t *dev_;
};

// The polling role of one call. acquire() takes it for the calling thread, or nests in it when
// this thread already holds it; false when another thread polls or the device is not open.
// The role holds a reference on the state, so leaving the outermost call may complete a close
// that a callback asked for: declare it before anything else in the call that refers to the
// state.
class PollRole {
  public:
    PollRole() = default;
    ~PollRole() {
        if (!dev_) return;
        lumox_dev_state &state = *dev_->state;
        // A device closed from a callback keeps the role: later polls meet a closed device.
        if (--state.poll_depth == 0 && !state.close_pending.load())
            state.poll_owner.store(std::thread::id{});
        leave_call(dev_);
    }
    PollRole(const PollRole &) = delete;
    PollRole &operator=(const PollRole &) = delete;

    bool acquire(lumox_dev_t *dev) {
        if (!enter_call(dev)) return false;
        lumox_dev_state &state = *dev->state;
        const std::thread::id me = std::this_thread::get_id();
        std::thread::id none{};
        if (state.poll_owner.load() != me && !state.poll_owner.compare_exchange_strong(none, me)) {
            leave_call(dev);
            return false;
        }
        ++state.poll_depth;
        dev_ = dev;
        return true;
    }

  private:
    lumox_dev_t *dev_ = nullptr;
};

// Marks dev busy for a scope, as a DeviceCall (false: not open, nothing marked).
class BusyMark : public DeviceCall {
  public:
    explicit BusyMark(lumox_dev_t *dev) : DeviceCall(dev) {
        if (dev_) set_busy(dev_, true);
    }
    ~BusyMark() {
        if (dev_) set_busy(dev_, false);
    }
    BusyMark(const BusyMark &) = delete;
    BusyMark &operator=(const BusyMark &) = delete;
};

}  // namespace lumox::api
