// A time-of-flight sensor in front of a flat wall, with the flaws a real one has: every pixel
// measures the distance with its own error (a fixed offset that varies across the array and a
// gain that varies with the column) on top of the sensor's common offset. It renders the
// format-2 frames the camera streams for a wall at a given distance, and it produces the
// calibration the camera would have been shipped with: the distance images it measured at walls
// 295 + k x step mm, the parameter file of that calibration, and both packed for the camera's
// flash (17-byte header, zip archive of "calib_and_param_<chip>.bin").
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "vcam/stream.h"

namespace lumox::vcam {

// A surface filling a rectangle of the image (columns x0..x1-1, rows y0..y1-1, top row 0) at
// its own distance.
struct SceneObject {
    uint32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    double distance_mm = 1000.0;
    double reflectivity = 1.0;
};

// What the sensor looks at: a wall behind objects (later objects in front of earlier ones). A
// surface of reflectivity 1 at reference_mm returns the configured amplitude; the amplitude falls
// with the square of the distance, and samples that would leave the 12-bit range saturate.
struct Scene {
    double wall_mm = 2000.0;
    double wall_reflectivity = 1.0;
    std::vector<SceneObject> objects;
    double reference_mm = 2000.0;
};

struct DepthSensorConfig {
    uint32_t width = 320;
    uint32_t height = 240;
    uint32_t modulation_khz = 12000;  // the frequency frames are measured at
    double offset_mm = 150.0;         // common offset of every pixel
    double nonuniformity_mm = 60.0;   // largest per-pixel offset, either way
    double gain_spread = 0.02;        // largest per-column gain error, either way
    double amplitude = 600.0;         // DCS units
    double step_mm = 298.2;           // calibration wall step
    uint32_t distances = 30;          // calibration walls
    int32_t temp_sensor = 352;        // 0.1 degC at calibration: equal to the frame headers'
    int32_t temp_board = 301;
    uint16_t chip_id = 12;
};

class DepthSensor {
  public:
    explicit DepthSensor(DepthSensorConfig config = {});

    const DepthSensorConfig &config() const { return config_; }
    // Unambiguous range in mm at the measuring frequency (half the light's path per period).
    double range_mm() const;
    // What pixel (x, y) of the image (top row first) measures for a wall at `distance_mm`, in
    // millimetres and as a phase (30000 per period).
    double measured_mm(uint32_t x, uint32_t y, double distance_mm) const;
    uint16_t phase(uint32_t x, uint32_t y, double distance_mm) const;

    // Frames of a wall at `distance_mm` with the configured amplitude everywhere, rows in the
    // sensor's read-out order.
    FrameRenderer wall(double distance_mm) const;
    // Frames of a scene.
    FrameRenderer scene(Scene scene) const;
    void render(const Scene &scene, std::span<uint8_t> frame) const;
    // A wall at `wall_mm` with a box in the middle at 60 % of that distance and a dark band
    // along the bottom: something to look at.
    static Scene box_scene(double wall_mm);

    // The calibration files and the flash package.
    std::vector<uint8_t> parameter_file() const;   // 24-byte form, with the frequency
    std::vector<uint8_t> distance_images() const;  // images in image row order
    std::vector<uint8_t> package() const;

  private:
    DepthSensorConfig config_;
};

}  // namespace lumox::vcam
