// Depth through the whole stack against the virtual scene's ground truth: a camera (firmware 1.x
// or 2.x, calibrated or not) looks at a wall, a room or a box, the library decodes what it
// streams, and the distances and the point cloud are compared with what the scene holds.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lumox/evk.h"
#include "lumox/lumox.h"
#include "support/temp_dir.h"
#include "support/vcam_fixture.h"
#include "vcam/depth_sensor.h"
#include "vcam/plane_fit.h"

namespace lumox::test {
namespace {

constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;
constexpr uint32_t kPixels = kWidth * kHeight;

double percentile(std::vector<double> v, double q) {
    if (v.empty()) return 1e9;
    const size_t k = std::min(v.size() - 1, static_cast<size_t>(q * (v.size() - 1) + 0.5));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

bool valid(float d) { return d > 0.0f && d < 60.0f; }  // codes (65.3, 65.4, 65.5) are not

class DepthTruth : public VcamTest {
  protected:
    void SetUp() override {
        VcamTest::SetUp();
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_OFF, nullptr);
    }
    void TearDown() override {
        close();
        lumox_path_cfg(".\\");
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_WRN, nullptr);
        VcamTest::TearDown();
    }

    // A camera with this firmware looking at `scene`, carrying its calibration or not.
    // With `direct_only`, no light arrives the long way (second bounce, stray light).
    void camera_with(const std::string &product, vcam::Scene scene, bool calibrated,
                     bool direct_only = false) {
        close();
        vcam::BusOptions options;
        options.cameras.resize(1);
        options.cameras[0].camera.product = product;
        options.cameras[0].camera.paced = false;
        rebuild(options);
        vcam::DepthSensorConfig config;
        config.corrects_pixels = calibrated && product.find("-2.") != std::string::npos;
        if (direct_only) {
            config.multipath = false;
            config.stray_fraction = 0;
        }
        model_ = std::make_shared<vcam::SensorModel>(std::move(scene), config);
        camera().set_live_source(model_);
        if (calibrated) camera().set_calibration_package(model_->sensor().package(), 1);
    }

    void open(const std::string &calib_dir) {
        close();
        prefix_ = calib_dir + "/";
        lumox_path_cfg(prefix_.c_str());
        lumox_dev_t list[2];
        ASSERT_EQ(lumox_dev_list(list, 2), 1);
        dev_ = list[0];
        ASSERT_EQ(lumox_dev_open(&dev_), &dev_);
        ASSERT_TRUE(lumox_cap_set_frame_buffer(&dev_, nullptr, 4 * LUMOX_FRAME_BUF_UNIT));
        opened_ = true;
    }
    void close() {
        if (opened_) lumox_dev_close(&dev_);
        opened_ = false;
    }

    // What an application does when the calibration files are there: the per-pixel correction.
    void per_pixel_correction() {
        uint8_t set = 0;
        ASSERT_EQ(lumox_filter_enable(&dev_, FILTER_DRNU, &set, 1), 1);
    }

    // `n` decoded distance images (mm; codes stay as they are, times 1000).
    std::vector<std::vector<float>> frames(int n) {
        std::vector<std::vector<float>> out;
        std::vector<uint8_t> raw(8 * kPixels);
        if (!lumox_cap_start(&dev_)) return out;
        for (int k = 0; k < n; ++k) {
            lumox_frame_info info{};
            if (lumox_cap_get_frames(&dev_, 1, raw.data(), static_cast<uint32_t>(raw.size()),
                                     &info) != 1)
                break;
            std::vector<float> d(kPixels);
            if (lumox_frame_get_distance(&dev_, d.data(), kPixels, raw.data(), raw.size(), &info) !=
                static_cast<int32_t>(kPixels))
                break;
            for (float &v : d) v *= 1000.0f;
            out.push_back(std::move(d));
        }
        lumox_cap_stop(&dev_);
        return out;
    }

    vcam::Truth truth() { return model_->truth_for(camera().exposure()); }

    // Errors (mm) of every valid pixel off the scene's edges over the frames.
    struct Errors {
        double median_abs = 1e9, p95_abs = 1e9, mean = 1e9, sigma_model = 0;
        size_t count = 0;
    };
    Errors errors(const std::vector<std::vector<float>> &images) {
        const vcam::Truth t = truth();
        const uint32_t intg = camera().exposure().integration_us;
        std::vector<double> abs_err;
        double sum = 0, sigma2 = 0;
        for (const auto &img : images) {
            for (uint32_t i = 0; i < kPixels; ++i) {
                if (t.mixed[i] || t.distance_mm[i] <= 0 || !valid(img[i] / 1000.0f)) continue;
                const double e = img[i] - t.distance_mm[i];
                abs_err.push_back(std::abs(e));
                sum += e;
                const double s = model_->sensor().distance_sigma_mm(t.amplitude[i], 12000, intg, 1);
                sigma2 += s * s;
            }
        }
        Errors r;
        r.count = abs_err.size();
        if (r.count == 0) return r;
        r.median_abs = percentile(abs_err, 0.5);
        r.p95_abs = percentile(abs_err, 0.95);
        r.mean = sum / r.count;
        r.sigma_model = std::sqrt(sigma2 / r.count);
        return r;
    }

