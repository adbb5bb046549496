// lumox publish: the camera on the DDS bus as ROS 2 topics. The settings of its command line, and
// the hand-off between the capture thread and the publishing thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "lumox/lumox.h"
#include "ros2/messages.h"
#include "ros2/node.h"

namespace lumox_cli {

struct PublishSettings {
    std::string ros_namespace;  // normalised; empty: /lumox/<serial> once the camera is open
    std::string frame_id;       // empty: NS_optical_frame
    bool sensor_data_qos = false;
    std::optional<uint32_t> domain;  // --domain; else ROS_DOMAIN_ID, else 0
    lumox::ros2::DepthEncoding encoding = lumox::ros2::DepthEncoding::kMillimetres16;
    lumox::ros2::PointLayout points = lumox::ros2::PointLayout::kOrganized;
};

// Reads the publish options of the DDS side (usage errors for bad values).
PublishSettings parse_publish_settings(const Args &args);

// One captured frame on its way from the capture thread to the publishing thread.
struct RawFrame {
    std::vector<uint8_t> bytes;
    lumox_frame_info info{};
    lx_raw_frame_info raw{};  // the frame header's temperatures
    lumox_cap_stats stats{};  // the stream's counters when the frame was handed over
    int64_t wall_ns = 0;      // when the library handed the frame over: the messages' stamp
    int64_t steady_ns = 0;
};

// The newest frame waiting for the publishing thread. The capture thread never waits for the
// publisher: a frame offered while the previous one still waits replaces it, and that
// publication counts as dropped.
class FrameSlot {
  public:
    // Swaps *frame into the slot (the caller gets a buffer to reuse). True when an unpublished
    // frame was replaced.
    bool offer(RawFrame *frame);
    // Swaps the waiting frame into *frame; waits until one comes, the slot closes or the
    // deadline passes. False without a frame.
    template <typename TimePoint>
    bool take(RawFrame *frame, TimePoint deadline) {
        std::unique_lock lock(mutex_);
        cv_.wait_until(lock, deadline, [&] { return full_ || closed_ || woken_; });
        if (!full_) return false;
        std::swap(*frame, slot_);
        full_ = false;
        return true;
    }
    void close();
    bool closed() const;
    // Ends a waiting take() without a frame: the camera's state changed, and the publishing
    // thread reports it at once. take_wake() tells (once) whether that happened.
    void wake();
    bool take_wake();

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    RawFrame slot_;
    bool full_ = false;
    bool closed_ = false;
    bool woken_ = false;
};

}  // namespace lumox_cli
