#include "view_capture.h"

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "view_controls.h"
#include "view_frames.h"
#include "view_stats.h"

namespace lumox_cli {
namespace {

constexpr auto kRestartDelay = std::chrono::seconds(1);
constexpr size_t kRawBufferBytes = 8u << 20;
constexpr uint32_t kMaxDecodedPixels = 1u << 22;

// The capture error callback has no user pointer: the workers find themselves by device.
std::mutex g_sinks_mutex;
std::map<const lumox_dev_t *, std::function<void(int32_t, uint32_t)>> g_error_sinks;

uint8_t on_capture_error(lumox_dev_t *dev, int32_t error, uint32_t arg) {
    std::lock_guard lock(g_sinks_mutex);
    auto it = g_error_sinks.find(dev);
    if (it != g_error_sinks.end()) it->second(error, arg);
    return 1;  // keep capturing: the viewer shows the error and carries on
}

}  // namespace

ViewCapture::ViewCapture(ViewDevice &device, ViewControls &controls, ViewStats &stats,
                         LatestFrameSlot &frames, const ViewOptions &options)
    : device_(device),
      controls_(controls),
      stats_(stats),
      frames_(frames),
      options_(options),
      recording_(options.recorder, stats) {}

ViewCapture::~ViewCapture() { stop(); }

void ViewCapture::start() {
    {
        std::lock_guard lock(g_sinks_mutex);
        g_error_sinks[device_.dev] = [this](int32_t code, uint32_t arg) {
            stats_.note_error(std::string(capture_error_text(code)) + " (" +
                                  lumox_error_name(code) + ", " + std::to_string(arg) + ")",
                              code);
            // A discarded frame (a positive code) leaves the capture running; the negative
            // codes end it.
            if (code < 0) ended_by_.store(code);
        };
    }
    lumox_cap_set_callback_on_error(device_.dev, on_capture_error);
    started_ = true;
    thread_ = std::thread([this] { loop(); });
}

void ViewCapture::stop() {
    {
        std::lock_guard lock(state_mutex_);
        if (!started_ || quit_) return;
        quit_ = true;
    }
    state_cv_.notify_all();
    {
        // A capture stopped under a waiting poll wakes it.
        std::lock_guard lock(device_.mutex);
        if (lumox_cap_is_ongoing(device_.dev)) lumox_cap_stop(device_.dev);
    }
    if (thread_.joinable()) thread_.join();
    lumox_cap_set_callback_on_error(device_.dev, nullptr);
    std::lock_guard lock(g_sinks_mutex);
    g_error_sinks.erase(device_.dev);
}

void ViewCapture::request_capture(bool on) {
    {
        std::lock_guard lock(state_mutex_);
        want_capture_ = on;
    }
    state_cv_.notify_all();
}

void ViewCapture::request_record(bool on) {
    {
        std::lock_guard lock(state_mutex_);
        record_request_ = on ? RecordRequest::kStart : RecordRequest::kStop;
    }
    state_cv_.notify_all();
}

void ViewCapture::restart_if_capturing() {
    {
        std::lock_guard lock(state_mutex_);
        restart_ = capturing_;
    }
    state_cv_.notify_all();
}

// Takes the page's requests, waiting for one while the capture is off. False on quit.
bool ViewCapture::next_requests(Requests *r) {
    std::unique_lock lock(state_mutex_);
    if (!capturing_ && !want_capture_)
        state_cv_.wait(lock, [&] {
            return quit_ || want_capture_ || record_request_ != RecordRequest::kNone;
        });
    if (quit_) return false;
    r->want = want_capture_;
    r->restart = std::exchange(restart_, false);
    r->record = std::exchange(record_request_, RecordRequest::kNone);
    return true;
}

// Waits until quit or a restart request, at most timeout. False on quit.
bool ViewCapture::wait_state(std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_mutex_);
    state_cv_.wait_for(lock, timeout, [&] { return quit_ || restart_; });
    return !quit_;
}

void ViewCapture::loop() {
    raw_.resize(kRawBufferBytes);
    for (;;) {
        Requests req;
        if (!next_requests(&req)) break;
        if (req.record == RecordRequest::kStart && !recording_.active()) start_recording();
        if (req.record == RecordRequest::kStop && recording_.active()) recording_.stop();
        if (capturing_ && (!req.want || req.restart)) stop_streaming();
        if (!capturing_ && req.want) {
            const Start s = start_streaming();
            if (s == Start::kQuit) break;
            if (s == Start::kRetry) {
                if (!wait_state(kRestartDelay)) break;
                continue;
            }
        }
        if (capturing_ && !poll_once()) break;
    }
    if (recording_.active()) recording_.stop();
    stop_streaming();
}

