// The virtual sensor: rays through the lens land where the scene's surfaces are, the pixels
// measure with their flaws and noise, and the calibration package describes that sensor.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <cstring>
#include <numbers>
#include <tuple>
#include <vector>

#include "vcam/depth_sensor.h"
#include "vcam/wire.h"

namespace lumox::vcam {
namespace {

constexpr uint32_t kW = 320;
constexpr uint32_t kH = 240;
constexpr size_t kPlane = kW * kH;

struct Samples {
    int d[4];
};

// The four samples of image pixel (x, y): read-out row 2m is image row h/2 - 1 - m, read-out row
// 2m + 1 is image row h/2 + m.
Samples at(const std::vector<uint8_t> &frame, uint32_t x, uint32_t y) {
    const uint32_t r = y < kH / 2 ? 2 * (kH / 2 - 1 - y) : 2 * (y - kH / 2) + 1;
    Samples s{};
    for (size_t k = 0; k < 4; ++k) s.d[k] = get_le16(&frame[2 * (k * kPlane + r * kW + x)]);
    return s;
}

// The host's decode: phase in 30000 units per period.
double decoded_phase(const Samples &s) {
    double p = std::atan2(s.d[3] - s.d[1], s.d[2] - s.d[0]) * 30000.0 / (2 * std::numbers::pi);
    return std::fmod(p + 15000.0 + 30000.0, 30000.0);
}

double phase_gap(double a, double b) {
    const double d = std::fmod(std::abs(a - b), 30000.0);
    return std::min(d, 30000.0 - d);
}

Exposure exposure(uint32_t integration_us = 700) {
    Exposure e;
    e.integration_us = integration_us;
    e.temp_sensor = 361;  // the reference temperatures: no drift
    e.temp_board = 341;
    return e;
}

// No noise, and only the direct returns: what a pixel's own footprint sends back.
DepthSensorConfig quiet() {
    DepthSensorConfig c;
    c.read_noise = 0;
    c.shot_gain = 0;
    c.baseline_spread = 0;
    c.multipath = false;
    c.stray_fraction = 0;
    return c;
}

TEST(Optics, RaysAndProjectionAreInverse) {
    const Lens lens;
    for (auto [u, v] : {std::pair{157.262, 122.083}, {0.0, 0.0}, {319.0, 239.0}, {40.5, 200.25}}) {
        const Vec3 r = lens.ray(u, v);
        EXPECT_NEAR(r.norm(), 1.0, 1e-12);
        double pu = 0, pv = 0;
        lens.project(r, pu, pv);
        EXPECT_NEAR(pu, u, 1e-6);
        EXPECT_NEAR(pv, v, 1e-6);
    }
    // The principal point looks straight ahead; the barrel distortion widens the corners' view
    // beyond the pinhole's.
    const Vec3 centre = lens.ray(lens.cx, lens.cy);
    EXPECT_NEAR(centre.z, 1.0, 1e-12);
    const Vec3 corner = lens.ray(0, 0);
    EXPECT_GT(-corner.x / corner.z, lens.cx / lens.fx);

    Window w;
    ASSERT_TRUE(Window::from_roi(4, 323, 6, 125, w));
    EXPECT_EQ(w, Window::centred(320, 240));
    ASSERT_TRUE(Window::from_roi(84, 243, 46, 125, w));  // the middle 160 x 160
    EXPECT_EQ(w.width, 160u);
    EXPECT_EQ(w.height, 160u);
    EXPECT_EQ(w.array_col(0), 80.0);
    EXPECT_EQ(w.array_row(0), 40.0);
    EXPECT_EQ(w.array_row(80), 120.0);
    EXPECT_FALSE(Window::from_roi(4, 328, 6, 125, w));
}

TEST(Scene, RaysMeetEveryKindOfSurface) {
    Scene s = Scene::wall(3000);
    s.surfaces.push_back({Surface::Kind::kBox, {-100, -100, 1000}, {100, 100, 1200}, 0, 0.5});
    s.surfaces.push_back({Surface::Kind::kSphere, {500, 0, 2000}, {}, 200, 0.5});
    s.surfaces.push_back({Surface::Kind::kCylinder, {-600, -500, 2000}, {0, 1000, 0}, 100, 0.5});
    auto hit = s.cast({0, 0, 1});
    ASSERT_TRUE(hit);
    EXPECT_NEAR(hit->distance, 1000, 1e-9);
    EXPECT_EQ(hit->surface, 1);
    hit = s.cast(Vec3{500, 0, 2000}.unit());
    ASSERT_TRUE(hit);
    EXPECT_NEAR(hit->distance, (Vec3{500, 0, 2000}.norm() - 200), 1e-6);
    EXPECT_NEAR(hit->cos_incidence, 1.0, 1e-9);
    hit = s.cast(Vec3{-600, 0, 2000}.unit());
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->surface, 3);
    EXPECT_NEAR(hit->distance, (Vec3{-600, 0, 2000}.norm() - 100), 1e-6);  // through the axis
    hit = s.cast(Vec3{1, 0, 1}.unit());  // the wall, 45 degrees off
    ASSERT_TRUE(hit);
    EXPECT_NEAR(hit->distance, 3000 * std::sqrt(2.0), 1e-6);
    EXPECT_NEAR(hit->cos_incidence, std::sqrt(0.5), 1e-9);

