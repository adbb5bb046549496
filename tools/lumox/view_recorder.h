// The viewer's record button: where its frames go (a ViewRecorder, made by the command that
// runs the viewer) and the recording in progress, run by the capture thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lumox/lumox.h"

namespace lumox_cli {

class ViewStats;

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

// The recording in progress; capture thread only. Reports to the statistics.
class ViewRecording {
  public:
    ViewRecording(const ViewRecorderFactory &factory, ViewStats &stats);
    bool active() const { return recorder_ != nullptr; }
    // The device lock is held and the camera stands still.
    void start(lumox_dev_t *dev, const std::vector<std::string> &switches);
    // Appends one frame; a frame that cannot be written ends the recording with the reason.
    void append(const lumox_frame_info &info, const lx_raw_frame_info &raw, const uint8_t *bytes,
                size_t size, double arrival_wall_ms);
    // Closes the recording; why: the reason when a frame could not be written.
    void stop(const std::string &why = {});

  private:
    const ViewRecorderFactory &factory_;
    ViewStats &stats_;
    std::unique_ptr<ViewRecorder> recorder_;
};

}  // namespace lumox_cli
