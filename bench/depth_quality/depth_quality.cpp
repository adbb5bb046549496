// lumox_depth_quality: the depth quality of a camera as time-of-flight datasheets state it,
// measured through the whole library against the virtual camera's ground truth.
//
//   lumox_depth_quality [--frames N] [--only TABLE[,TABLE]]   (default 100 frames per point)
//
// Prints Markdown tables: systematic error (mean of the distance over the frames minus the truth)
// and random error (standard deviation over the frames) of a flat wall at 0.5 to 4 m, for an
// uncalibrated camera, the linear calibration, the per-pixel table on the host (firmware 1.9) and
// in the firmware (2.0); flying pixels at a box's edges with and without the flying-pixel filter;
// the plane-fit RMS of the wall and floor of a room in the point cloud; the drift at +-10 degC with
// and without the temperature compensation; the image corners against the centre (emitter profile
// and lens fall-off); the room's floor-to-wall corner with and without multipath; the DCS sum
// check on a dark scene; a moving box's edges. Wall statistics are over the central 64 x 48
// pixels, per pixel (depth smoothing off), with the integration time keeping the amplitude below
// saturation (400 us per square metre of distance, 100 to 4000 us).

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <sstream>
#include <string>
#include <vector>

#include "lumox/evk.h"
#include "lumox/lumox.h"
#include "vcam/depth_sensor.h"
#include "vcam/plane_fit.h"
#include "vcam/usb/bus.h"

namespace {

using namespace lumox;

constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;
constexpr uint32_t kPixels = kWidth * kHeight;

bool valid(float m) { return m > 0.0f && m < 60.0f; }

constexpr double kWalls[] = {500, 1000, 2000, 3000, 4000};  // mm

enum class Mode { kNone, kLinear, kHost, kFirmware };
const char *mode_name(Mode m) {
    switch (m) {
        case Mode::kNone:
            return "no calibration";
        case Mode::kLinear:
            return "linear calibration";
        case Mode::kHost:
            return "per-pixel, host (fw 1.9)";
        case Mode::kFirmware:
            return "per-pixel, firmware (fw 2.0)";
    }
    return "";
}

// The model behind a camera, keeping the truth of every frame it renders by frame index: a
// moving scene's truth changes from frame to frame.
class TruthKeeper : public vcam::LiveSource {
  public:
    explicit TruthKeeper(std::shared_ptr<vcam::SensorModel> model) : model_(std::move(model)) {}
    void render(const vcam::Exposure &e, std::span<uint8_t> frame) override {
        model_->render(e, frame);
        std::lock_guard lock(mutex_);
        truths_[static_cast<uint16_t>(e.frame_index)] = model_->truth();
        if (truths_.size() > 64) truths_.erase(truths_.begin());
    }
    bool truth(uint16_t index, vcam::Truth &out) {
        std::lock_guard lock(mutex_);
        const auto it = truths_.find(index);
        if (it == truths_.end()) return false;
        out = it->second;
        return true;
    }

  private:
    std::shared_ptr<vcam::SensorModel> model_;
    std::mutex mutex_;
    std::map<uint16_t, vcam::Truth> truths_;
};

// One camera on its own bus, opened the way an application would for the mode.
class Rig {
  public:
    Rig(Mode mode, const std::string &dir, vcam::DepthSensorConfig config = {})
        : mode_(mode), config_(config) {
        vcam::BusOptions options;
        options.cameras.resize(1);
        const bool fw2 = mode == Mode::kNone || mode == Mode::kFirmware;
        options.cameras[0].camera.product = fw2 ? "LXC660-E2-2.0.3" : "LXC660-E2-1.9.0";
        options.cameras[0].camera.paced = false;
        bus_ = std::make_unique<vcam::VirtualBus>(options);
        config_.corrects_pixels = mode == Mode::kFirmware;
        if (mode != Mode::kNone)
            bus_->camera(0).set_calibration_package(vcam::DepthSensor(config_).package(), 1);
        // A fresh process: nothing left of other cameras' calibrations.
        std::memset(distImagesDRNU, 0, sizeof distImagesDRNU);
        g_calib_scale_m = 1000;
        g_calib_offset_mm = -3400;
        prefix_ = dir + "/";
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        lumox_path_cfg(prefix_.c_str());
        if (mode == Mode::kLinear) {  // the files are there from an earlier open
            open();
            close();
        }
        open();
        if (mode == Mode::kHost || mode == Mode::kFirmware) {
            uint8_t set = 0;
            lumox_filter_enable(&dev_, FILTER_DRNU, &set, 1);
        }
        lumox_filter_disable(&dev_, FILTER_DEPTH_SMOOTH);
    }
    ~Rig() { close(); }

