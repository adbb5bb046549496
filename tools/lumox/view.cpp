// lumox view: the live viewer. Opens the camera and serves the page until interrupted; with
// --play, runs itself again under the virtual camera playing the recording.

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <pthread.h>
#include <unistd.h>

#include "command.h"
#include "exposure.h"
#include "recording/camera_description.h"
#include "recording/recorded_calibration.h"
#include "recording/recording.h"
#include "reconnect.h"
#include "record_pipeline.h"
#include "scratch_dir.h"
#include "session.h"
#include "view_server.h"
#include "writers.h"

namespace lumox_cli {
namespace {

namespace rec = lumox::recording;

std::string self_dir() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    std::string dir(path);
    const size_t slash = dir.rfind('/');
    return slash == std::string::npos ? "." : dir.substr(0, slash);
}

// The virtual camera's launcher: $LUMOX_VCAM, beside this program, in the build tree, or on PATH.
std::string find_vcam() {
    if (const char *env = std::getenv("LUMOX_VCAM"); env && *env) return env;
    const std::string dir = self_dir();
    for (const std::string &candidate : {dir + "/lumox-vcam", dir + "/../vcam/usb/lumox-vcam"})
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    return "lumox-vcam";
}

// Runs `lumox-vcam --play FILE --loop -- lumox view ...` in place of this process.
int play(const Args &args) {
    const std::string file = args.value("--play");
    if (access(file.c_str(), R_OK) != 0)
        return fail("cannot read the recording '%s'", file.c_str());
    const std::string vcam = find_vcam();
    std::string self = self_dir() + "/lumox";
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) self.assign(exe, static_cast<size_t>(n));
    // In a loop: a viewer is for looking at it for as long as one likes.
    std::vector<std::string> words = {vcam, "--play", file, "--loop", "--", self, "view"};
    for (const auto &[name, value] : args.options) {
        if (name == "--play" || name == "--device" || name == "--serial")
            continue;  // the recording's camera is the one
        words.push_back(name);
        if (!value.empty()) words.push_back(value);
    }
    // The page names what it plays.
    setenv("LUMOX_VIEW_RECORDING", file.c_str(), 1);
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    return fail("cannot run %s (the virtual camera plays recordings; set LUMOX_VCAM): %s",
                vcam.c_str(), std::strerror(errno));
}

// The record button's recordings: files like those of `lumox record`. The capture thread only
// queues a copy of each frame; a worker compresses it and a writer thread appends it, so a slow
// disk or deflate does not hold the stream up. The queue holds two seconds of frames; a frame
// that cannot be written ends the recording on the next append, with the reason.
class FileRecorder : public ViewRecorder {
  public:
    FileRecorder(std::unique_ptr<rec::Writer> writer, std::string path, size_t capacity)
        : writer_(std::move(writer)),
          pipeline_(*writer_, kCompression, 1, capacity, nullptr),
          path_(std::move(path)) {}
    bool append(const lumox_frame_info &info, const lx_raw_frame_info &raw, const uint8_t *bytes,
                size_t size, int64_t monotonic_ns, int64_t wall_ns, std::string *error) override {
        rec::FrameMeta meta;
        meta.info = info;
        meta.raw = raw;
        meta.host_monotonic_ns = monotonic_ns;
        meta.host_wall_ns = wall_ns;
        if (pipeline_.push(meta, bytes, size)) return true;
        if (error) *error = pipeline_.error();
        return false;
    }
    bool close(std::string *error) override {
        const bool written = pipeline_.finish();
        if (!written && error) *error = pipeline_.error();
        return writer_->close(written ? error : nullptr) && written;
    }
    const std::string &path() const override { return path_; }

    static constexpr int kCompression = 1;

  private:
    std::unique_ptr<rec::Writer> writer_;
    RecordPipeline pipeline_;  // after the writer it writes to: finished before it goes
    std::string path_;
};

// Recordings go to dir as lumox_view_YYYYMMDD_HHMMSS.h5 (a second one in the same second gets
// a number).
ViewRecorderFactory file_recorder(std::string dir, std::set<std::string> files_before) {
    return [dir = std::move(dir), files_before = std::move(files_before)](
               lumox_dev_t *dev, const std::vector<std::string> &filters,
               std::string *error) -> std::unique_ptr<ViewRecorder> {
        rec::Header header;
        if (!rec::describe_camera(dev, files_before, filters, &header, error)) return nullptr;
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &local);
        std::string path = dir + "lumox_view_" + stamp + ".h5";
        for (int k = 2; access(path.c_str(), F_OK) == 0; ++k)
            path = dir + "lumox_view_" + stamp + "_" + std::to_string(k) + ".h5";
        auto writer = rec::Writer::create(path, header, FileRecorder::kCompression, error);
        if (!writer) return nullptr;
        const size_t capacity = std::clamp<size_t>(2 * header.capture.frame_rate, 16, 120);
        return std::make_unique<FileRecorder>(std::move(writer), path, capacity);
    };
}

