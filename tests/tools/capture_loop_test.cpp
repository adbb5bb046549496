// The frame rate a capture reports: the camera's arrivals over time, not the tool's pace.

#include "capture_loop.h"

#include <gtest/gtest.h>

namespace lumox_cli {
namespace {

using std::chrono::milliseconds;

CaptureSummary frames_at(std::initializer_list<int> ms, std::initializer_list<uint32_t> received) {
    CaptureSummary s;
    const auto t0 = std::chrono::steady_clock::time_point{};
    for (int t : ms) s.arrivals.push_back(t0 + milliseconds(t));
    s.received = received;
    s.frames = static_cast<long>(s.arrivals.size());
    return s;
}

TEST(FrameRate, StartsAfterTheFirstFramesStartUpLatency) {
    // 20 frames/s; the first frame came 30 ms late.
    EXPECT_NEAR(frames_at({30, 50, 100}, {1, 2, 3}).frame_rate(), 20.0, 1e-9);
    EXPECT_NEAR(frames_at({0, 50}, {1, 2}).frame_rate(), 20.0, 1e-9);
}

TEST(FrameRate, CountsTheStreamsArrivalsWhileABacklogDrains) {
    // Four frames waited in the buffer and were handed out 1 ms apart; the stream had received
    // 5 frames by the second and 10 by the last, 250 ms later.
    EXPECT_NEAR(frames_at({0, 200, 201, 202, 450}, {4, 5, 5, 5, 10}).frame_rate(), 20.0, 0.01);
}

TEST(FrameRate, NeedsTwoFrames) {
    EXPECT_LT(frames_at({0}, {1}).frame_rate(), 0);
    EXPECT_LT(frames_at({}, {}).frame_rate(), 0);
}

}  // namespace
}  // namespace lumox_cli