    void open() {
        lumox_dev_t list[2];
        if (lumox_dev_list(list, 2) != 1) std::exit(1);
        dev_ = list[0];
        if (lumox_dev_open(&dev_) != &dev_) std::exit(1);
        lumox_cap_set_frame_buffer(&dev_, nullptr, 4 * LUMOX_FRAME_BUF_UNIT);
        open_ = true;
    }
    void close() {
        if (open_) lumox_dev_close(&dev_);
        open_ = false;
    }

    void look_at(vcam::Scene scene) {
        model_ = std::make_shared<vcam::SensorModel>(std::move(scene), config_);
        keeper_ = std::make_shared<TruthKeeper>(model_);
        bus_->camera(0).set_live_source(keeper_);
    }
    void filter(uint32_t id, uint16_t arg) { lumox_filter_enable(&dev_, id, &arg, sizeof arg); }
    void integration(uint32_t us) {
        lumox_param_item item{};
        item.param_id = LUMOX_PARAM_INTG_TIME;
        item.param_val_len = 2;
        item.param_val[0] = static_cast<uint8_t>(us);
        item.param_val[1] = static_cast<uint8_t>(us >> 8);
        lumox_param_batch_set(&dev_, &item, 1);
    }
    void smoothing(bool on) {
        uint8_t size = 5;
        if (on)
            lumox_filter_enable(&dev_, FILTER_DEPTH_SMOOTH, &size, 1);
        else
            lumox_filter_disable(&dev_, FILTER_DEPTH_SMOOTH);
    }
    void temperature(int16_t sensor) {
        bus_->camera(0).set_temperatures(sensor, static_cast<int16_t>(sensor - 51));
    }

    // n distance images in mm (codes as 65300 and up); frames the decode refuses are skipped
    // and counted in `refused`; `each` sees every raw frame with its truth.
    using RawHook = std::function<void(const std::vector<uint8_t> &, const vcam::Truth *)>;
    std::vector<std::vector<float>> frames(int n, int *refused = nullptr, const RawHook &each = {},
                                           std::vector<vcam::Truth> *truths = nullptr) {
        if (!lumox_cap_start(&dev_)) return {};
        auto out = collect(n, refused, each, truths);
        lumox_cap_stop(&dev_);
        return out;
    }
    // The same from a capture already running.
    std::vector<std::vector<float>> collect(int n, int *refused = nullptr, const RawHook &each = {},
                                            std::vector<vcam::Truth> *truths = nullptr) {
        std::vector<std::vector<float>> out;
        std::vector<uint8_t> raw(8 * kPixels);
        int attempts = 0;
        while (static_cast<int>(out.size()) < n && attempts++ < 4 * n + 10) {
            lumox_frame_info info{};
            const int32_t got = lumox_cap_get_frames(&dev_, 1, raw.data(),
                                                     static_cast<uint32_t>(raw.size()), &info);
            if (got == 0) continue;  // none in time
            if (got != 1) break;
            vcam::Truth t;
            const bool known = keeper_ && keeper_->truth(info.frame_idx, t);
            if (each) each(raw, known ? &t : nullptr);
            std::vector<float> d(kPixels);
            if (lumox_frame_get_distance(&dev_, d.data(), kPixels, raw.data(), info.frame_size,
                                         &info) != static_cast<int32_t>(kPixels)) {
                if (refused) ++*refused;
                if (refused) out.emplace_back();  // counted, kept apart
                continue;
            }
            for (float &v : d) v *= 1000.0f;
            out.push_back(std::move(d));
            if (truths) truths->push_back(known ? t : vcam::Truth{});
        }
        if (refused) std::erase_if(out, [](const std::vector<float> &v) { return v.empty(); });
        return out;
    }
    bool start() { return lumox_cap_start(&dev_) != 0; }
    void stop() { lumox_cap_stop(&dev_); }
    vcam::Truth truth() { return model_->truth_for(bus_->camera(0).exposure()); }
    const vcam::DepthSensor &sensor() const { return model_->sensor(); }