    // A camera pitched down sees the floor below the horizon at its height.
    const Scene room = Scene::room();
    hit = room.cast(room.to_camera(Vec3{0, -1, 1}.unit()));
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->surface, 0);
    EXPECT_NEAR(hit->distance, 900 * std::sqrt(2.0), 1e-6);

    std::string error;
    EXPECT_TRUE(
        Scene::parse("camera 800 10\nplane 0 0 0 0 1 0 0.4 # floor\nsphere 0 0 900 50\n", error));
    EXPECT_FALSE(Scene::parse("plane 0 0 0 0 0 0\n", error));
    EXPECT_NE(error.find("normal"), std::string::npos);
    EXPECT_FALSE(Scene::parse("box 1 2 3\n", error));
    EXPECT_NE(error.find("line 1"), std::string::npos);
    EXPECT_FALSE(Scene::named("wall:5", error));
    EXPECT_FALSE(Scene::named("no-such-scene-file", error));
}

// A scene file's items land in the fields they name; a bad line is refused with its number and
// what is wrong with it, as a user reads it.
TEST(Scene, FilesParseIntoSurfacesAndSayWhatIsWrongWithABadLine) {
    std::string error;
    const auto s = Scene::parse(
        "camera 900 12  # height, pitch\n\ncylinder 100 3000 50 2050 180 0.5 move 0 0 -10 2\n",
        error);
    ASSERT_TRUE(s) << error;
    EXPECT_EQ(s->camera_height_mm, 900);
    ASSERT_EQ(s->surfaces.size(), 1u);
    const Surface &c = s->surfaces[0];
    EXPECT_TRUE(c.kind == Surface::Kind::kCylinder && c.a.x == 100 && c.a.y == 50 &&
                c.a.z == 3000 && c.b.y == 2000 && c.r == 180 && c.reflectivity == 0.5);
    ASSERT_EQ(s->motions.size(), 1u);
    EXPECT_TRUE(s->motions[0].velocity.z == -10 && s->motions[0].travel_s == 2);

    const std::pair<const char *, const char *> bad[] = {
        {"sphere 0 0 1 x", "line 1: 'x' is not a number"},
        {"plane 0 0 1 0 0 -1 move 1 0 0", "line 1: plane cannot move"},
        {"box 0 0 0 1 1 1 move 1 0", "line 1: move takes VX VY VZ [SECONDS]"},
        {"camera 900", "line 1: camera takes HEIGHT PITCH"},
        {"\nsphere 0 0 1", "line 2: sphere takes 4 numbers and an optional reflectivity"},
        {"cylinder 0 0 10 5 1", "line 1: the cylinder's top is below its foot"},
        {"sphere 0 0 1 0", "line 1: the radius must be positive"},
        {"box 0 0 0 1 1 1 1.5", "line 1: reflectivity must be 0 to 1"},
        {"box 0 0 0 1 1 1 move 1 0 0 -1", "line 1: the travel time must not be negative"},
        {"cone 1 2 3", "line 1: unknown item 'cone'"},
        {"# nothing", "no surfaces"},
    };
    for (const auto &[text, why] : bad) {
        EXPECT_FALSE(Scene::parse(text, error)) << text;
        EXPECT_EQ(error, why);
    }
}

