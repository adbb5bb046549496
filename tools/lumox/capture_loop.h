// The capture loop shared by the commands that stream frames (capture, depth and the ones that
// record or show them): starts the stream, hands each frame to the command, stops the stream and
// reports what the stream counted.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "lumox/lumox.h"

namespace lumox_cli {

struct CapturedFrame {
    long number;  // 0 for the first frame of this run
    lumox_frame_info info;
    const uint8_t *data;  // the frame's bytes, valid during the call
    uint32_t size;        // bytes at data (a frame larger than the buffer is cut)
    std::chrono::steady_clock::time_point arrival;
    std::chrono::system_clock::time_point wall;  // the same moment on the wall clock
};

// Nanoseconds since the clock's epoch (the steady clock's is arbitrary; the wall clock's is
// 1970-01-01 UTC).
template <typename TimePoint>
long long nanoseconds(TimePoint t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// Returns false to end the capture as failed (the sink has said why).
using FrameSink = std::function<bool(const CapturedFrame &)>;

struct CaptureSettings {
    long frames = 1;
    // Asked before every frame: true ends the capture there, as a normal end (not a failure).
    std::function<bool()> stop;
    uint32_t buffered_frames = 10;     // frames the library keeps ready
    uint32_t buffer_bytes = 8u << 20;  // room for one frame
    // Polls in a row that may time out without a frame before the capture counts as failed
    // (each waits the library's time-out, about 2 s at 20 frames/s).
    uint32_t silent_polls = 1;
};

struct CaptureSummary {
    long frames = 0;       // frames handed to the sink
    bool failed = false;   // the stream ended early or the sink refused a frame
    bool stopped = false;  // settings.stop ended it
    bool refused = false;  // the sink refused a frame (failed is set too)
    lumox_cap_stats stats{};
    // When frames reached the tool, and how many frames the stream had received by then: the
    // first two frames and the latest one.
    std::vector<std::chrono::steady_clock::time_point> arrivals;
    std::vector<uint32_t> received;

    // Frames per second the camera delivered between the second frame and the last (the first
    // carries the stream's start-up latency): the frames the stream received in that time over
    // its length. Counting the stream's arrivals rather
    // than the frames handed out keeps the rate true when the library's frame buffer holds a
    // backlog (a short capture drains it faster than the camera fills it). Negative for fewer
    // than two frames.
    double frame_rate() const;
};

// While one lives, SIGINT (Ctrl-C) and SIGTERM do not end the process but set requested(): a
// capture that asks it stops after the frame in hand and leaves its files complete.
class StopOnSignal {
  public:
    StopOnSignal();
    ~StopOnSignal();
    StopOnSignal(const StopOnSignal &) = delete;
    StopOnSignal &operator=(const StopOnSignal &) = delete;
    static bool requested();
};

CaptureSummary run_capture(lumox_dev_t *dev, const CaptureSettings &settings,
                           const FrameSink &sink);

// "frames captured", the stream's counters and the frame rate.
void print_capture_summary(const CaptureSummary &summary);

}  // namespace lumox_cli