  private:
    Mode mode_;
    vcam::DepthSensorConfig config_;
    std::unique_ptr<vcam::VirtualBus> bus_;
    std::shared_ptr<vcam::SensorModel> model_;
    std::shared_ptr<TruthKeeper> keeper_;
    std::string prefix_;
    lumox_dev_t dev_{};
    bool open_ = false;
};

struct WallStats {
    double systematic = 0, random = 0;  // mm
    double valid = 0;                   // share of pixel readings
    size_t pixels = 0;                  // measured at least twice
};

// Over the pixels `take` accepts (default: the central 64 x 48): mean (over pixels) of
// mean-minus-truth, RMS of the per-pixel standard deviations.
bool central(uint32_t x, uint32_t y) {
    return y >= kHeight / 2 - 24 && y < kHeight / 2 + 24 && x >= kWidth / 2 - 32 &&
           x < kWidth / 2 + 32;
}
WallStats wall_stats(const std::vector<std::vector<float>> &images, const vcam::Truth &t,
                     const std::function<bool(uint32_t, uint32_t)> &take = central) {
    WallStats s;
    double sys = 0, var = 0;
    size_t pixels = 0, readings = 0, total = 0;
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kWidth; ++x) {
            if (!take(x, y)) continue;
            const uint32_t i = y * kWidth + x;
            double sum = 0, sum2 = 0;
            size_t n = 0;
            for (const auto &img : images) {
                ++total;
                if (!valid(img[i] / 1000.0f)) continue;
                sum += img[i];
                sum2 += static_cast<double>(img[i]) * img[i];
                ++n;
            }
            readings += n;
            if (n < 2) continue;
            const double mean = sum / n;
            sys += mean - t.distance_mm[i];
            var += std::max(0.0, (sum2 - n * mean * mean) / (n - 1));
            ++pixels;
        }
    }
    s.pixels = pixels;
    if (pixels) {
        s.systematic = sys / pixels;
        s.random = std::sqrt(var / pixels);
    }
    s.valid = total ? 100.0 * readings / total : 0;
    return s;
}

// A wall's systematic / random error, or why there is none: no pixel measured twice.
void print_cell(const WallStats &s) {
    if (s.pixels == 0)
        std::printf(" none measured (%.0f %% valid) |", s.valid);
    else
        std::printf(" %+.1f / %.1f |", s.systematic, s.random);
}

// Flat walls at 0.5 to 4 m, the integration time set for each distance.
void table_walls(const std::string &dir, int frames) {
    std::printf(
        "Flat wall, reflectivity 0.8, central 64 x 48 pixels, %d frames, 12 MHz, "
        "systematic / random error in mm:\n\n",
        frames);
    std::printf("| correction | 0.5 m | 1 m | 2 m | 3 m | 4 m |\n|---|---|---|---|---|---|\n");
    for (Mode mode : {Mode::kNone, Mode::kLinear, Mode::kHost, Mode::kFirmware}) {
        Rig rig(mode, dir + "/calib");
        std::printf("| %s |", mode_name(mode));
        for (double wall : kWalls) {
            rig.look_at(vcam::Scene::wall(wall));
            const double m = wall / 1000.0;
            rig.integration(static_cast<uint32_t>(std::clamp(400.0 * m * m, 100.0, 4000.0)));
            const auto images = rig.frames(frames);
            const WallStats s = wall_stats(images, rig.truth());
            print_cell(s);
            std::fflush(stdout);
        }
        std::printf("\n");
    }
}

