// lumox convert: a recording decoded into 16-bit or colour PNG, point clouds, frame files or a
// table of the frames, with no camera attached and without root.
//
// Decoding needs what an open camera gives the driver: its chip set-up, its calibration, and every
// frame's description as the capture delivers it (the decode uses the frame's temperatures). So
// convert runs itself against the virtual camera playing the recording (lumox-vcam --play):
// the same library code then opens, calibrates, captures and decodes as it did live, and the
// distances come out bit for bit as a live decode gave them. The playback sends a frame only
// when convert has taken the one before (one byte per frame on a pipe), so that no frame is lost
// however slowly the images are written.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture_loop.h"
#include "command.h"
#include "correction.h"
#include "filters.h"
#include "frame_outputs.h"
#include "recording/camera_description.h"
#include "recording/recorded_calibration.h"
#include "recording/recording.h"
#include "session.h"
#include "writers.h"

namespace lumox_cli {

namespace rec = lumox::recording;

namespace {

constexpr const char *kCreditFdVariable = "LUMOX_CONVERT_CREDIT_FD";
constexpr uint32_t kCreditWindow = 4;  // frames the playback may send ahead

enum class Target { kPng16, kPng, kPly, kCsv, kLx };

Target parse_target(const std::string &t) {
    if (t == "png16") return Target::kPng16;
    if (t == "png") return Target::kPng;
    if (t == "ply") return Target::kPly;
    if (t == "csv") return Target::kCsv;
    if (t == "lx") return Target::kLx;
    throw UsageError("--to needs png16, png, ply, csv or lx, not '" + t + "'");
}

struct FrameRange {
    uint64_t first = 0;
    uint64_t end = UINT64_MAX;
};

// "A:B" (frames A to B - 1; either side may be empty).
FrameRange parse_frame_range(const std::string &text) {
    FrameRange r;
    const size_t colon = text.find(':');
    if (colon == std::string::npos) throw UsageError("--frames needs A:B, not '" + text + "'");
    const std::string a = text.substr(0, colon), b = text.substr(colon + 1);
    if (!a.empty()) r.first = static_cast<uint64_t>(parse_int(a, 0, LLONG_MAX, "--frames A"));
    if (!b.empty()) r.end = static_cast<uint64_t>(parse_int(b, 1, LLONG_MAX, "--frames B"));
    if (r.first >= r.end) throw UsageError("--frames A:B needs A below B");
    return r;
}

struct Range {
    float min = 0.0f;
    float max = 5.0f;
};

// "MIN:MAX" in millimetres (as lumox depth takes it), MIN below MAX; kept in metres.
Range parse_range(const std::string &text) {
    Range r;
    char *end = nullptr;
    const size_t colon = text.find(':');
    if (colon == std::string::npos) throw UsageError("--range needs MIN:MAX millimetres");
    r.min = std::strtof(text.substr(0, colon).c_str(), &end) / 1000.0f;
    const bool a_ok = end && *end == '\0' && colon > 0;
    r.max = std::strtof(text.substr(colon + 1).c_str(), &end) / 1000.0f;
    if (!a_ok || !end || *end != '\0' || !(r.min < r.max) || r.min < 0 || r.max > 60.0f)
        throw UsageError("--range needs MIN:MAX millimetres with 0 <= MIN < MAX <= 60000");
    return r;
}

std::string default_out(const std::string &file) {
    std::string base = file;
    const size_t slash = base.find_last_of('/');
    const size_t dot = base.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) base.resize(dot);
    return base + "_converted";
}

std::string self_path() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "lumox";
    buf[n] = '\0';
    return buf;
}

// lumox-vcam: $LUMOX_VCAM, beside this program, in the build tree beside it, or on PATH.
std::string find_vcam() {
    if (const char *env = std::getenv("LUMOX_VCAM")) return env;
    std::string dir = self_path();
    dir.resize(dir.find_last_of('/') + 1);
    for (const std::string &candidate : {dir + "lumox-vcam", dir + "../vcam/usb/lumox-vcam"})
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    return "lumox-vcam";
}

// Runs this command again against the virtual camera playing the recording. Returns only when
// that cannot be started.
int run_under_playback(const Args &args, const std::string &file, const FrameRange &range) {
    int credits[2];
    if (pipe(credits) != 0) return fail("cannot make a pipe: %s", std::strerror(errno));
    const std::string vcam = find_vcam();
    const std::string frames = std::to_string(range.first) + ":" +
                               (range.end == UINT64_MAX ? "" : std::to_string(range.end));
    std::vector<std::string> words = {vcam,
                                      "--play",
                                      file,
                                      "--unpaced",
                                      "--play-frames",
                                      frames,
                                      "--play-credit-fd",
                                      std::to_string(credits[0]),
                                      "--",
                                      self_path(),
                                      "convert",
                                      file};
    for (const auto &[name, value] : args.options) {
        if (name == "--device" || name == "--serial") continue;  // the played camera is the one
        words.push_back(name);
        if (!value.empty()) words.push_back(value);
    }
    setenv(kCreditFdVariable, std::to_string(credits[1]).c_str(), 1);
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    return fail("cannot run %s (the virtual camera plays the recording for convert): %s",
                vcam.c_str(), std::strerror(errno));
}

