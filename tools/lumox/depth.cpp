// lumox depth: frames decoded into distances, the library's main job.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
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

struct ColourRange {
    float min = 0.0f;  // metres
    float max = 5.0f;
};

// "--range MIN:MAX" in millimetres, 0 <= MIN < MAX <= 60000.
bool parse_range(const std::string &text, ColourRange *range) {
    if (text.empty()) return true;
    const size_t colon = text.find(':');
    char *end = nullptr;
    if (colon == std::string::npos) return false;
    const std::string a = text.substr(0, colon), b = text.substr(colon + 1);
    const long lo = std::strtol(a.c_str(), &end, 10);
    if (a.empty() || *end) return false;
    const long hi = std::strtol(b.c_str(), &end, 10);
    if (b.empty() || *end || lo < 0 || hi <= lo || hi > 60000) return false;
    range->min = static_cast<float>(lo) / 1000.0f;
    range->max = static_cast<float>(hi) / 1000.0f;
    return true;
}

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

}  // namespace

int cmd_depth(const Args &args) {
    CaptureSettings settings;
    settings.frames = required_int(args, "--frames", 1, 100000000);
    settings.buffered_frames = 4;
    const std::vector<std::string> filter_texts = args.values("--filter");
    std::vector<FilterSetting> filters;
    for (const std::string &f : filter_texts) filters.push_back(parse_filter(f));
    const std::string out = args.value("--out");
    if (!out.empty()) {
        if (const std::string why = make_dirs(out); !why.empty())
            return fail("cannot use the output directory: %s", why.c_str());
    }
    ColourRange range;
    if (!parse_range(args.value("--range"), &range))
        return fail("--range needs MIN:MAX in mm with 0 <= MIN < MAX <= 60000, not '%s'",
                    args.value("--range").c_str());
    const Exposure exposure = parse_exposure(args);
    Session session(args);
    if (!use_calibration_dir(args.value("--calib"))) return kExitFailure;
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    if (!apply_exposure(dev, exposure)) return kExitFailure;
    use_calibration(dev);
    for (size_t i = 0; i < filters.size(); ++i)
        if (!apply_filter(dev, filters[i], filter_texts[i])) return kExitFailure;
    std::printf("correction         %s\n", describe(correction_in_force(dev)).c_str());

    std::vector<float> dist;
    OutputFile distances;  // every decoded frame, appended as it comes
    std::vector<float> last_dist;
    std::vector<uint8_t> last_raw;
    lumox_frame_info last{};
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
        std::printf("frame %5u  %ux%u  valid %5.1f%%  mean %.3f m  min %.3f m  max %.3f m\n",
                    info.frame_idx, info.width, info.height, n ? 100.0 * valid / n : 0.0,
                    valid ? sum / valid : 0.0, valid ? lo : 0.0f, hi);
        if (!out.empty()) {
            if (last.width == 0) {
                if (!distances.open(out + "/distance.lx")) {
                    fail("cannot write %s", distances.error().c_str());
                    return false;
                }
            } else if (info.width != last.width || info.height != last.height) {
                fail("frame %u is %ux%u, distance.lx holds %ux%u frames", info.frame_idx,
                     info.width, info.height, last.width, last.height);
                return false;
            }
            if (!append_distances(distances, dist, info.width, info.height)) {
                fail("cannot write %s", distances.error().c_str());
                return false;
            }
            last_dist = dist;
            last_raw.assign(frame.data, frame.data + frame.size);
            last = info;
        }
        return true;
    });
    if (summary.frames > 0)
        std::printf("decode             %.3f ms per frame\n", decode_ms / summary.frames);
    if (summary.failed) return kExitFailure;

    if (!out.empty() && last.width != 0) {
        std::string error;
        if (!distances.commit()) return fail("cannot write %s", distances.error().c_str());
        if (!write_last_frame(dev, out, last_dist, last_raw, last, range, &error))
            return fail("cannot write %s", error.c_str());
        std::printf("written to         %s/ distance.lx distance.png gray.lx gray.png points.ply\n",
                    out.c_str());
    }
    return kExitOk;
}

}  // namespace lumox_cli