// The same walls at the camera's default integration time, 700 us: the far walls are darker,
// and noisier, than at the integration times above.
void table_walls700(const std::string &dir, int frames) {
    std::printf("\nThe same at the default integration time, 700 us:\n\n");
    std::printf("| correction | 0.5 m | 1 m | 2 m | 3 m | 4 m |\n|---|---|---|---|---|---|\n");
    for (Mode mode : {Mode::kHost, Mode::kFirmware}) {
        Rig rig(mode, dir + "/calib");
        std::printf("| %s, 700 us |", mode_name(mode));
        for (double wall : kWalls) {
            rig.look_at(vcam::Scene::wall(wall));
            rig.integration(700);
            const WallStats s = wall_stats(rig.frames(frames), rig.truth());
            print_cell(s);
            std::fflush(stdout);
        }
        std::printf("\n");
    }
}

// Flying pixels at the edges of a box 1.2 m away in front of a wall at 2 m.
void table_flying(const std::string &dir, int frames) {
    Rig rig(Mode::kFirmware, dir + "/calib");
    rig.look_at(vcam::Scene::box(2000));
    rig.integration(1000);
    const vcam::Truth t = rig.truth();
    size_t mixed = 0;
    for (uint8_t v : t.mixed) mixed += v;
    auto flying = [&](const std::vector<std::vector<float>> &images) {
        size_t n = 0;
        for (const auto &img : images)
            for (uint32_t i = 0; i < kPixels; ++i) {
                if (!t.mixed[i] || !valid(img[i] / 1000.0f)) continue;
                if (std::abs(img[i] - t.near_mm[i]) > 60 && std::abs(img[i] - t.far_mm[i]) > 60)
                    ++n;
            }
        return static_cast<double>(n) / std::max<size_t>(1, images.size());
    };
    const int n = std::min(frames, 20);
    rig.smoothing(false);
    const double without = flying(rig.frames(n));
    rig.smoothing(true);
    const double with = flying(rig.frames(n));
    std::printf(
        "\nFlying pixels (a mixed pixel reading more than 60 mm off both of its "
        "surfaces), box 1.2 m in front of a wall at 2 m, %zu mixed pixels, mean of %d "
        "frames:\n\n| depth filter chain | flying pixels per frame |\n|---|---|\n"
        "| off | %.1f |\n| on (median, Gauss, flying-pixel filter, hole fill) | %.1f |\n",
        mixed, n, without, with);
}

// Plane fits in the room's point cloud: points along each pixel's ray through the lens.
void table_planes(const std::string &dir, int) {  // ten frames each
    Rig rig(Mode::kFirmware, dir + "/calib");
    const vcam::Scene room = vcam::Scene::room();
    rig.look_at(room);
    rig.integration(1500);
    const vcam::Truth t = rig.truth();
    const vcam::Lens lens;
    std::printf(
        "\nPlane-fit RMS in the point cloud of the room (firmware-side correction, "
        "integration 1500 us, one frame, mean of 10), mm:\n\n"
        "| surface | smoothing off | smoothing on |\n|---|---|---|\n");
    double rms[2][2] = {};
    for (int on = 0; on < 2; ++on) {
        rig.smoothing(on == 1);
        const auto images = rig.frames(10);
        for (const auto &img : images) {
            for (int k = 0; k < 2; ++k) {
                const int surface = k == 0 ? 1 : 0;
                std::vector<std::array<double, 3>> pts;
                for (uint32_t y = 0; y < kHeight; ++y)
                    for (uint32_t x = 0; x < kWidth; ++x) {
                        const uint32_t i = y * kWidth + x;
                        if (t.surface[i] != surface || t.mixed[i] || !valid(img[i] / 1000.0f))
                            continue;
                        const vcam::Vec3 r = lens.ray(x, y) * img[i];
                        pts.push_back({r.x, r.y, r.z});
                    }
                rms[k][on] += vcam::fit_plane(pts).rms / images.size();
            }
        }
    }
    std::printf("| back wall (3.5 m) | %.1f | %.1f |\n| floor | %.1f | %.1f |\n", rms[0][0],
                rms[0][1], rms[1][0], rms[1][1]);
}

