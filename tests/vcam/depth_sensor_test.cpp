// The virtual sensor's frames and calibration: phases where the scene puts them, saturation of
// near bright surfaces, and a package whose header describes its archive.

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

double decoded_phase(const Samples &s) {
    double p = std::atan2(s.d[3] - s.d[1], s.d[2] - s.d[0]) * 30000.0 / (2 * std::numbers::pi);
    return std::fmod(p + 15000.0 + 30000.0, 30000.0);
}

TEST(DepthSensor, SceneLandsWhereItIsAndSaturatesWhenClose) {
    DepthSensor sensor;
    Scene scene = DepthSensor::box_scene(2000.0);
    std::vector<uint8_t> frame(8 * kPlane);
    sensor.render(scene, frame);
    // Sample rounding moves the phase by up to about 11 units at this amplitude; wall and box
    // lie 1900 units apart.
    for (auto [x, y, d] : {std::tuple{10u, 10u, 2000.0},
                           {160u, 120u, 1200.0},
                           {100u, 70u, 1200.0},
                           {99u, 70u, 2000.0},
                           {219u, 169u, 1200.0},
                           {220u, 169u, 2000.0}}) {
        EXPECT_NEAR(decoded_phase(at(frame, x, y)), sensor.phase(x, y, d), 15.0) << x << "," << y;
    }
    // A bright surface ten times nearer than the reference clips the samples.
    scene.objects = {{0, 0, 10, 10, 200.0, 1.0}};
    sensor.render(scene, frame);
    const Samples near = at(frame, 5, 5);
    bool clipped = false;
    for (int v : near.d) clipped = clipped || v == 0 || v == 4095;
    EXPECT_TRUE(clipped);
}

TEST(DepthSensor, PhaseFollowsDistanceOffsetAndNonUniformity) {
    DepthSensorConfig c;
    c.nonuniformity_mm = 0;
    c.gain_spread = 0;
    c.offset_mm = 100;
    DepthSensor sensor(c);
    EXPECT_NEAR(sensor.range_mm(), 12491.35, 0.01);
    EXPECT_EQ(sensor.phase(7, 9, 1149.1),
              static_cast<uint16_t>(std::lround(1249.1 / sensor.range_mm() * 30000.0)));
    DepthSensor uneven;
    EXPECT_NE(uneven.phase(40, 0, 1000.0), uneven.phase(80, 0, 1000.0));
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