// A scratch calibration directory, removed with everything in it.
class ScratchDir {
  public:
    ScratchDir() {
        char name[] = "/tmp/lumox_convert_XXXXXX";
        if (mkdtemp(name)) path_ = std::string(name) + "/";
    }
    ~ScratchDir() {
        if (path_.empty()) return;
        for (const std::string &n : rec::list_directory(path_))
            if (n != "." && n != "..") std::remove((path_ + n).c_str());
        rmdir(path_.c_str());
    }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// A one-line progress bar on a terminal's stderr.
void progress(uint64_t done, uint64_t total) {
    static const bool terminal = isatty(STDERR_FILENO) == 1;
    if (!terminal) return;
    const int pct = total ? static_cast<int>(done * 100 / total) : 100;
    char cells[41];
    for (int k = 0; k < 40; ++k) cells[k] = k < pct * 40 / 100 ? '#' : '.';
    cells[40] = '\0';
    std::fprintf(stderr, "\r[%s] %3d%% %llu/%llu frames", cells, pct,
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
    if (done == total) std::fputc('\n', stderr);
    std::fflush(stderr);
}

std::string numbered(const std::string &dir, const char *stem, uint64_t n, const char *ext) {
    char name[64];
    std::snprintf(name, sizeof name, "%s_%06llu.%s", stem, static_cast<unsigned long long>(n), ext);
    return dir + "/" + name;
}

// The conversion itself, run against the playing camera.
int convert_played(const Args &args, const std::string &file, const FrameRange &range,
                   int credit_fd) {
    const Target target = parse_target(args.value("--to"));
    const Range colours = args.has("--range") ? parse_range(args.value("--range")) : Range{};
    const bool keep_codes = args.has("--keep-codes");
    const bool organised = args.has("--organised");
    const std::vector<std::string> filter_texts = args.values("--filter");
    std::vector<FilterSetting> filters;
    for (const std::string &f : filter_texts) filters.push_back(parse_filter(f));
    const std::string out = args.value("--out", default_out(file));

    std::string error;
    auto reader = rec::Reader::open(file, &error);
    if (!reader) return fail("%s", error.c_str());
    const rec::Header &header = reader->header();
    const uint64_t first = range.first;
    const uint64_t end = std::min<uint64_t>(range.end, reader->frame_count());
    if (const std::string why = make_dirs(out); !why.empty())
        return fail("cannot use the output directory: %s", why.c_str());

    // The calibration as it was when the recording was made: files already there, or fetched
    // from the camera (the played one serves the recorded package) at open.
    ScratchDir calib;
    if (calib.path().empty()) return fail("cannot make a scratch calibration directory");
    if (!rec::write_recorded_calibration(header, calib.path(), &error))
        return fail("cannot write %s", error.c_str());
    Session session(args);
    lumox_path_cfg(calib.path().c_str());
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    // The per-pixel correction whenever the recording carries the calibration files; then the
    // recorded switches and the user's.
    use_calibration(dev);
    for (size_t i = 0; i < header.capture.filters.size(); ++i) {
        const FilterSetting f = parse_filter(header.capture.filters[i]);
        if (!apply_filter(dev, f, header.capture.filters[i])) return kExitFailure;
    }
    for (size_t i = 0; i < filters.size(); ++i)
        if (!apply_filter(dev, filters[i], filter_texts[i])) return kExitFailure;
    std::printf("correction         %s\n", describe(correction_in_force(dev)).c_str());

    OutputFile table, distance_file, gray_file;
    if (target == Target::kCsv &&
        (!table.open(out + "/frames.csv") ||
         !table.print("frame,index,size,format,width,height,temp_sensor_c,temp_board_c,"
                      "host_monotonic_ns,host_wall_ns,valid_pixels,mean_m\n")))
        return fail("cannot write %s", table.error().c_str());
    if (target == Target::kLx &&
        (!distance_file.open(out + "/distance.lx") || !gray_file.open(out + "/gray.lx")))
        return fail("cannot write %s",
                    (distance_file.ok() ? gray_file : distance_file).error().c_str());

    CaptureSettings settings;
    settings.frames = static_cast<long>(end - first);
    settings.buffered_frames = 2 * kCreditWindow;
    DecodedFrame decoded;
    const CaptureSummary summary = run_capture(dev, settings, [&](const CapturedFrame &frame) {
        const uint64_t n = first + static_cast<uint64_t>(frame.number);
        const rec::FrameMeta &meta = reader->frames()[n];
        if (frame.info.frame_idx != meta.info.frame_idx || frame.size != reader->frame_size()) {
            fail("frame %llu of the recording did not come back as recorded",
                 static_cast<unsigned long long>(n));
            return false;
        }
        const bool gray = target != Target::kCsv;
        std::string why;
        bool ok = decode_frame(dev, frame.data, frame.size, frame.info, gray, &decoded, &why);
        const uint32_t w = decoded.width, h = decoded.height;
        if (ok && target == Target::kPng16) {
            const std::vector<uint16_t> mm = millimetres(decoded.distance, keep_codes);
            std::vector<uint16_t> amp(decoded.amplitude.size());
            for (size_t i = 0; i < amp.size(); ++i)
                amp[i] = static_cast<uint16_t>(std::clamp(decoded.amplitude[i], 0.0f, 65535.0f));
            ok = write_png(numbered(out, "depth", n, "png"), mm.data(), w, h, 1, 16, &why) &&
                 write_png(numbered(out, "amplitude", n, "png"), amp.data(), w, h, 1, 16, &why);
        } else if (ok && target == Target::kPng) {
            const auto rgb = colour_image(decoded, colours.min, colours.max);
            const auto px = gray_image(decoded);
            ok = write_png(numbered(out, "depth", n, "png"), rgb.data(), w, h, 3, 8, &why) &&
                 write_png(numbered(out, "gray", n, "png"), px.data(), w, h, 1, 8, &why);
        } else if (ok && target == Target::kPly) {
            ok = write_cloud(numbered(out, "points", n, "ply"), dev, decoded, colours.min,
                             colours.max, organised, &why);
        } else if (ok && target == Target::kCsv) {
            double sum = 0;
            uint32_t valid = 0;
            for (float d : decoded.distance)
                if (d > 0.0f && d < 60.0f) sum += d, ++valid;
            ok = table.print(
                "%llu,%u,%u,%u,%u,%u,%.1f,%.1f,%lld,%lld,%u,%.4f\n",
                static_cast<unsigned long long>(n), meta.info.frame_idx, meta.info.frame_size,
                meta.info.frame_format, w, h, meta.raw.temp_sensor / 10.0, meta.raw.temp_ib / 10.0,
                static_cast<long long>(meta.host_monotonic_ns),
                static_cast<long long>(meta.host_wall_ns), valid, valid ? sum / valid : 0.0);
            if (!ok) why = table.error();
        } else if (ok && target == Target::kLx) {
            const int total = static_cast<int>(decoded.distance.size());
            ok =
                lumox_frame_save_distance(distance_file.fd(), SAVE_FMT_F32, decoded.distance.data(),
                                          total, static_cast<int>(w), static_cast<int>(h)) == 1 &&
                lumox_frame_save_gray(gray_file.fd(), SAVE_FMT_U16, decoded.amplitude.data(), total,
                                      static_cast<int>(w), static_cast<int>(h)) == 1;
            if (!ok) why = out + "/distance.lx, gray.lx: write failed";
        }
        if (!ok) {
            fail("%s", why.c_str());
            return false;
        }
        const char credit = 1;
        if (write(credit_fd, &credit, 1) != 1) {
            fail("lost the virtual camera's pipe: %s", std::strerror(errno));
            return false;
        }
        progress(static_cast<uint64_t>(frame.number) + 1, end - first);
        return true;
    });
    if (summary.failed) return kExitFailure;
    for (OutputFile *f : {&table, &distance_file, &gray_file})
        if (!f->path().empty() && !f->commit()) return fail("cannot write %s", f->error().c_str());
    std::printf("converted          %ld frames of %s to %s\n", summary.frames, file.c_str(),
                out.c_str());
    return kExitOk;
}

}  // namespace

int cmd_convert(const Args &args) {
    const std::string file = args.operands.at(0);
    parse_target(args.value("--to"));
    const FrameRange range =
        args.has("--frames") ? parse_frame_range(args.value("--frames")) : FrameRange{};
    if (const char *fd = std::getenv(kCreditFdVariable)) {
        unsetenv(kCreditFdVariable);
        return convert_played(args, file, range, std::atoi(fd));
    }
    std::string error;
    {
        // Reject what cannot be converted before starting the virtual camera.
        auto reader = rec::Reader::open(file, &error);
        if (!reader) return fail("%s", error.c_str());
        if (range.first >= reader->frame_count())
            return fail("%s has %llu frames", file.c_str(),
                        static_cast<unsigned long long>(reader->frame_count()));
    }
    std::fflush(stdout);
    return run_under_playback(args, file, range);
}

}  // namespace lumox_cli