    TempDir dir_;
    std::string prefix_;
    std::shared_ptr<vcam::SensorModel> model_;
    lumox_dev_t dev_{};
    bool opened_ = false;
};

TEST_F(DepthTruth, UncalibratedCameraReadsAWallWithinFiveCentimetres) {
    camera_with("LXC660-E2-2.0.3", vcam::Scene::wall(2000), false);
    open(dir_.path() + "/none");
    const Errors e = errors(frames(3));
    ASSERT_GT(e.count, 3 * kPixels * 9 / 10);
    // The default linear calibration removes the sensor's phase offset; what is left are the
    // pixels' own offsets and gains.
    EXPECT_LT(std::abs(e.mean), 50.0);
    EXPECT_LT(e.median_abs, 50.0);
}

TEST_F(DepthTruth, CalibratedCameraReadsWithinOneCentimetreOnEveryFirmwareAndEveryOpen) {
    // Firmware 2.0 corrects the pixels itself, 1.9 leaves it to the host's per-pixel table.
    for (const char *product : {"LXC660-E2-2.0.3", "LXC660-E2-1.9.0"}) {
        SCOPED_TRACE(product);
        camera_with(product, vcam::Scene::wall(2000), true);
        const std::string calib = dir_.path() + "/" + product;
        open(calib);  // downloads the calibration
        const Errors first = errors(frames(5));
        open(calib);  // finds it
        per_pixel_correction();
        const Errors second = errors(frames(5));
        for (const Errors &e : {first, second}) {
            ASSERT_GT(e.count, 5 * kPixels * 9 / 10);
            EXPECT_LT(std::abs(e.mean), 10.0);
            EXPECT_LT(e.median_abs, 10.0);
            // The smoothing chain keeps the random error below the single-pixel noise.
            EXPECT_LT(e.p95_abs, 10.0 + 2.0 * e.sigma_model);
        }
        EXPECT_NEAR(second.median_abs, first.median_abs, 2.0);

        // Ten degrees warmer: the frame headers' temperatures drive the compensation.
        camera().set_temperatures(452, 401);
        const Errors warm = errors(frames(3));
        EXPECT_LT(std::abs(warm.mean), 10.0);
        camera().set_temperatures(352, 301);
    }
}

TEST_F(DepthTruth, EveryOpenOfEveryCameraReadsRightWhateverWasOpenedBeforeAndSwitched) {
    auto correction = [&] {
        lumox_correction_state s{};
        EXPECT_EQ(lumox_dev_get_correction(&dev_, &s), 1);
        return s;
    };
    auto within_1cm = [&](const char *what) {
        SCOPED_TRACE(what);
        const Errors e = errors(frames(3));
        ASSERT_GT(e.count, 3 * kPixels * 9 / 10);
        EXPECT_LT(std::abs(e.mean), 10.0);
        EXPECT_LT(e.median_abs, 10.0);
    };
    const std::string calib_2 = dir_.path() + "/fw2", calib_19 = dir_.path() + "/fw19";
    // Firmware 2.0 with its package: every open corrects, with no call of the application's.
    camera_with("LXC660-E2-2.0.3", vcam::Scene::wall(2000), true);
    open(calib_2);
    EXPECT_EQ(correction().correction, LUMOX_CORRECTION_FIRMWARE);
    open(calib_2);
    EXPECT_EQ(correction().correction, LUMOX_CORRECTION_FIRMWARE);
    within_1cm("firmware 2.0, later open");
    // The per-pixel switch cannot take the firmware's correction away, nor add the fit on top.
    EXPECT_EQ(lumox_filter_disable(&dev_, FILTER_DRNU), 0);
    within_1cm("firmware 2.0, per-pixel switched off");
    per_pixel_correction();
    within_1cm("firmware 2.0, per-pixel switched on");

    // Firmware 1.9 after it: a later open uses the fit until the table is switched on.
    camera_with("LXC660-E2-1.9.0", vcam::Scene::wall(2000), true);
    open(calib_19);
    EXPECT_EQ(correction().correction, LUMOX_CORRECTION_HOST);
    open(calib_19);
    EXPECT_EQ(correction().correction, LUMOX_CORRECTION_LINEAR);
    lumox_correction_state best{};
    ASSERT_EQ(lumox_dev_use_best_correction(&dev_, &best), 1);
    EXPECT_EQ(best.correction, LUMOX_CORRECTION_HOST);
    EXPECT_TRUE(best.files_match);
    within_1cm("firmware 1.9, best correction");

    // Firmware 2.0 again, after 1.9 filled the host's table: nothing of it stays.
    camera_with("LXC660-E2-2.0.3", vcam::Scene::wall(2000), true);
    open(calib_2);
    within_1cm("firmware 2.0 after 1.9");

    // The same chip without a package, opened where the calibrated camera's files lie: they are
    // not its own. It reads as an uncalibrated camera does, with the default calibration.
    for (const char *product : {"LXC660-E2-2.0.3", "LXC660-E2-1.9.0"}) {
        SCOPED_TRACE(product);
        camera_with(product, vcam::Scene::wall(2000), false);
        open(product[10] == '2' ? calib_2 : calib_19);
        ASSERT_EQ(lumox_dev_use_best_correction(&dev_, &best), 1);
        EXPECT_EQ(best.correction, LUMOX_CORRECTION_DEFAULT) << best.reason;
        EXPECT_TRUE(best.files_present);
        EXPECT_FALSE(best.files_match);
        EXPECT_EQ(g_calib_scale_m, 1000);
        const Errors e = errors(frames(3));
        EXPECT_LT(std::abs(e.mean), 50.0);
        EXPECT_LT(e.median_abs, 50.0);
    }
}

double angle_deg(const double n[3], const vcam::Vec3 &v) {
    const double c = std::abs(n[0] * v.x + n[1] * v.y + n[2] * v.z) / v.norm();
    return std::acos(std::min(1.0, c)) * 180.0 / 3.141592653589793;
}

TEST_F(DepthTruth, WallIsFlatAndFloorTiltsAsPlacedInThePointCloud) {
    const vcam::Scene room = vcam::Scene::room();
    // The geometry of the points: light that arrives the long way bends the planes near the
    // room's corners and objects (the depth-quality benchmark measures that).
    camera_with("LXC660-E2-2.0.3", room, true, true);
    open(dir_.path() + "/room");
    constexpr int kFrames = 8;
    const auto images = frames(kFrames);
    ASSERT_EQ(images.size(), static_cast<size_t>(kFrames));
    const vcam::Truth t = truth();
    const uint32_t intg = camera().exposure().integration_us;
    const vcam::Lens lens;
    // Points along each pixel's ray through the lens, at its mean distance over the frames.
    for (int surface : {1, 0}) {  // back wall, floor
        SCOPED_TRACE(surface == 1 ? "wall" : "floor");
        std::vector<std::array<double, 3>> pts;
        double sigma2 = 0;
        for (uint32_t y = 0; y < kHeight; ++y) {
            for (uint32_t x = 0; x < kWidth; ++x) {
                const uint32_t i = y * kWidth + x;
                if (t.surface[i] != surface || t.mixed[i]) continue;
                double sum = 0;
                int n = 0;
                for (const auto &img : images)
                    if (valid(img[i] / 1000.0f)) sum += img[i], ++n;
                if (n < kFrames) continue;
                const vcam::Vec3 r = lens.ray(x, y) * (sum / n);
                pts.push_back({r.x, r.y, r.z});
                const double s = model_->sensor().distance_sigma_mm(t.amplitude[i], 12000, intg, 1);
                sigma2 += s * s / kFrames;
            }
        }
        ASSERT_GT(pts.size(), 3000u);
        const vcam::PlaneFit p = vcam::fit_plane(pts);
        const double noise = std::sqrt(sigma2 / pts.size());
        std::printf("%s: %zu points, plane-fit rms %.2f mm (noise %.2f mm)\n",
                    surface == 1 ? "wall" : "floor", pts.size(), p.rms, noise);
        EXPECT_LT(p.rms, 2.0 + 2.0 * noise);
        // Placed in the room: wall square to the room's z, floor level, 0.9 m below the camera.
        const vcam::Vec3 placed =
            room.to_camera(surface == 1 ? vcam::Vec3{0, 0, 1} : vcam::Vec3{0, 1, 0});
        EXPECT_LT(angle_deg(p.n, placed), 0.3);
        EXPECT_NEAR(std::abs(p.c), surface == 1 ? 3500.0 : 900.0, 15.0);
    }
}

TEST_F(DepthTruth, SaturatedPixelsAreFlaggedOnEveryFirmware) {
    // Near saturation the brightest pixels clip. Firmware that corrects pixels must leave them
    // detectable, as the host's own decode of uncorrected frames does: a flagged pixel carries the
    // invalid code, every other pixel reads its distance.
    struct Case {
        double wall_mm;
        uint16_t integration_us;
    };
    for (const Case c : {Case{1000, 1500}, Case{750, 700}}) {
        size_t flagged[2] = {};
        for (int fw = 0; fw < 2; ++fw) {
            const char *product = fw == 0 ? "LXC660-E2-2.0.3" : "LXC660-E2-1.9.0";
            SCOPED_TRACE(std::string(product) + " at " + std::to_string(c.wall_mm) + " mm");
            camera_with(product, vcam::Scene::wall(c.wall_mm), true);
            open(dir_.path() + "/sat" + std::to_string(fw) + "_" + std::to_string(c.wall_mm));
            ASSERT_EQ(lumox_filter_disable(&dev_, FILTER_DEPTH_SMOOTH), 1);
            lumox_param_item item{};
            item.param_id = LUMOX_PARAM_INTG_TIME;
            item.param_val_len = 2;
            item.param_val[0] = static_cast<uint8_t>(c.integration_us);
            item.param_val[1] = static_cast<uint8_t>(c.integration_us >> 8);
            ASSERT_EQ(lumox_param_batch_set(&dev_, &item, 1), 1);
            const auto images = frames(3);
            ASSERT_EQ(images.size(), 3u);
            const vcam::Truth t = truth();
            size_t wrong = 0;
            for (const auto &img : images)
                for (uint32_t i = 0; i < kPixels; ++i) {
                    if (img[i] == 65500.0f) {
                        ++flagged[fw];
                        continue;
                    }
                    ASSERT_TRUE(valid(img[i] / 1000.0f)) << img[i];
                    const double sigma = model_->sensor().distance_sigma_mm(t.amplitude[i], 12000,
                                                                            c.integration_us, true);
                    wrong += std::abs(img[i] - t.distance_mm[i]) > 15.0 + 5.0 * sigma;
                }
            EXPECT_EQ(wrong, 0u);
        }
        std::printf("wall %.0f mm, %u us: flagged per frame fw 2.0 %.0f, fw 1.9 %.0f\n", c.wall_mm,
                    c.integration_us, flagged[0] / 3.0, flagged[1] / 3.0);
        // Both firmwares see the same light: saturation marks as many pixels.
        EXPECT_NEAR(static_cast<double>(flagged[0]), flagged[1], 0.1 * flagged[1] + 30);
        if (c.wall_mm == 1000) {
            EXPECT_GT(flagged[1], 3u * 1000);
        }
    }
}

TEST_F(DepthTruth, MixedPixelsAtEdgesFlyWithoutTheFilterAndAreGoneWithIt) {
    camera_with("LXC660-E2-2.0.3", vcam::Scene::box(2000), true);
    open(dir_.path() + "/box");
    const vcam::Truth t = truth();
    // A mixed pixel flies when it reads neither surface of its footprint.
    auto flying = [&](const std::vector<float> &img) {
        size_t n = 0;
        for (uint32_t i = 0; i < kPixels; ++i) {
            if (!t.mixed[i] || !valid(img[i] / 1000.0f)) continue;
            const double d = img[i];
            if (std::abs(d - t.near_mm[i]) > 60.0 && std::abs(d - t.far_mm[i]) > 60.0) ++n;
        }
        return n;
    };
    size_t mixed = 0;
    for (uint8_t m : t.mixed) mixed += m;
    ASSERT_GT(mixed, 200u);
    ASSERT_EQ(lumox_filter_disable(&dev_, FILTER_DEPTH_SMOOTH), 1);
    const auto raw_images = frames(3);
    uint8_t size = 5;
    ASSERT_EQ(lumox_filter_enable(&dev_, FILTER_DEPTH_SMOOTH, &size, 1), 1);
    const auto filtered = frames(3);
    ASSERT_EQ(raw_images.size(), 3u);
    ASSERT_EQ(filtered.size(), 3u);
    size_t before = 0, after = 0;
    for (const auto &img : raw_images) before += flying(img);
    for (const auto &img : filtered) after += flying(img);
    std::printf("mixed pixels %zu; flying per frame without the filter %.0f, with it %.0f\n", mixed,
                before / 3.0, after / 3.0);
    EXPECT_GT(before, mixed);  // over three frames: at least a third of them fly in each
    EXPECT_LE(after * 10, before);
}

}  // namespace
}  // namespace lumox::test
