// The virtual sensor: rays through the lens land where the scene's surfaces are, the pixels
// measure with their flaws and noise, and the calibration package describes that sensor.

#include <gtest/gtest.h>

#include <cmath>
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

DepthSensorConfig quiet() {
    DepthSensorConfig c;
    c.read_noise = 0;
    c.shot_gain = 0;
    c.baseline_spread = 0;
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
            const double tolerance = 10.0 + 2400.0 / truth.amplitude[i];
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