// Temperature: a wall at 2 m, per-pixel correction on the host, the sensor 10 degC cooler and
// warmer than at calibration (35.2 degC). Without compensation is the distance before the
// library subtracts its temperature term (1.7 mm per 0.1 degC of the sensor, 0.33765 of the
// illumination board).
void table_temperature(const std::string &dir, int frames) {
    Rig rig(Mode::kHost, dir + "/calib");
    rig.look_at(vcam::Scene::wall(2000));
    rig.integration(1600);
    std::printf(
        "\nTemperature drift, wall at 2 m, per-pixel correction on the host, mean error "
        "of the central pixels, mm:\n\n| sensor | compensated | not compensated |\n"
        "|---|---|---|\n");
    for (int16_t t : {252, 352, 452}) {
        rig.temperature(t);
        const auto images = rig.frames(std::min(frames, 30));
        const WallStats s = wall_stats(images, rig.truth());
        const double term = (t - 352) * 1.7 + ((t - 51) - 301) * 0.33765;
        std::printf("| %.1f degC | %+.1f | %+.1f |\n", t / 10.0, s.systematic, s.systematic + term);
    }
}

// Light across the field: a wall at 2 m at the default integration time, the four 32 x 24
// corner blocks against the central 64 x 48 pixels.
void table_corners(const std::string &dir, int frames) {
    Rig rig(Mode::kFirmware, dir + "/calib");
    rig.look_at(vcam::Scene::wall(2000));
    rig.integration(700);
    const auto images = rig.frames(frames);
    const vcam::Truth t = rig.truth();
    auto corner = [](uint32_t x, uint32_t y) {
        return (x < 32 || x >= kWidth - 32) && (y < 24 || y >= kHeight - 24);
    };
    auto mean_amp = [&](const std::function<bool(uint32_t, uint32_t)> &take) {
        double sum = 0;
        size_t n = 0;
        for (uint32_t y = 0; y < kHeight; ++y)
            for (uint32_t x = 0; x < kWidth; ++x)
                if (take(x, y)) sum += t.amplitude[y * kWidth + x], ++n;
        return n ? sum / n : 0.0;
    };
    const WallStats centre = wall_stats(images, t), corners = wall_stats(images, t, corner);
    std::printf(
        "\nImage corners against the centre (emitter profile and lens fall-off), wall at 2 m, "
        "firmware-side correction, 700 us, %d frames:\n\n| pixels | amplitude | "
        "systematic / random error, mm | valid |\n|---|---|---|---|\n"
        "| centre 64 x 48 | %.0f | %+.1f / %.1f | %.1f %% |\n"
        "| corners, 4 x 32 x 24 | %.0f | %+.1f / %.1f | %.1f %% |\n",
        frames, mean_amp(central), centre.systematic, centre.random, centre.valid, mean_amp(corner),
        corners.systematic, corners.random, corners.valid);
}

// The room's floor meeting its back wall: the wall's pixels just above the floor receive a
// second bounce off the floor.
void table_room(const std::string &dir, int frames) {
    std::printf(
        "\nFloor-to-wall corner of the room, firmware-side correction, 1500 us, smoothing "
        "off, %d frames, mean error of the back wall's pixels (mm):\n\n| model | within 8 "
        "rows of the floor | 8 to 40 rows above | over 40 rows above |\n|---|---|---|---|\n",
        std::min(frames, 30));
    for (int with = 1; with >= 0; --with) {
        vcam::DepthSensorConfig config;
        config.multipath = with == 1;
        Rig rig(Mode::kFirmware, dir + "/calib", config);
        rig.look_at(vcam::Scene::room());
        rig.integration(1500);
        const auto images = rig.frames(std::min(frames, 30));
        const vcam::Truth t = rig.truth();
        // Rows above the floor in the same column (0: not the wall or no floor below).
        auto above_floor = [&](uint32_t x, uint32_t y) -> uint32_t {
            if (t.surface[y * kWidth + x] != 1 || t.mixed[y * kWidth + x]) return 0;
            for (uint32_t k = 1; y + k < kHeight; ++k) {
                const int16_t s = t.surface[(y + k) * kWidth + x];
                if (s == 0) return k;
                if (s != 1) return 0;
            }
            return 0;
        };
        double err[3] = {};
        const uint32_t lo[3] = {1, 9, 41}, hi[3] = {8, 40, 1000};
        for (int b = 0; b < 3; ++b)
            err[b] = wall_stats(images, t, [&](uint32_t x, uint32_t y) {
                         const uint32_t k = above_floor(x, y);
                         return k >= lo[b] && k <= hi[b];
                     }).systematic;
        std::printf("| %s | %+.1f | %+.1f | %+.1f |\n",
                    with ? "second bounce and stray light" : "stray light only", err[0], err[1],
                    err[2]);
    }
}