ViewCapture::Start ViewCapture::start_streaming() {
    bool streaming = false;
    {
        std::lock_guard lock(device_.mutex);
        if (quit_) return Start::kQuit;
        streaming = lumox_cap_set_frame_buffer(device_.dev, nullptr,
                                               options_.buffered_frames * LUMOX_FRAME_BUF_UNIT) &&
                    lumox_cap_start(device_.dev);
    }
    if (!streaming) {
        stats_.note_error("the camera did not start streaming", LUMOX_ERR_CAP_UNKNOWN);
        return Start::kRetry;
    }
    capturing_ = true;
    ended_by_.store(0);
    stats_.note_capture_start();
    return Start::kStarted;
}

void ViewCapture::stop_streaming() {
    std::lock_guard lock(device_.mutex);
    if (capturing_) lumox_cap_stop(device_.dev);
    capturing_ = false;
}

// One poll for a frame. False when the server is stopping.
bool ViewCapture::poll_once() {
    lumox_frame_info info{};
    const int32_t r = lumox_cap_get_frames(device_.dev, 1, raw_.data(),
                                           static_cast<uint32_t>(raw_.size()), &info);
    const double arrival = wall_ms();
    if (r == 0) {
        if (const int32_t ended = ended_by_.exchange(0); ended < 0) return capture_failed(ended);
        stats_.note_empty_poll();
        return true;
    }
    if (r < 0) return capture_failed(r);
    handle_frame(info, arrival);
    return true;
}

// The capture ended with code: waits for an unplugged camera, or starts again after a while.
bool ViewCapture::capture_failed(int32_t code) {
    if (quit_) return false;
    if (code != LUMOX_CAP_NOT_CAPTURING)
        stats_.note_error(std::string("capture ended: ") + capture_error_text(code) + " (" +
                              lumox_error_name(code) + ")",
                          code);
    stop_streaming();
    if (code != LUMOX_CAP_NOT_CAPTURING && options_.reconnect && reconnect()) return true;
    return wait_state(kRestartDelay);
}

// Distances and amplitudes of the frame in raw_, into dist_ and gray_; true when decoded.
bool ViewCapture::decode(const lumox_frame_info &info, lx_raw_frame_info *rawinfo,
                         lumox_cap_stats *stream) {
    std::lock_guard lock(device_.mutex);
    lumox_cap_get_raw_info(device_.dev, rawinfo);
    lumox_cap_get_stats(device_.dev, stream);
    const uint32_t n = info.width * info.height;
    const uint32_t len = std::min<uint32_t>(info.frame_size, static_cast<uint32_t>(raw_.size()));
    if (n == 0 || n > kMaxDecodedPixels) return false;
    dist_.resize(n);
    gray_.resize(n);
    // Both images from one decode; where that fails, the distances alone (a frame without a
    // gray image is still shown).
    if (lumox_frame_get_distance_gray(device_.dev, dist_.data(), gray_.data(), n, raw_.data(), len,
                                      &info) > 0)
        return true;
    if (lumox_frame_get_distance(device_.dev, dist_.data(), n, raw_.data(), len, &info) <= 0)
        return false;
    std::fill(gray_.begin(), gray_.end(), 0.0f);
    return true;
}

void ViewCapture::handle_frame(const lumox_frame_info &info, double arrival_ms) {
    lx_raw_frame_info rawinfo{};
    lumox_cap_stats stream{};
    const auto t0 = std::chrono::steady_clock::now();
    const bool decoded = decode(info, &rawinfo, &stream);
    const auto decode_us = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
            .count());
    frames_.publish(encode_frame(info, rawinfo, dist_, gray_, decoded, arrival_ms, decode_us));
    if (recording_.active())
        recording_.append(info, rawinfo, raw_.data(),
                          std::min<size_t>(info.frame_size, raw_.size()), arrival_ms);
    stats_.note_frame(info, rawinfo, stream, arrival_ms, decode_us);
}

// After the capture failed: waits for the camera to come back and reopens it with the filters
// and parameters the page set. A recording in progress goes on into its file.
bool ViewCapture::reconnect() {
    stats_.note_camera_state("waiting");
    const auto start = std::chrono::steady_clock::now();
    const bool back = options_.reconnect(
        device_.dev, [this] { return quit_.load(); }, &device_.mutex);
    if (!back) {
        stats_.note_camera_state("lost");
        return false;
    }
    {
        std::lock_guard lock(device_.mutex);
        controls_.reapply();
    }
    stats_.note_reconnected(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return true;
}

// The camera stops streaming while the recorder describes it; the loop starts it again.
void ViewCapture::start_recording() {
    std::lock_guard lock(device_.mutex);
    if (capturing_) lumox_cap_stop(device_.dev);
    capturing_ = false;
    recording_.start(device_.dev, controls_.switches());
}

}  // namespace lumox_cli
