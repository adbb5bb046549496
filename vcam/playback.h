// Playback of a recording: the virtual camera becomes the recorded camera. It reports the
// recorded identity and parameters, serves the recorded calibration package, and streams the
// recorded frames byte for byte with their recorded header fields (frame index, format, size,
// temperatures), at the recorded timing, at a fixed rate, or as fast as the host reads.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "recording/recording.h"
#include "vcam/camera.h"

namespace lumox::vcam {

struct PlaybackOptions {
    enum class Timing {
        kAsRecorded,  // frame k falls due when it did after the recording's first frame
        kRate,        // at `rate` frames per second (the frame-rate parameter is set to it)
        kUnpaced      // as fast as the host reads
    };
    Timing timing = Timing::kAsRecorded;
    uint32_t rate = 0;
    bool loop = false;  // start again at the first frame after the last
    // The recorded frames [first, end) are played.
    uint64_t first = 0;
    uint64_t end = std::numeric_limits<uint64_t>::max();
    // Flow control for a host that must not lose a frame: with credit_fd >= 0 frame k is sent
    // only once k < window + the bytes read from credit_fd so far (one byte per frame consumed).
    int credit_fd = -1;
    uint32_t window = 4;
};

class Playback : public FrameSource {
  public:
    // Opens the recording; null with *error set when it cannot be played.
    static std::unique_ptr<Playback> open(const std::string &path, const PlaybackOptions &options,
                                          std::string *error);

    // The identity a camera needs to be the recorded one (its product, serial text, chip, rate).
    CameraConfig camera_config(CameraConfig base = {}) const;
    // Makes camera the recorded camera: parameters, calibration package, pacing, this source.
    static void attach(const std::shared_ptr<Playback> &playback, Camera &camera);

    uint64_t frames() const { return end_ - first_; }
    State state(uint64_t k) override;
    std::optional<Clock::duration> due(uint64_t k) override;
    bool frame(uint64_t k, SourcedFrame &out) override;

  private:
    Playback(std::unique_ptr<recording::Reader> reader, const PlaybackOptions &options);
    uint64_t index_of(uint64_t k) const { return first_ + (k % frames()); }

    std::unique_ptr<recording::Reader> reader_;
    PlaybackOptions options_;
    uint64_t first_ = 0;
    uint64_t end_ = 0;
    uint64_t credits_ = 0;
    std::vector<int64_t> due_ns_;  // when each played frame falls due after the first
    int64_t lap_ns_ = 0;           // duration of one pass through the frames, for looping
};

}  // namespace lumox::vcam
