// Capture engine: starts and stops the camera's frame stream, turns transport events into
// stream input and capture errors (on the event thread), and delivers ready frames to polling
// calls and the frame-ready callback (on the application's thread).
#pragma once

#include <cstdint>

#include "lumox/transport.h"

namespace lumox::api {

// Poll time-out of lumox_cap_get_frames for n frames at fps frames per second (50 ms per frame
// when fps is 0): 100 ms + one frame time per frame, plus 2 s.
uint64_t cap_timeout_ms(uint32_t n, uint32_t fps);

// The frame rate last read from a camera at capture start (process-wide; 0 until then).
uint32_t cap_frame_rate();

// The transport's capture callback: user is the lumox_dev_t of the capture.
int on_capture_event(lumox_ll_dev *ll, int32_t event, uint8_t *data, int32_t len, void *user);

}  // namespace lumox::api
