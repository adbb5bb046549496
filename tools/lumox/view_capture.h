// The viewer's capture worker: the only thread that polls the camera. It starts and stops the
// stream as the page asks, decodes every frame into distances and amplitudes for the frame slot,
// feeds the recording, counts for the statistics, and waits for an unplugged camera to come back.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "view_device.h"
#include "view_recorder.h"
#include "view_server.h"

namespace lumox_cli {

class LatestFrameSlot;
class ViewControls;
class ViewStats;

class ViewCapture {
  public:
    ViewCapture(ViewDevice &device, ViewControls &controls, ViewStats &stats,
                LatestFrameSlot &frames, const ViewOptions &options);
    ~ViewCapture();
    ViewCapture(const ViewCapture &) = delete;
    ViewCapture &operator=(const ViewCapture &) = delete;

    // Starts the thread; capture errors reported by the library are counted from now on.
    void start();
    // Stops the capture (a poll in progress returns) and joins the thread. Idempotent.
    void stop();

    // The page's requests; each wakes the thread.
    void request_capture(bool on);
    void request_record(bool on);
    // Starts the capture again if it runs (a new frame rate times the transfers).
    void restart_if_capturing();
    bool capturing() const { return capturing_; }

  private:
    enum class RecordRequest { kNone, kStart, kStop };
    struct Requests {
        bool want = false;
        bool restart = false;
        RecordRequest record = RecordRequest::kNone;
    };
    enum class Start { kStarted, kRetry, kQuit };

    void loop();
    bool next_requests(Requests *r);
    bool wait_state(std::chrono::milliseconds timeout);
    Start start_streaming();
    void stop_streaming();
    bool poll_once();
    bool capture_failed(int32_t code);
    void handle_frame(const lumox_frame_info &info, double arrival_ms);
    bool decode(const lumox_frame_info &info, lx_raw_frame_info *rawinfo, lumox_cap_stats *stream);
    bool reconnect();
    void start_recording();

    ViewDevice &device_;
    ViewControls &controls_;
    ViewStats &stats_;
    LatestFrameSlot &frames_;
    const ViewOptions &options_;
    ViewRecording recording_;
    std::thread thread_;

    std::mutex state_mutex_;
    std::condition_variable state_cv_;
    std::atomic<bool> quit_{false};  // written under state_mutex_, read by every waiter
    bool started_ = false;
    bool want_capture_ = true;
    bool restart_ = false;
    RecordRequest record_request_ = RecordRequest::kNone;
    std::atomic<bool> capturing_{false};
    // The last error that ended the capture, as the error callback saw it (0: none since the
    // capture started). The callback takes the error from the library: the polls that follow
    // return no frame at once, so the capture thread learns of the end from here.
    std::atomic<int32_t> ended_by_{0};

    // Capture thread only.
    std::vector<uint8_t> raw_;
    std::vector<float> dist_;
    std::vector<float> gray_;
};

}  // namespace lumox_cli
