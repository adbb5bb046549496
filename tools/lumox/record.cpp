// lumox record: a camera's stream into a recording (recording/): every raw frame as
// captured, with what it takes to decode it again without the camera. Ctrl-C ends the recording
// after the frame in hand; the file is then complete and holds every frame received.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "capture_loop.h"
#include "command.h"
#include "exposure.h"
#include "filters.h"
#include "reconnect.h"
#include "record_pipeline.h"
#include "recording/camera_description.h"
#include "session.h"
#include "writers.h"

namespace lumox_cli {

namespace rec = lumox::recording;

namespace {

// The processing switches as given (recorded in the file) and as parsed.
struct Switches {
    std::vector<std::string> texts;
    std::vector<FilterSetting> filters;
};

// The exposure and switches of the recording, applied after each open; false (reported) when
// the camera refuses one.
bool apply_settings(lumox_dev_t *dev, const Exposure &exposure, const Switches &switches) {
    if (!apply_exposure(dev, exposure)) return false;
    for (size_t i = 0; i < switches.filters.size(); ++i)
        if (!apply_filter(dev, switches.filters[i], switches.texts[i])) return false;
    return true;
}

// Queues each frame delivered for the recording (the pipeline writes it and prints its line).
// *refused is true while a frame is in hand and after one was refused: the recording then ends.
FrameSink frame_writer(lumox_dev_t *dev, RecordPipeline &pipeline, bool &refused) {
    return [dev, &pipeline, &refused](const CapturedFrame &frame) {
        refused = true;  // until the frame is written
        if (frame.size < frame.info.frame_size) {
            fail("frame %u of %u bytes does not fit the capture buffer", frame.info.frame_idx,
                 frame.info.frame_size);
            return false;
        }
        rec::FrameMeta meta;
        meta.info = frame.info;
        lumox_cap_get_raw_info(dev, &meta.raw);
        meta.host_monotonic_ns = nanoseconds(frame.arrival);
        meta.host_wall_ns = nanoseconds(frame.wall);
        if (!pipeline.push(meta, frame.data, frame.size)) return false;  // said at the end
        refused = false;
        return true;
    };
}

}  // namespace

int cmd_record(const Args &args) {
    const std::string path = args.operands.at(0);
    if (args.has("--frames") == args.has("--seconds"))
        throw UsageError("record needs --frames N or --seconds S");
    CaptureSettings settings;
    settings.frames = option_int(args, "--frames", 1, 100000000, 100000000);
    const long long seconds = option_int(args, "--seconds", 1, 1000000, 0);
    const int compression = static_cast<int>(option_int(args, "--compress", 0, 9, 0));
    Switches switches;
    switches.texts = args.values("--filter");
    for (const std::string &f : switches.texts) switches.filters.push_back(parse_filter(f));
    std::string calib_dir = args.value("--calib");
    if (!calib_dir.empty()) {
        if (calib_dir.back() != '/') calib_dir += '/';
        if (const std::string why = make_dirs(calib_dir); !why.empty())
            return fail("cannot use the calibration directory: %s", why.c_str());
    }

    const Exposure exposure = parse_exposure(args);
    Reconnector reconnector(args);  // --reconnect-timeout checked before the camera is opened
    Session session(args);
    if (!calib_dir.empty()) lumox_path_cfg(calib_dir.c_str());
    session.use_cached_calibration();
    const std::set<std::string> files_before = rec::list_directory(rec::calibration_directory());
    lumox_dev_t *dev = session.open();
    if (!dev || !apply_settings(dev, exposure, switches)) return kExitFailure;

    rec::Header header;
    std::string error;
    if (!rec::describe_camera(dev, files_before, switches.texts, &header, &error))
        return fail("%s", error.c_str());
    auto writer = rec::Writer::create(path, header, compression, &error);
    if (!writer) return fail("%s", error.c_str());

    // Compressing runs beside the capture, on every core but one (at least two workers), with
    // room for two seconds of frames at the camera's rate (a disk that stalls, a busy host); the
    // frame lines are printed as the frames reach the file.
    const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
    RecordPipeline pipeline(*writer, compression, cores - 1,
                            std::clamp<size_t>(2 * header.capture.frame_rate, 16, 120),
                            [](const rec::FrameMeta &meta, uint64_t number) {
                                std::printf("frame %6llu  index %5u  %u bytes\n",
                                            static_cast<unsigned long long>(number),
                                            meta.info.frame_idx, meta.info.frame_size);
                                std::fflush(stdout);
                            });
    // The library keeps frames for a host that is not scheduled for a while.
    settings.buffered_frames = 30;
    const StopOnSignal interrupt;
    reconnector.watch(dev);
    const auto start = std::chrono::steady_clock::now();
    settings.stop = [&] {
        return StopOnSignal::requested() ||
               (seconds > 0 &&
                std::chrono::steady_clock::now() - start >= std::chrono::seconds(seconds));
    };
    const long wanted = settings.frames;
    long done = 0;  // frames recorded before the current stretch of the stream
    bool refused = false;
    const FrameSink sink = frame_writer(dev, pipeline, refused);
    // An unplug ends a stretch of the stream. With --reconnect-timeout the same camera (by its
    // serial) is awaited, reopened with the same filters, and its frames go on into the same
    // file: the header still describes it, and the host times of the frames show the gap.
    CaptureSummary summary;
    uint64_t overflowed = 0;  // frames the library's buffer had no room for
    for (;;) {
        settings.frames = wanted - done;
        summary = run_capture(dev, settings, sink);
        done += summary.frames;
        overflowed += summary.stats.frames_overflowed;
        if (!summary.failed || refused || !reconnector.enabled()) break;
        if (!reconnector.reconnect(dev, settings.stop)) {
            // Time up or Ctrl-C while the camera was away: the recording ends as asked, with
            // every frame written before the gap.
            if (settings.stop()) {
                summary.failed = false;
                summary.stopped = true;
            }
            break;
        }
        if (!apply_settings(dev, exposure, switches)) break;
        pipeline.drain();  // the frames before the gap are printed before it
        std::printf("reconnected        camera %s after %.1f s; recording on into %s\n",
                    reconnector.serial().c_str(), reconnector.gap_seconds(), path.c_str());
        std::fflush(stdout);
    }
    const bool written = pipeline.finish();
    if (!written) fail("%s", pipeline.error().c_str());
    summary.frames = static_cast<long>(pipeline.written());
    if (!writer->close(&error)) return fail("%s", error.c_str());
    if (summary.stopped && StopOnSignal::requested())
        std::printf("interrupted        after %ld frames\n", summary.frames);
    print_capture_summary(summary);
    std::printf("recorded           %ld frames to %s\n", summary.frames, path.c_str());
    if (overflowed > 0) {
        fail(
            "%llu frames were lost: the recording did not keep up with the camera (try a lower "
            "--compress level or --frame-rate)",
            static_cast<unsigned long long>(overflowed));
        return kExitFailure;
    }
    return summary.failed || !written ? kExitFailure : kExitOk;
}

}  // namespace lumox_cli
