#include "view_recorder.h"

#include <chrono>

#include "view_stats.h"

namespace lumox_cli {

ViewRecording::ViewRecording(const ViewRecorderFactory &factory, ViewStats &stats)
    : factory_(factory), stats_(stats) {}

void ViewRecording::start(lumox_dev_t *dev, const std::vector<std::string> &switches) {
    std::string why;
    recorder_ = factory_(dev, switches, &why);
    if (recorder_)
        stats_.note_record_started(recorder_->path());
    else
        stats_.note_record_failed(why);
}

void ViewRecording::append(const lumox_frame_info &info, const lx_raw_frame_info &raw,
                           const uint8_t *bytes, size_t size, double arrival_wall_ms) {
    std::string why;
    const auto wall_ns = static_cast<int64_t>(arrival_wall_ms * 1e6);
    const auto mono_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
    if (recorder_->append(info, raw, bytes, size, mono_ns, wall_ns, &why))
        stats_.note_recorded_frame();
    else
        stop(why);
}

void ViewRecording::stop(const std::string &why) {
    std::string close_error;
    const bool closed = recorder_->close(&close_error);
    recorder_.reset();
    stats_.note_record_stopped(!why.empty() ? why : closed ? "" : close_error);
}

}  // namespace lumox_cli
