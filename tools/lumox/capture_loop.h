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
};

// Returns false to end the capture as failed (the sink has said why).
using FrameSink = std::function<bool(const CapturedFrame &)>;

struct CaptureSettings {
    long frames = 1;
    uint32_t buffered_frames = 10;     // frames the library keeps ready
    uint32_t buffer_bytes = 8u << 20;  // room for one frame
};

struct CaptureSummary {
    long frames = 0;      // frames handed to the sink
    bool failed = false;  // the stream ended early or the sink refused a frame
    lumox_cap_stats stats{};
    // When each frame reached the tool, and how many frames the stream had received by then.
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

CaptureSummary run_capture(lumox_dev_t *dev, const CaptureSettings &settings,
                           const FrameSink &sink);

// "frames captured", the stream's counters and the frame rate.
void print_capture_summary(const CaptureSummary &summary);

}  // namespace lumox_cli