// The DCS sum check on a dark scene (a wall at 5 m, reflectivity 0.05): frames it refuses and
// the share of pixels whose sums d0 + d2 and d1 + d3 lie outside its window.
void table_dcs(const std::string &dir, int frames) {
    std::printf(
        "\nDCS sum check, dark wall (5 m, reflectivity 0.05), 700 us, %d frames:\n\n"
        "| camera | frames refused | pixels outside the window |\n|---|---|---|\n",
        frames);
    for (Mode mode : {Mode::kHost, Mode::kFirmware}) {
        Rig rig(mode, dir + "/calib");
        rig.look_at(vcam::Scene::wall(5000, 0.05));
        rig.integration(700);
        rig.filter(FILTER_DCS_SUM_CHECK, 0);
        int refused = 0;
        double outside = 0;
        int seen = 0;
        rig.frames(frames, &refused, [&](const std::vector<uint8_t> &raw, const vcam::Truth *) {
            size_t out = 0;
            auto sample = [&](uint32_t k, uint32_t i) {
                const size_t at = 2 * (static_cast<size_t>(k) * kPixels + i);
                return (raw[at] | raw[at + 1] << 8) & 0xFFF;
            };
            for (uint32_t i = 0; i < kPixels; ++i) {
                const int s02 = sample(0, i) + sample(2, i), s13 = sample(1, i) + sample(3, i);
                out += s02 < 4017 || s02 > 4175 || s13 < 4017 || s13 > 4175;
            }
            outside += 100.0 * out / kPixels;
            ++seen;
        });
        std::printf("| %s | %d of %d | %.1f %% |\n", mode_name(mode), refused,
                    refused + static_cast<int>(frames), seen ? outside / seen : 0.0);
    }
}

// Flying pixels per frame near a box's outline: pixels within 3 of a mixed pixel reading more
// than 60 mm off the nearest and the farthest truth around them; -1 without a frame to judge.
double flying_near_outline(const std::vector<std::vector<float>> &images,
                           const std::vector<vcam::Truth> &truths) {
    size_t n = 0, counted = 0;
    for (size_t f = 0; f < images.size() && f < truths.size(); ++f) {
        const vcam::Truth &t = truths[f];
        if (t.mixed.empty()) continue;  // no truth known for it
        ++counted;
        for (uint32_t y = 3; y + 3 < kHeight; ++y)
            for (uint32_t x = 3; x + 3 < kWidth; ++x) {
                const float d = images[f][y * kWidth + x];
                if (!valid(d / 1000.0f)) continue;
                bool near_edge = false;
                float lo = 1e9f, hi = 0;
                for (int dy = -3; dy <= 3; ++dy)
                    for (int dx = -3; dx <= 3; ++dx) {
                        const uint32_t j = (y + dy) * kWidth + (x + dx);
                        near_edge = near_edge || t.mixed[j];
                        if (t.distance_mm[j] > 0) {
                            lo = std::min(lo, t.distance_mm[j]);
                            hi = std::max(hi, t.distance_mm[j]);
                        }
                    }
                if (near_edge && std::abs(d - lo) > 60 && std::abs(d - hi) > 60) ++n;
            }
    }
    return counted ? static_cast<double>(n) / counted : -1;
}