TEST(DepthSensor, SceneLandsWhereItIsAndSaturatesWhenClose) {
    SensorModel model(Scene::box(2000.0), quiet());
    std::vector<uint8_t> frame(8 * kPlane);
    model.render(exposure(), frame);
    const Truth truth = model.truth();
    const DepthSensor &sensor = model.sensor();
    // Off the box's edges every pixel's phase is that of its true distance; rounding the samples
    // moves it by up to about 0.5 / amplitude radians (4775 units per radian), and the footprint
    // spans a few millimetres. On the edges the pixel sums both returns.
    size_t checked = 0, mixed = 0;
    for (uint32_t y = 0; y < kH; y += 7) {
        for (uint32_t x = 0; x < kW; x += 5) {
            const size_t i = y * kW + x;
            if (truth.mixed[i]) {
                ++mixed;
                continue;
            }
            const double measured = sensor.measured_mm(x, y, truth.distance_mm[i], 12000, 361, 341);
            const double expected = measured / sensor.range_mm() * 30000.0;
            // (The footprint spans most at the dark corners, 53 degrees off the axis.)
            const double tolerance = 15.0 + 2400.0 / truth.amplitude[i];
            EXPECT_LT(phase_gap(decoded_phase(at(frame, x, y)), expected), tolerance)
                << x << "," << y;
            ++checked;
        }
    }
    EXPECT_GT(checked, 2000u);
    EXPECT_GT(mixed, 10u);
    // The box is nearer than the wall: at the centre its distance, far out the wall's.
    EXPECT_NEAR(truth.distance_mm[120 * kW + 157], 1200.0, 2.0);
    EXPECT_GT(truth.distance_mm[5 * kW + 5], 2500.0);

    // A bright wall ten times nearer clips the samples.
    SensorModel near(Scene::wall(200.0), quiet());
    near.render(exposure(), frame);
    const Samples s = at(frame, 160, 120);
    bool clipped = false;
    for (int v : s.d) clipped = clipped || v == 0 || v == 4095;
    EXPECT_TRUE(clipped);
}

TEST(DepthSensor, PhaseFollowsDistanceOffsetNonUniformityAndTemperature) {
    DepthSensorConfig c;
    c.nonuniformity_mm = 0;
    c.pixel_offset_mm = 0;
    c.gain_spread = 0;
    c.cyclic_mm = 0;
    c.offset_mm = 100;
    c.temp_sensor = c.ref_sensor;
    c.temp_board = c.ref_board;
    DepthSensor sensor(c);
    EXPECT_NEAR(sensor.range_mm(), 12491.35, 0.01);
    EXPECT_EQ(sensor.phase(7, 9, 1149.1),
              static_cast<uint16_t>(std::lround(1249.1 / sensor.range_mm() * 30000.0)));
    // 10 degC warmer: 17 mm per degC of the sensor, and the quadratic part on top.
    const double warm = sensor.measured_mm(7, 9, 1000, 12000, c.ref_sensor + 100, c.ref_board);
    const double cool = sensor.measured_mm(7, 9, 1000, 12000, c.ref_sensor, c.ref_board);
    EXPECT_NEAR(warm - cool, 170.0 + 100 * c.drift_quadratic, 1e-9);
    DepthSensor uneven;
    EXPECT_NE(uneven.phase(40, 0, 1000.0), uneven.phase(80, 0, 1000.0));
    // Firmware that corrects pixels recovers the distance from what the pixel measured.
    for (double d : {300.0, 2000.0, 5000.0})
        EXPECT_NEAR(uneven.corrected_mm(40, 7, uneven.measured_mm(40, 7, d), 12000), d, 1e-6);
}

