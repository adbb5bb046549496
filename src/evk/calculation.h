// The evaluation kit's sorted images: the eight sorted-data variants (default or dual-MGX layout,
// two or four DCS, sine or pseudo-noise modulation), the gray and DCS images, and the entry points
// that run the distance path with its post-processing in order (lumox/evk_calc.h).
//
// Result buffers are static and reused by every call. The geometry of the last sorted image is
// what the post-processing stages work on.
#pragma once

#include <array>
#include <cstdint>

#include "evk/settings.h"
#include "lumox/evk_calc.h"

namespace lumox::evk {

// Image geometry of the sorted distance / amplitude images and the sensor pixel each image pixel
// came from (for the per-pixel calibration tables).
struct CalcImage {
    int width = 0;
    int height = 0;
    // Raw read-out index of the pixel in the calibration image (the DRNU table's pixel order),
    // or -1 when the image geometry is not the calibration geometry.
    std::array<int32_t, kArrayPixels> calibration_index{};
    bool calibrated_geometry = false;
};

struct CalcModes {
    bool pi_delay = true;  // four DCS per pixel
    bool pn = false;       // pseudo-noise modulation
    bool default_offset = false;
    int diff_temp = 0;  // sensor temperature minus calibration temperature, 0.1 degree
};

CalcModes &calc_modes();
CalcImage &calc_image();

// Pixels of the current sorted image (width x height), or 0 when there is none.
int calc_pixels();

// Sensor array coordinates of image pixel (column, row) under the current region and reductions;
// false outside the array.
bool sensor_coordinates(int column, int row, int *x, int *y);

}  // namespace lumox::evk