// A box moving across a wall: the four DCS samples of a frame see it at four places.
void table_moving(const std::string &dir, int frames) {
    const int n = std::min(frames, 20);
    std::printf(
        "\nA box 1.2 m away moving sideways in front of a wall at 2 m, firmware-side "
        "correction, 1000 us, %d frames: pixels near its outline (within 3 of a mixed pixel) "
        "reading more than 60 mm off both surfaces, per frame:\n\n"
        "| box | filter chain off | filter chain on |\n|---|---|---|\n",
        n);
    for (double speed : {0.0, 1000.0, 3000.0}) {
        Rig rig(Mode::kFirmware, dir + "/calib");
        vcam::Scene scene = vcam::Scene::box(2000);
        rig.integration(1000);
        rig.smoothing(false);
        // The virtual camera answers commands between frames only, and a frame of a moving scene
        // can take longer to render on a loaded machine than the library waits for an answer:
        // the capture starts on the standing box, and the box moves once frames flow (nothing
        // more is asked of the camera until the stop). The frames rendered before are skipped.
        rig.look_at(scene);
        if (speed > 0) scene.motions.push_back({1, {speed, 0, 0}, 300.0 / speed});
        double flying[2] = {-1, -1};
        if (rig.start()) {
            rig.look_at(scene);
            rig.collect(6);
            for (int on = 0; on < 2; ++on) {
                rig.smoothing(on == 1);  // on the host: no command
                std::vector<vcam::Truth> truths;
                const auto images = rig.collect(n, nullptr, {}, &truths);
                flying[on] = flying_near_outline(images, truths);
            }
            rig.stop();
        }
        char cells[2][32];
        for (int on = 0; on < 2; ++on) {
            if (flying[on] < 0)
                std::snprintf(cells[on], sizeof cells[on], "no frames");
            else
                std::snprintf(cells[on], sizeof cells[on], "%.1f", flying[on]);
        }
        if (speed > 0)
            std::printf("| moving %.0f m/s | %s | %s |\n", speed / 1000, cells[0], cells[1]);
        else
            std::printf("| standing | %s | %s |\n", cells[0], cells[1]);
        std::fflush(stdout);
    }
}

// The tables by the name --only picks them with, in the order printed.
const std::pair<const char *, void (*)(const std::string &, int)> kTables[] = {
    {"walls", table_walls},
    {"walls700", table_walls700},
    {"flying", table_flying},
    {"planes", table_planes},
    {"temperature", table_temperature},
    {"corners", table_corners},
    {"room", table_room},
    {"dcs", table_dcs},
    {"moving", table_moving},
};

// Whether every name of a comma-separated list names a table.
bool known_tables(const std::string &names) {
    std::stringstream list(names);
    std::string name;
    while (std::getline(list, name, ','))
        if (std::none_of(std::begin(kTables), std::end(kTables),
                         [&](const auto &table) { return name == table.first; }))
            return false;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (!vcam::reexec_under_preload(argc, argv)) {
        std::fprintf(stderr,
                     "lumox_depth_quality: cannot run under the umockdev preload library\n");
        return 1;
    }
    int frames = 100;
    std::string only;  // ",name,name," or empty: all
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
            frames = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc &&
                   known_tables(argv[i + 1])) {
            only = "," + std::string(argv[++i]) + ",";
        } else {
            std::string names;
            for (const auto &table : kTables)
                names += std::string(names.empty() ? "" : ",") + table.first;
            std::fprintf(stderr,
                         "usage: lumox_depth_quality [--frames N] [--only TABLE[,TABLE]]\n"
                         "tables: %s\n",
                         names.c_str());
            return 2;
        }
    }
    if (frames < 2) frames = 2;
    lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_OFF, nullptr);
    const std::string dir = (std::filesystem::temp_directory_path() /
                             ("lumox_depth_quality_" + std::to_string(getpid())))
                                .string();

    for (const auto &[name, table] : kTables)
        if (only.empty() || only.find("," + std::string(name) + ",") != std::string::npos)
            table(dir, frames);
    std::filesystem::remove_all(dir);

    const vcam::DepthSensorConfig c;
    std::printf(
        "\nNoise model: read noise %.1f DCS, shot-noise variance %.3f per DCS unit of "
        "light, ambient %.2f DCS per us (%.0f %% left with ABS), sensitivity %.3f DCS per us "
        "for reflectivity 1 square-on at 1 m, %d x %d rays per pixel on edges; emitter half "
        "intensity at %.0f degrees, lens relative illumination cos^%.1f, stray light %.1f %%, "
        "second bounce %s.\n",
        c.read_noise, c.shot_gain, c.ambient_per_us, 100 * c.ambient_residual, c.sensitivity,
        c.supersample, c.supersample, c.emitter_half_angle_deg, c.ri_exponent,
        100 * c.stray_fraction, c.multipath ? "on" : "off");
    return 0;
}