TEST(DepthSensor, NoiseDiffersPerFrameRepeatsPerSeedAndMatchesItsModel) {
    DepthSensorConfig c;
    c.seed = 7;
    SensorModel a(Scene::wall(2000.0), c), b(Scene::wall(2000.0), c);
    std::vector<uint8_t> fa(8 * kPlane), fb(8 * kPlane), fa2(8 * kPlane);
    a.render(exposure(), fa);
    b.render(exposure(), fb);
    a.render(exposure(), fa2);
    EXPECT_EQ(fa, fb);
    EXPECT_NE(fa, fa2);

    // Spread of one central pixel's decoded distance over frames against the model's estimate.
    const uint32_t x = 160, y = 120;
    std::vector<double> mm;
    std::vector<uint8_t> f(8 * kPlane);
    for (int k = 0; k < 150; ++k) {
        a.render(exposure(), f);
        mm.push_back(decoded_phase(at(f, x, y)) * a.sensor().range_mm() / 30000.0);
    }
    double mean = 0, var = 0;
    for (double v : mm) mean += v / mm.size();
    for (double v : mm) var += (v - mean) * (v - mean) / (mm.size() - 1);
    const double expected =
        a.sensor().distance_sigma_mm(a.truth().amplitude[y * kW + x], 12000, 700, true);
    EXPECT_NEAR(std::sqrt(var), expected, 0.2 * expected);  // 3 standard errors of 150 frames
}

// Noise-free distance (mm) pixel (x, y) decodes to, against the sensor's own response at the
// reference temperatures: what the pixel's light says, free of its offsets and gains.
double decoded_mm(const SensorModel &model, const std::vector<uint8_t> &frame, uint32_t x,
                  uint32_t y) {
    const DepthSensor &sensor = model.sensor();
    const double range = sensor.range_mm();
    const double m = decoded_phase(at(frame, x, y)) / 30000.0 * range;
    // Invert the response by bisection over one period.
    double lo = 0, hi = range;
    const double m0 = sensor.measured_mm(x, y, 0, 12000, 361, 341);
    auto wrapped = [&](double d) {
        return std::fmod(sensor.measured_mm(x, y, d, 12000, 361, 341) - m0 + 4 * range, range);
    };
    const double target = std::fmod(m - std::fmod(m0, range) + 2 * range, range);
    for (int it = 0; it < 60; ++it) {
        const double mid = 0.5 * (lo + hi);
        (wrapped(mid) < target ? lo : hi) = mid;
    }
    return 0.5 * (lo + hi);
}

TEST(DepthSensor, CornersGetLessLightThroughEmitterAndLens) {
    SensorModel model(Scene::wall(2000.0), quiet());
    const Truth t = model.truth_for(exposure());
    const Lens lens;
    const Vec3 corner = lens.ray(0, 0);
    // A flat wall alone gives cos^3 of the angle off the axis (incidence and distance); the
    // emitter and the lens take the corner down to a fraction of that.
    const double geometric = std::pow(corner.z, 3.0);
    const double ratio = t.amplitude[0] / t.amplitude[122 * kW + 157];
    std::printf("corner %.1f degrees off axis: %.3f of the centre's light (geometry alone %.3f)\n",
                std::acos(corner.z) * 180 / std::numbers::pi, ratio, geometric);
    EXPECT_LT(ratio, 0.35 * geometric);
    EXPECT_GT(ratio, 0.15 * geometric);
}

TEST(DepthSensor, EdgePixelsIntegrateTheirAreaAsFinelyAsTheExactIntegral) {
    // The exact area integral: many more points on every edge pixel.
    DepthSensorConfig fine = quiet();
    fine.supersample = 48;
    DepthSensorConfig normal = fine;
    normal.supersample = DepthSensorConfig{}.supersample;
    SensorModel exact(Scene::box(2000.0), fine), model(Scene::box(2000.0), normal);
    std::vector<uint8_t> fe(8 * kPlane), fm(8 * kPlane);
    exact.render(exposure(), fe);
    model.render(exposure(), fm);
    const Truth te = exact.truth(), tm = model.truth();
    size_t mixed[2] = {}, flying[2] = {};
    for (int k = 0; k < 2; ++k) {
        const SensorModel &m = k == 0 ? exact : model;
        const Truth &t = k == 0 ? te : tm;
        const std::vector<uint8_t> &f = k == 0 ? fe : fm;
        for (uint32_t y = 0; y < kH; ++y)
            for (uint32_t x = 0; x < kW; ++x) {
                const size_t i = y * kW + x;
                if (!t.mixed[i]) continue;
                ++mixed[k];
                const double d = decoded_mm(m, f, x, y);
                flying[k] += std::abs(d - t.near_mm[i]) > 60 && std::abs(d - t.far_mm[i]) > 60;
            }
    }
    std::printf("box scene: mixed %zu (exact %zu), flying %zu (exact %zu)\n", mixed[1], mixed[0],
                flying[1], flying[0]);
    EXPECT_NEAR(static_cast<double>(flying[1]), flying[0], 0.05 * flying[0]);
    // Slivers of an edge thinner than half a sub-sample go unseen (they carry no measurable
    // share of the light).
    EXPECT_NEAR(static_cast<double>(mixed[1]), mixed[0], 0.05 * mixed[0]);
    EXPECT_GT(mixed[0], 380u);  // every pixel the box's outline crosses
}

