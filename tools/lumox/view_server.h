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
//                             page scales it by the distance to draw the point cloud
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
// Threads: the capture thread is the only one that polls the camera; request handlers run on the
// HTTP server's pool. Every other library call on the device, from either side, holds the
// server's device lock, so that a control never runs inside a frame's decoding.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lumox/lumox.h"

namespace lumox_cli {

// Leading bytes of every frame message, little-endian.
struct ViewFrameHeader {
    uint32_t magic;        // kViewFrameMagic
    uint32_t header_size;  // sizeof(ViewFrameHeader): the pixel data follows
    uint32_t seq;          // the server's frame counter, from 1
    uint16_t frame_idx;    // the camera's frame index
    uint16_t format;
    uint16_t width;
    uint16_t height;
    int16_t temp_sensor;  // tenths of a degree, from the frame's stream header
    int16_t temp_board;
    double arrival_ms;   // wall clock (ms since 1970) when the capture call handed the frame over
    double ready_ms;     // wall clock when the decoded frame was ready to send
    uint32_t decode_us;  // time spent decoding distance and amplitude
    uint32_t reserved;
};
static_assert(sizeof(ViewFrameHeader) == 48, "the page reads this layout");
constexpr uint32_t kViewFrameMagic = 0x4656584C;  // "LXVF"

// Where the record button's frames go. Made, fed and closed on the capture thread only; made
// while the camera is not capturing (describing a camera may fetch its calibration package).
class ViewRecorder {
  public:
    virtual ~ViewRecorder() = default;
    // One raw frame as the library delivered it, with the host's clocks at its arrival.
    virtual bool append(const lumox_frame_info &info, const lx_raw_frame_info &raw,
                        const uint8_t *bytes, size_t size, int64_t monotonic_ns, int64_t wall_ns,
                        std::string *error) = 0;
    virtual bool close(std::string *error) = 0;
    virtual const std::string &path() const = 0;
};
// Starts a recording of the open camera; filters: the processing switches the page applied
// ("ID=VALUE", "ID=on", "ID=off"). Null with *error set when it cannot.
using ViewRecorderFactory = std::function<std::unique_ptr<ViewRecorder>(
    lumox_dev_t *dev, const std::vector<std::string> &filters, std::string *error)>;

struct ViewOptions {
    std::string bind = "127.0.0.1";  // localhost unless another address is asked for
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
};

class ViewServer {
  public:
    // dev must stay open until the server is destroyed.
    ViewServer(lumox_dev_t *dev, ViewOptions options);
    ~ViewServer();
    ViewServer(const ViewServer &) = delete;
    ViewServer &operator=(const ViewServer &) = delete;

    // Binds the address, starts capturing and serving. False, with *error set, when the address
    // cannot be bound.
    bool start(std::string *error);
    // The port bound by start().
    int port() const;
    // Ends serving and capturing; waits for both threads. Idempotent.
    void stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace lumox_cli
