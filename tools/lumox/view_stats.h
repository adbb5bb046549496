// The viewer's statistics: what the capture thread counts (frames, their rate, frames lost and
// why, temperatures, the recording, the camera's presence) and the /stats answer, which adds the
// settings read back from the camera, the filters and the calibration in force.
#pragma once

#include <cmath>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "lumox/lumox.h"

namespace lumox_cli {

class ViewControls;

// Text for a capture error code.
const char *capture_error_text(int32_t code);

struct ViewCounters {
    uint64_t frames = 0;
    uint64_t index_gaps = 0;  // frames missing between consecutive indices
    uint64_t capture_starts = 0;
    uint64_t empty_polls = 0;  // polls that ended without a frame
    std::map<int32_t, uint64_t> errors;
    std::string last_error;
    std::deque<double> arrivals;  // wall ms of the frames of the last two seconds
    double cpu_ms_per_frame = NAN;
    double decode_ms = NAN;
    int16_t temp_sensor = 0;
    int16_t temp_board = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    lumox_cap_stats stream{};
    bool recording = false;
    std::string record_path;
    uint64_t recorded = 0;
    std::string record_error;
    std::string camera_state = "connected";  // connected, waiting, lost
    uint64_t reconnects = 0;
    double last_gap_s = 0;
};

// Written by the capture thread, read by request handlers; every call takes the stats' own lock.
class ViewStats {
  public:
    ViewStats();
    void note_error(const std::string &text, int32_t code);
    void note_empty_poll();
    void note_capture_start();
    void note_frame(const lumox_frame_info &info, const lx_raw_frame_info &raw,
                    const lumox_cap_stats &stream, double arrival_ms, uint32_t decode_us);
    void note_camera_state(const char *state);
    void note_reconnected(double gap_s);
    void note_record_started(const std::string &path);
    void note_record_failed(const std::string &why);
    void note_record_stopped(const std::string &error);
    void note_recorded_frame();
    bool camera_present() const;
    ViewCounters snapshot() const;

  private:
    mutable std::mutex mutex_;
    ViewCounters c_;
    int last_index_ = -1;  // the previous frame's index; -1 after a capture start
    // The window over which CPU time and decoding time per frame are averaged.
    double window_cpu_ms_;
    double window_start_ms_;
    double window_decode_ms_ = 0;
    uint64_t window_frames_ = 0;
};

// What /stats reports besides the counters.
struct StatsSources {
    lumox_dev_t *dev;
    std::mutex *dev_mutex;         // held while the camera is asked and the filters are read
    const ViewControls *controls;  // under dev_mutex
    bool capturing;
    bool recorder_available;
    const std::string *recording;  // the recording being played, or empty
    size_t connections = 0;        // open connections to the server
    size_t frame_waiters = 0;      // /frame requests waiting
    size_t ray_requests = 0;       // /rays requests computing
};

std::string stats_json(const ViewStats &stats, const StatsSources &sources);

}  // namespace lumox_cli