TEST(DepthSensor, EachDcsSampleCarriesItsOwnNoiseOnEveryFirmware) {
    // d0 + d2 - d1 - d3 holds the noise of four samples (twice one sample's), whether the
    // firmware corrects the pixels or not.
    for (bool corrects : {false, true}) {
        DepthSensorConfig c;
        c.corrects_pixels = corrects;
        SensorModel model(Scene::wall(2000.0), c);
        std::vector<uint8_t> f(8 * kPlane);
        double sum2 = 0, expected2 = 0;
        size_t n = 0;
        for (int frame = 0; frame < 2; ++frame) {
            model.render(exposure(), f);
            const Truth t = model.truth();
            for (uint32_t y = 100; y < 140; ++y)
                for (uint32_t x = 140; x < 180; ++x) {
                    const Samples s = at(f, x, y);
                    const double q = s.d[0] + s.d[2] - s.d[1] - s.d[3];
                    sum2 += q * q;
                    const double sigma = model.sensor().sample_sigma(t.amplitude[y * kW + x], 700);
                    expected2 += 4 * sigma * sigma + 4.0 / 12;  // and the ADC's rounding
                    ++n;
                }
        }
        EXPECT_NEAR(std::sqrt(sum2 / n), std::sqrt(expected2 / n), 0.05 * std::sqrt(expected2 / n))
            << (corrects ? "firmware correcting" : "uncorrected");
    }
}

// Mean error (mm) of pixels x0..x1 of row y against the truth.
double row_error(const SensorModel &model, const std::vector<uint8_t> &frame, uint32_t x0,
                 uint32_t x1, uint32_t y) {
    const Truth t = model.truth();
    double sum = 0;
    for (uint32_t x = x0; x <= x1; ++x)
        sum += decoded_mm(model, frame, x, y) - t.distance_mm[y * kW + x];
    return sum / (x1 - x0 + 1);
}

TEST(DepthSensor, ConcaveCornerReadsLongAndBrightObjectsLiftDarkOnes) {
    // A floor meeting a wall, seen from above: the second bounce off the floor lengthens the
    // wall's path near the corner.
    Scene corner;
    corner.camera_height_mm = 900;
    corner.camera_pitch_deg = 20;
    corner.surfaces.push_back({Surface::Kind::kPlane, {0, 0, 0}, {0, 1, 0}, 0, 0.6});
    corner.surfaces.push_back({Surface::Kind::kPlane, {0, 0, 2500}, {0, 0, -1}, 0, 0.8});
    DepthSensorConfig with = quiet(), without = quiet();
    with.multipath = true;
    SensorModel a(corner, with), b(corner, without);
    std::vector<uint8_t> fa(8 * kPlane), fb(8 * kPlane);
    a.render(exposure(2000), fa);
    b.render(exposure(2000), fb);
    const Truth t = a.truth();
    // The wall's pixels just above the corner in the middle columns, and far above it.
    uint32_t y = kH - 1;
    while (y > 0 && t.surface[y * kW + 160] != 1) --y;
    ASSERT_GT(y, 40u);
    y -= 2;
    ASSERT_EQ(t.surface[y * kW + 150], 1);
    const double near_corner = row_error(a, fa, 150, 170, y);
    const double high = row_error(a, fa, 150, 170, y - 35);
    const double alone = row_error(b, fb, 150, 170, y);
    std::printf(
        "wall at the corner: %+.1f mm with multipath (share %.3f), %+.1f mm 35 rows above "
        "(share %.3f), %+.1f mm without\n",
        near_corner, t.multipath[y * kW + 160], high, t.multipath[(y - 35) * kW + 160], alone);
    // Right at the corner the bounce's extra path is short; a little above it the floor's light
    // arrives over a longer path and the wall reads centimetres long.
    EXPECT_GT(near_corner, 3.0);
    EXPECT_GT(high, 20.0);
    EXPECT_LT(std::abs(alone), 1.0);
    EXPECT_GT(t.multipath[y * kW + 160], 0.02f);
    EXPECT_EQ(b.truth().multipath[y * kW + 160], 0.0f);

    // A bright box 0.6 m away in front of a dark wall at 3 m: its stray light pulls the wall's
    // pixels towards it.
    Scene dark = Scene::wall(3000.0, 0.3);
    dark.surfaces.push_back({Surface::Kind::kBox, {-100, -100, 600}, {100, 100, 700}, 0, 0.9});
    DepthSensorConfig stray = quiet();
    stray.stray_fraction = DepthSensorConfig{}.stray_fraction;
    const DepthSensorConfig clean = quiet();
    SensorModel s(dark, stray), n(dark, clean);
    s.render(exposure(4000), fa);
    n.render(exposure(4000), fb);
    const double pulled = row_error(s, fa, 5, 25, 120);
    const double straight = row_error(n, fb, 5, 25, 120);
    std::printf("dark wall beside a bright box: %+.1f mm with stray light, %+.1f mm without\n",
                pulled, straight);
    EXPECT_LT(pulled, -20.0);
    EXPECT_LT(std::abs(straight), 2.0);
}

