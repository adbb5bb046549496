// lumox depth: frames decoded into distances, the library's main job.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "capture_loop.h"
#include "command.h"
#include "session.h"
#include "writers.h"

namespace lumox_cli {

namespace {

bool apply_filter(lumox_dev_t *dev, const FilterSetting &f, const std::string &text) {
    int32_t r = 0;
    if (!f.enable) {
        r = lumox_filter_disable(dev, f.id);
    } else {
        uint8_t u8 = static_cast<uint8_t>(f.value);
        uint16_t u16 = static_cast<uint16_t>(f.value);
        void *arg = f.value_size == 1   ? static_cast<void *>(&u8)
                    : f.value_size == 2 ? static_cast<void *>(&u16)
                                        : nullptr;
        r = lumox_filter_enable(dev, f.id, arg, f.value_size);
    }
    if (r == 1) return true;
    fail("filter %s refused%s", text.c_str(),
         f.id == FILTER_DRNU && f.enable ? " (for DRNU: no calibration files)" : "");
    return false;
}

// The last frame's colour distance image, gray image and point cloud.
bool write_last_frame(lumox_dev_t *dev, const std::string &out, const std::vector<float> &dist,
                      const std::vector<uint8_t> &raw, const lumox_frame_info &info,
                      std::string *error) {
    const uint32_t w = info.width;
    const uint32_t h = info.height;
    const uint32_t n = w * h;
    std::vector<uint8_t> rgb(3 * static_cast<size_t>(n));
    lumox_cmap_float(rgb.data(), static_cast<int32_t>(rgb.size()), dist.data(),
                     static_cast<int32_t>(n), LUMOX_CMAP_RGB24, 0.0f, 5.0f);
    if (!write_pnm(out + "/distance.ppm", "P6", rgb, w, h, error)) return false;

    std::vector<float> gray(n);
    if (lumox_frame_get_gray(dev, gray.data(), n, raw.data(), static_cast<uint32_t>(raw.size()),
                             &info) > 0) {
        float top = 1.0f;
        for (float g : gray) top = std::max(top, g);
        std::vector<uint8_t> pgm(n);
        for (uint32_t i = 0; i < n; ++i)
            pgm[i] = static_cast<uint8_t>(std::min(255.0f, gray[i] * 255.0f / top));
        if (!write_gray_file(out + "/gray.lx", gray, w, h, error) ||
            !write_pnm(out + "/gray.pgm", "P5", pgm, w, h, error))
            return false;
    }
    std::vector<float> xyz(3 * static_cast<size_t>(n));
    const int32_t points = lumox_frame_get_pcl(dev, xyz.data(), static_cast<uint32_t>(xyz.size()),
                                               dist.data(), n, w, h, nullptr);
    return points <= 0 || write_ply(out + "/points.ply", xyz, static_cast<size_t>(points), error);
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
    std::string calib_dir = args.value("--calib");
    if (!calib_dir.empty()) {
        if (calib_dir.back() != '/') calib_dir += '/';
        if (const std::string why = make_dirs(calib_dir); !why.empty())
            return fail("cannot use the calibration directory: %s", why.c_str());
    }
    Session session(args);
    if (!calib_dir.empty()) lumox_path_cfg(calib_dir.c_str());
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    for (size_t i = 0; i < filters.size(); ++i)
        if (!apply_filter(dev, filters[i], filter_texts[i])) return kExitFailure;

    std::vector<float> dist;
    std::vector<float> all;  // every decoded frame, for distance.lx
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
            all.insert(all.end(), dist.begin(), dist.end());
            last_dist = dist;
            last_raw.assign(frame.data, frame.data + frame.size);
            last = info;
        }
        return true;
    });
    if (summary.frames > 0)
        std::printf("decode             %.3f ms per frame\n", decode_ms / summary.frames);
    if (summary.failed) return kExitFailure;

    if (!out.empty() && !all.empty()) {
        std::string error;
        if (!write_distance_file(out + "/distance.lx", all, last.width, last.height, &error) ||
            !write_last_frame(dev, out, last_dist, last_raw, last, &error))
            return fail("cannot write %s", error.c_str());
        std::printf("written to         %s/ distance.lx distance.ppm gray.lx gray.pgm points.ply\n",
                    out.c_str());
    }
    return kExitOk;
}

}  // namespace lumox_cli
