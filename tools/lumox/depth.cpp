// lumox depth: frames decoded into distances, the library's main job.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "capture_loop.h"
#include "command.h"
#include "exposure.h"
#include "correction.h"
#include "filters.h"
#include "frame_outputs.h"
#include "session.h"
#include "writers.h"

namespace lumox_cli {

namespace {

// The last frame's colour distance image, gray image and point cloud.
bool write_last_frame(lumox_dev_t *dev, const std::string &out, const std::vector<float> &dist,
                      const std::vector<uint8_t> &raw, const lumox_frame_info &info,
                      const ColourRange &range, std::string *error) {
    DecodedFrame f;
    f.width = info.width;
    f.height = info.height;
    f.distance = dist;
    const auto rgb = colour_image(f, range.min, range.max);
    if (!write_png(out + "/distance.png", rgb.data(), f.width, f.height, 3, 8, error)) return false;
    f.amplitude.resize(dist.size());
    if (lumox_frame_get_gray(dev, f.amplitude.data(), static_cast<uint32_t>(f.amplitude.size()),
                             raw.data(), static_cast<uint32_t>(raw.size()), &info) > 0) {
        const auto px = gray_image(f);
        if (!write_gray_file(out + "/gray.lx", f.amplitude, f.width, f.height, error) ||
            !write_png(out + "/gray.png", px.data(), f.width, f.height, 1, 8, error))
            return false;
    } else {
        f.amplitude.clear();
    }
    return write_cloud(out + "/points.ply", dev, f, range.min, range.max, false, error);
}

// A frame's line: its share of valid pixels and their mean, least and greatest distance.
void print_frame_line(const lumox_frame_info &info, const std::vector<float> &dist) {
    double sum = 0;
    uint32_t valid = 0;
    float lo = 1e9f;
    float hi = 0;
    for (float d : dist) {
        if (!(d > 0.0f && d < 60.0f)) continue;  // filtered or invalid pixels
        sum += d;
        ++valid;
        lo = std::min(lo, d);
        hi = std::max(hi, d);
    }
    const size_t n = dist.size();
    std::printf("frame %5u  %ux%u  valid %5.1f%%  mean %.3f m  min %.3f m  max %.3f m\n",
                info.frame_idx, info.width, info.height, n ? 100.0 * valid / n : 0.0,
                valid ? sum / valid : 0.0, valid ? lo : 0.0f, hi);
}

// What --out receives: every frame's distances appended to distance.lx as they come, and the
// last frame kept for its images and point cloud.
class DepthOutputs {
  public:
    explicit DepthOutputs(std::string out) : out_(std::move(out)) {}

    // Appends one decoded frame; false (said why) when it cannot be written.
    bool add(const CapturedFrame &frame, const std::vector<float> &dist) {
        if (out_.empty()) return true;
        const lumox_frame_info &info = frame.info;
        if (last_.width == 0) {
            if (!distances_.open(out_ + "/distance.lx")) {
                fail("cannot write %s", distances_.error().c_str());
                return false;
            }
        } else if (info.width != last_.width || info.height != last_.height) {
            fail("frame %u is %ux%u, distance.lx holds %ux%u frames", info.frame_idx, info.width,
                 info.height, last_.width, last_.height);
            return false;
        }
        if (!append_distances(distances_, dist, info.width, info.height)) {
            fail("cannot write %s", distances_.error().c_str());
            return false;
        }
        last_dist_ = dist;
        last_raw_.assign(frame.data, frame.data + frame.size);
        last_ = info;
        return true;
    }

    // Completes distance.lx and writes the last frame's files (when a frame came).
    bool finish(lumox_dev_t *dev, const ColourRange &range) {
        if (out_.empty() || last_.width == 0) return true;
        std::string error;
        if (!distances_.commit()) {
            fail("cannot write %s", distances_.error().c_str());
            return false;
        }
        if (!write_last_frame(dev, out_, last_dist_, last_raw_, last_, range, &error)) {
            fail("cannot write %s", error.c_str());
            return false;
        }
        std::printf("written to         %s/ distance.lx distance.png gray.lx gray.png points.ply\n",
                    out_.c_str());
        return true;
    }

  private:
    std::string out_;
    OutputFile distances_;
    std::vector<float> last_dist_;
    std::vector<uint8_t> last_raw_;
    lumox_frame_info last_{};
};

// Opens the camera and puts the run's exposure, calibration and filters in force.
lumox_dev_t *open_for_depth(Session &session, const Args &args, const Exposure &exposure,
                            const std::vector<std::string> &filter_texts,
                            const std::vector<FilterSetting> &filters) {
    if (!use_calibration_dir(args.value("--calib"))) return nullptr;
    lumox_dev_t *dev = session.open();
    if (!dev || !apply_exposure(dev, exposure)) return nullptr;
    use_calibration(dev);
    for (size_t i = 0; i < filters.size(); ++i)
        if (!apply_filter(dev, filters[i], filter_texts[i])) return nullptr;
    std::printf("correction         %s\n", describe(correction_in_force(dev)).c_str());
    return dev;
}

}  // namespace

int cmd_depth(const Args &args) {
    CaptureSettings settings;
    settings.frames = required_int(args, "--frames", 1, 100000000);
    // Room for the frames that arrive while the first ones are decoded (the first decode also
    // builds the lens's ray table), so that none is dropped.
    settings.buffered_frames = static_cast<uint32_t>(std::min<long>(settings.frames, 20));
    const std::vector<std::string> filter_texts = args.values("--filter");
    std::vector<FilterSetting> filters;
    for (const std::string &f : filter_texts) filters.push_back(parse_filter(f));
    const std::string out = args.value("--out");
    if (!out.empty()) {
        if (const std::string why = make_dirs(out); !why.empty())
            return fail("cannot use the output directory: %s", why.c_str());
    }
    const ColourRange range =
        args.has("--range") ? parse_colour_range(args.value("--range")) : ColourRange{};
    const Exposure exposure = parse_exposure(args);
    Session session(args);
    lumox_dev_t *dev = open_for_depth(session, args, exposure, filter_texts, filters);
    if (!dev) return kExitFailure;

    std::vector<float> dist;
    DepthOutputs outputs(out);
    double decode_ms = 0;
    const CaptureSummary summary = run_capture(dev, settings, [&](const CapturedFrame &frame) {
        const lumox_frame_info &info = frame.info;
        const uint32_t n = info.width * info.height;
        dist.resize(n);
        const auto t0 = std::chrono::steady_clock::now();
        const int32_t px =
            lumox_frame_get_distance(dev, dist.data(), n, frame.data, frame.size, &info);
        decode_ms +=
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count();
        if (px <= 0) {
            std::printf("frame %5u  format %u: no distance image\n", info.frame_idx,
                        info.frame_format);
            return true;
        }
        print_frame_line(info, dist);
        return outputs.add(frame, dist);
    });
    if (summary.frames > 0)
        std::printf("decode             %.3f ms per frame\n", decode_ms / summary.frames);
    // A stream that ended early (a time-out, an unplug) keeps what was decoded; a frame that
    // could not be written leaves no files.
    if (summary.refused) return kExitFailure;
    if (!outputs.finish(dev, range)) return kExitFailure;
    if (summary.failed) {
        std::fprintf(stderr, "lumox: decoded %ld of %ld frames\n", summary.frames, settings.frames);
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace lumox_cli