TEST(DepthSensor, MovingBoxIsWhereItsClockSaysAndSmearsItsEdges) {
    std::string error;
    // A thin box: no side faces between its front and the wall.
    const std::string box = "plane 0 0 2000 0 0 -1\nbox -300 -300 1200 300 300 1210 0.6";
    const auto scene = Scene::parse(box + " move 3000 0 0 0.2\n", error);
    ASSERT_TRUE(scene) << error;
    ASSERT_TRUE(scene->moving());
    EXPECT_NEAR(scene->at(0.1).surfaces[1].a.x, 0, 1e-9);
    EXPECT_NEAR(scene->at(0.3).surfaces[1].a.x, 0, 1e-9);  // on its way back
    EXPECT_FALSE(Scene::parse("plane 0 0 1 0 0 -1 move 1 0 0\n", error));
    EXPECT_FALSE(Scene::parse("sphere 0 0 1 1 move 1 0\n", error));

    DepthSensorConfig c = quiet();
    Exposure e = exposure(1000);
    e.frame_rate = 10;
    std::vector<uint8_t> f(8 * kPlane);
    // Pixels of the middle row near the box's right edge (in the truth) that read neither the
    // box nor the wall, and that edge.
    auto look = [&](SensorModel &model, size_t &smeared) {
        model.render(e, f);
        const Truth t = model.truth();
        uint32_t x = kW - 1;
        while (x > 0 && t.surface[120 * kW + x] != 1) --x;
        const double box_mm = t.distance_mm[120 * kW + x - 10];
        const double wall_mm = t.distance_mm[120 * kW + x + 10];
        smeared = 0;
        for (uint32_t k = x - 8; k <= x + 8; ++k) {
            const double d = decoded_mm(model, f, k, 120);
            smeared += std::abs(d - box_mm) > 60 && std::abs(d - wall_mm) > 60;
        }
        return x;
    };
    SensorModel moving(*scene, c);
    size_t smeared = 0, still_smeared = 0;
    look(moving, smeared);
    const uint32_t edge = look(moving, smeared);  // frame 1: 0.1 s on, the box 300 mm right
    double u = 0, v = 0;
    c.lens.project(Vec3{600, 0, 1200}.unit(), u, v);
    EXPECT_NEAR(edge, u, 1.5);
    // The same box standing where it is in the middle of frame 1.
    auto still_scene = Scene::parse(box + "\n", error);
    ASSERT_TRUE(still_scene);
    still_scene->surfaces[1] = scene->at(0.1 + 0.0045).surfaces[1];
    SensorModel still(*still_scene, c);
    look(still, still_smeared);
    // Its four samples, 2 ms apart, see the box 6 mm further on each: the edge smears.
    std::printf("moving box: %zu pixels at its edge read neither surface (%zu standing)\n", smeared,
                still_smeared);
    EXPECT_GE(smeared, still_smeared + 2);
}