// A played recording is shown with the calibration it was made with (its files and its lens),
// whatever calibration directory is given: laid out in a scratch directory. Null when that
// cannot be done (said why).
std::unique_ptr<ScratchDir> recorded_calibration_dir(const std::string &recording) {
    std::string error;
    const auto reader = rec::Reader::open(recording, &error);
    if (!reader) {
        fail("%s", error.c_str());
        return nullptr;
    }
    auto dir = std::make_unique<ScratchDir>("lumox_view_");
    if (dir->path().empty()) {
        fail("cannot make a scratch calibration directory in %s", temp_dir().c_str());
        return nullptr;
    }
    if (!rec::write_recorded_calibration(reader->header(), dir->path(), &error)) {
        fail("cannot write %s", error.c_str());
        return nullptr;
    }
    return dir;
}

// Under a played-back camera (the launcher names the recording in LUMOX_PLAYBACK) the frames are
// decoded with the recording's calibration and lens: always with --play (shown_recording set),
// as `lumox convert` does, otherwise unless --calib named a directory (as Python does). Then
// *calib_dir becomes the scratch directory *dir holds. False when that cannot be done (said why).
bool use_recorded_calibration(const std::string &shown_recording, std::string *calib_dir,
                              std::unique_ptr<ScratchDir> *dir) {
    const char *playback = std::getenv("LUMOX_PLAYBACK");
    const std::string played = playback && *playback ? playback : shown_recording;
    if (played.empty() || (shown_recording.empty() && !calib_dir->empty())) return true;
    *dir = recorded_calibration_dir(played);
    if (!*dir) return false;
    *calib_dir = (*dir)->path();
    return true;
}

}  // namespace

int cmd_view(const Args &args) {
    // An empty address would listen everywhere: say which one is meant instead.
    if (args.has("--bind") && args.value("--bind").empty())
        throw UsageError(
            "--bind needs an address (127.0.0.1: this machine only, 0.0.0.0: every "
            "network)");
    if (args.has("--play")) return play(args);
    ViewOptions options;
    options.port = static_cast<int>(option_int(args, "--port", 0, 65535, 8080));
    options.bind = args.value("--bind", "127.0.0.1");
    if (const char *recording = std::getenv("LUMOX_VIEW_RECORDING")) options.recording = recording;
    std::string out_dir = args.value("--out", ".");
    if (out_dir.back() != '/') out_dir += '/';
    if (const std::string why = make_dirs(out_dir); !why.empty())
        return fail("cannot use the recording directory: %s", why.c_str());
    std::string calib_dir = args.value("--calib");
    if (!calib_dir.empty()) {
        if (calib_dir.back() != '/') calib_dir += '/';
        if (const std::string why = make_dirs(calib_dir); !why.empty())
            return fail("cannot create the calibration directory: %s", why.c_str());
    }

    // The server's threads inherit this mask, so that only the wait below takes these signals.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    std::unique_ptr<ScratchDir> recorded_calib;
    if (!use_recorded_calibration(options.recording, &calib_dir, &recorded_calib))
        return kExitFailure;

    const Exposure exposure = parse_exposure(args);
    Reconnector reconnector(args);  // --reconnect-timeout checked before the camera is opened
    Session session(args);
    if (!calib_dir.empty()) lumox_path_cfg(calib_dir.c_str());
    session.use_cached_calibration();
    options.recorder = file_recorder(out_dir, rec::list_directory(rec::calibration_directory()));
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    if (!apply_exposure(dev, exposure)) return kExitFailure;
    reconnector.watch(dev);
    if (reconnector.enabled()) {
        options.reconnect = [&reconnector, &exposure](lumox_dev_t *d,
                                                      const std::function<bool()> &stop,
                                                      std::mutex *dev_mutex) {
            if (!reconnector.reconnect(d, stop, dev_mutex)) return false;
            std::lock_guard lock(*dev_mutex);
            return apply_exposure(d, exposure);
        };
    }
    ViewServer server(dev, options);
    std::string error;
    if (!server.start(&error)) return fail("%s", error.c_str());
    const bool v6 = options.bind.find(':') != std::string::npos;
    std::printf("lumox view: serving http://%s%s%s:%d/ (Ctrl-C to stop)\n", v6 ? "[" : "",
                options.bind.c_str(), v6 ? "]" : "", server.port());
    if (options.bind != "127.0.0.1" && options.bind != "localhost" && options.bind != "::1")
        std::printf("lumox view: reachable from the network on %s: the camera's controls too\n",
                    options.bind.c_str());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stop_signals, &sig);
    server.stop();
    return kExitOk;
}

}  // namespace lumox_cli
