// lumox depth: frames decoded into distances, the library's main job.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <cstdio>
#include <vector>

#include "capture_loop.h"
#include "command.h"
#include "correction.h"
#include "session.h"
#include "writers.h"

namespace lumox_cli {

namespace {

struct ColourRange {
    int32_t min_mm = 0;
    int32_t max_mm = 5000;
};

bool apply_filter(lumox_dev_t *dev, const FilterSetting &f, const std::string &text) {
    int32_t r = 0;
    if (!f.enable) {
        r = lumox_filter_disable(dev, f.id);
    } else {
        uint8_t u8 = static_cast<uint8_t>(f.value);
        uint16_t u16 = static_cast<uint16_t>(f.value);
        void *arg = f.value_size == 1 ? static_cast<void *>(&u8)
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
// Distorted normalised image coordinates of an ideal (pinhole) point: radial k1, k2, k3 and
// tangential p1, p2, the model of the driver's lens record.
void distort(const double *k, double x, double y, double *xd, double *yd) {
    const double r2 = x * x + y * y;
    const double kr = 1 + r2 * (k[0] + r2 * (k[1] + r2 * k[4]));
    *xd = x * kr + 2 * k[2] * x * y + k[3] * (r2 + 2 * x * x);
    *yd = y * kr + k[2] * (r2 + 2 * y * y) + 2 * k[3] * x * y;
}

// The point cloud along each pixel's own ray through the lens (the distortion inverted by Newton
// steps), at its radial distance. The library's point cloud projects through a pinhole, which
// bends flat surfaces towards the edges of a wide-angle lens. Returns the points written, or -1
// when the driver has no lens record for this image size.
int32_t lens_points(lumox_dev_t *dev, const std::vector<float> &dist, uint32_t w, uint32_t h,
                    std::vector<float> *xyz) {
    lumox_drv *drv = lumox_dev_get_drv(dev);
    lx_lens_param lens{};
    if (!drv || !drv->ops || !drv->ops->lens_param_get || !drv->ops->lens_param_get(drv, &lens, w, h))
        return -1;
    int32_t n = 0;
    for (uint32_t r = 0; r < h; ++r) {
        for (uint32_t c = 0; c < w; ++c) {
            const float d = dist[static_cast<size_t>(r) * w + c];
            if (!(d > 0.0f && d < 60.0f)) continue;  // codes are no measurement
            const double xd = (c - lens.cx) / lens.fx, yd = (r - lens.cy) / lens.fy;
            double x = xd, y = yd;
            for (int it = 0; it < 20; ++it) {
                double fx, fy, ax, ay, bx, by;
                distort(lens.dcoeff, x, y, &fx, &fy);
                const double ex = fx - xd, ey = fy - yd;
                if (ex * ex + ey * ey < 1e-24) break;
                constexpr double kStep = 1e-7;
                distort(lens.dcoeff, x + kStep, y, &ax, &ay);
                distort(lens.dcoeff, x, y + kStep, &bx, &by);
                const double j11 = (ax - fx) / kStep, j21 = (ay - fy) / kStep;
                const double j12 = (bx - fx) / kStep, j22 = (by - fy) / kStep;
                const double det = j11 * j22 - j12 * j21;
                if (det == 0) break;
                x -= (j22 * ex - j12 * ey) / det;
                y -= (-j21 * ex + j11 * ey) / det;
            }
            const double scale = d / std::sqrt(x * x + y * y + 1);
            (*xyz)[3 * n] = static_cast<float>(x * scale);
            (*xyz)[3 * n + 1] = static_cast<float>(y * scale);
            (*xyz)[3 * n + 2] = static_cast<float>(scale);
            ++n;
        }
    }
    return n;
}

// Colour word byte 0 is red (near), byte 2 blue (far): LUMOX_CMAP_RGB24 gives PPM's R, G, B.
bool write_last_frame(lumox_dev_t *dev, const std::string &out, const std::vector<float> &dist,
                      const std::vector<uint8_t> &raw, const lumox_frame_info &info,
                      const ColourRange &range, std::string *error) {
    const uint32_t w = info.width;
    const uint32_t h = info.height;
    const uint32_t n = w * h;
    std::vector<uint8_t> rgb(3 * static_cast<size_t>(n));
    lumox_cmap_float(rgb.data(), static_cast<int32_t>(rgb.size()), dist.data(),
                     static_cast<int32_t>(n), LUMOX_CMAP_RGB24, range.min_mm / 1000.0f,
                     range.max_mm / 1000.0f);
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
    int32_t points = lens_points(dev, dist, w, h, &xyz);
    if (points < 0)  // no lens record for this size: the library's pinhole projection
        points = lumox_frame_get_pcl(dev, xyz.data(), static_cast<uint32_t>(xyz.size()),
                                     dist.data(), n, w, h, nullptr);
    return points <= 0 ||
           write_ply(out + "/points.ply", xyz, static_cast<size_t>(points), error);
}

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
    range->min_mm = static_cast<int32_t>(lo);
    range->max_mm = static_cast<int32_t>(hi);
    return true;
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
    Session session(args);
    if (!use_calibration_dir(args.value("--calib"))) return kExitFailure;
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    CalibrationState calibration = use_calibration(dev);
    for (size_t i = 0; i < filters.size(); ++i) {
        if (!apply_filter(dev, filters[i], filter_texts[i])) return kExitFailure;
        if (filters[i].id == FILTER_DRNU) note_drnu_filter(&calibration, filters[i].enable);
    }
    std::printf("correction         %s\n", describe(calibration).c_str());

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
        const int32_t px = lumox_frame_get_distance(dev, dist.data(), n, frame.data, frame.size,
                                                    &info);
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
            !write_last_frame(dev, out, last_dist, last_raw, last, range, &error))
            return fail("cannot write %s", error.c_str());
        std::printf("written to         %s/ distance.lx distance.ppm gray.lx gray.pgm points.ply\n",
                    out.c_str());
    }
    return kExitOk;
}

}  // namespace lumox_cli
