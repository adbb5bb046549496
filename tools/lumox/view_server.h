// The live viewer's web server: captures from one open camera on a thread of its own, decodes every
// frame into distances and amplitudes, and serves the page (web/, built into the binary), the
// frames, the statistics and the camera's controls over HTTP.
//
// Routes
//   GET  /                    the page; /viewer.js, /viewer.css, /pointcloud.js its parts
//   GET  /frame?after=SEQ     the first frame newer than SEQ (waits up to 2 s, else 204), binary:
//                             a 48-byte header (ViewFrameHeader) followed by width x height
//                             distances (u16 mm, the library's codes 65300/65400/65500 kept) and
//                             width x height amplitudes (u16), all little-endian
//   GET  /rays?w=W&h=H        per pixel the point at one metre along its ray (f32 x, y, z): the
//                             page scales it by the distance to draw the point cloud; at most
//                             the sensor's 320 x 240 (or the size of the frames streamed)
//   GET  /palette             the library's distance colour ramp, 1024 colour words (JSON)
//   GET  /stats               frame rate, frames lost and why, temperatures, calibration, settings
//                             read back from the camera, and whether the camera is there
//                             (camera.state: connected, waiting after an unplug, or lost) (JSON)
//   POST /control?name=N&value=V
//                             frame_rate, integration_time, modulation (frequency index),
//                             filter_ID (on, off or a value), capture (1 start, 0 stop), record
//                             (1 start, 0 stop; with a ViewRecorderFactory); answers
//                             with the value read back from the camera (JSON); only with the
//                             header "X-Lumox-View: 1", which other sites' pages cannot send
//
// Every request must name the server in its Host header, carries no body, and numbers in it are
// plain decimals (view_access). /frame and /rays take one of a few slots (503 when none is free);
// connections are limited in number and in the time their requests take to arrive
// (view_connections, view_limits).
//
// Threads: the capture thread (view_capture) is the only one that polls the camera; request
// handlers (view_routes) run on the HTTP server's pool. Every other library call on the device,
// from either side, holds the server's device lock (view_device), so that a control never runs
// inside a frame's decoding.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "lumox/lumox.h"
#include "view_frames.h"
#include "view_limits.h"
#include "view_recorder.h"

namespace lumox_cli {

struct ViewOptions {
    std::string bind = "127.0.0.1";  // localhost unless another address is asked; never empty
    int port = 8080;                 // 0: any free port (see ViewServer::port)
    uint32_t buffered_frames = 8;    // 400 ms at 20 frames/s: rides out a busy host
    std::string recording;           // the recording being played, shown on the page
    ViewRecorderFactory recorder;    // empty: the page has no record button
    // Called on the capture thread when the capture fails: closes the camera, waits for it to
    // come back and reopens it into the same record (the calls on it holding dev_mutex); false
    // when it did not come back (or stop() turned true). Empty: the capture is started again
    // now and then, as after any capture error.
    std::function<bool(lumox_dev_t *dev, const std::function<bool()> &stop, std::mutex *dev_mutex)>
        reconnect;
    ViewLimits limits;
};

class ViewServer {
  public:
    // dev must stay open until the server is destroyed.
    ViewServer(lumox_dev_t *dev, ViewOptions options);
    ~ViewServer();
    ViewServer(const ViewServer &) = delete;
    ViewServer &operator=(const ViewServer &) = delete;

    // Binds the address, starts capturing and serving. False, with *error set, when the address
    // is empty or cannot be bound.
    bool start(std::string *error);
    // The port bound by start().
    int port() const;
    // Ends serving and capturing, and every connection at once (a client that is slow to send
    // is not waited for); waits for both threads. Idempotent.
    void stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace lumox_cli