// Relighting only the pixels a moving surface may reach gives the frames and the truth of
// relighting every pixel for every DCS sample, bit for bit, for every kind of moving surface.
TEST(DepthSensor, MovingSceneRelitWhereItMovesEqualsRelitEverywhere) {
    std::string error;
    const auto scene = Scene::parse(
        "camera 900 12\nplane 0 0 0 0 1 0 0.45\nplane 0 0 3500 0 0 -1\n"
        "box -1000 0 1600 -350 550 2150 0.6 move 4000 0 1000 0.6\n"
        "sphere 550 350 2100 350 0.7 move 0 3000 0 0.3\n"
        "cylinder 900 3000 0 2000 180 0.5 move -5000 0 0 0.5\n",
        error);
    ASSERT_TRUE(scene) << error;
    Exposure e = exposure(1000);
    e.window = Window::centred(160, 120);
    e.frame_rate = 5;
    const size_t bytes = 8 * 160 * 120;
    DepthSensorConfig all;
    all.relight_reached_only = false;
    SensorModel everywhere(*scene, all), reached(*scene, DepthSensorConfig{});
    for (int frame = 0; frame < 2; ++frame) {
        std::vector<uint8_t> a(bytes), b(bytes);
        everywhere.render(e, a);
        reached.render(e, b);
        EXPECT_TRUE(a == b) << "frame " << frame;
        const Truth ta = everywhere.truth(), tb = reached.truth();
        EXPECT_TRUE(ta.distance_mm == tb.distance_mm && ta.mixed == tb.mixed &&
                    ta.amplitude == tb.amplitude && ta.multipath == tb.multipath);
    }
}

TEST(DepthSensor, FirmwareTemperatureCompensationIsFlatWithDistance) {
    // 10 degC off the calibration, the firmware-corrected distance minus the host's linear
    // temperature term is the same at every distance.
    DepthSensorConfig c = quiet();
    c.corrects_pixels = true;
    // Error of the central pixel at a temperature step (0.1 degC) from the calibration's.
    auto error_at = [&](double wall, int16_t dt) {
        SensorModel model(Scene::wall(wall), c);
        Exposure e =
            exposure(static_cast<uint32_t>(std::clamp(400.0 * wall * wall / 1e6, 100.0, 4000.0)));
        e.temp_sensor = static_cast<int16_t>(c.temp_sensor + dt);
        e.temp_board = static_cast<int16_t>(c.temp_board + dt);
        std::vector<uint8_t> f(8 * kPlane);
        model.render(e, f);
        const double range = model.sensor().range_mm();
        const double term = model.sensor().compensation_mm(e.temp_sensor, e.temp_board);
        // Over the central 20 x 20 pixels, the rounding of the samples averages out.
        double sum = 0;
        for (uint32_t y = 110; y < 130; ++y)
            for (uint32_t x = 150; x < 170; ++x)
                sum += std::remainder(decoded_phase(at(f, x, y)) / 30000.0 * range - term -
                                          model.truth().distance_mm[y * kW + x],
                                      range);
        return sum / 400;
    };
    for (int16_t dt : {-100, 100}) {
        double lo = 1e9, hi = -1e9;
        for (double wall : {800.0, 1500.0, 2500.0, 3500.0}) {
            const double change = error_at(wall, dt) - error_at(wall, 0);
            lo = std::min(lo, change);
            hi = std::max(hi, change);
        }
        EXPECT_LT(hi - lo, 1.0) << dt;
    }
}

TEST(DepthSensor, PackageHeaderDescribesTheArchive) {
    DepthSensorConfig c;
    c.distances = 2;
    DepthSensor sensor(c);
    const auto params = sensor.parameter_file();
    ASSERT_EQ(params.size(), 24u);
    EXPECT_EQ(get_le32(&params[0]), 12000u);
    double step = 0;
    std::memcpy(&step, &params[12], sizeof step);
    EXPECT_EQ(step, 298.2);
    EXPECT_EQ(sensor.distance_images().size(), 2 * kPlane * 2);

    const auto package = sensor.package();
    ASSERT_GT(package.size(), 17u + 22u);
    EXPECT_EQ(package[0], 1);
    EXPECT_EQ(package[2], 1);
    EXPECT_EQ(get_le32(&package[7]), package.size());
    EXPECT_EQ(get_le32(&package[11]), package.size() - 17);
    EXPECT_EQ(package[17], 'P');  // a zip archive: local file header "PK\3\4"
    EXPECT_EQ(package[18], 'K');
}

}  // namespace
}  // namespace lumox::vcam
