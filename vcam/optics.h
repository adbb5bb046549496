// The camera's lens and which part of the pixel array a frame reads. The lens is a pinhole with
// radial (k1, k2, k3) and tangential (p1, p2) distortion over a 320 x 240 array, with the values
// of the driver's default lens record; a frame pixel looks along the ray through its centre (or,
// for the corners of its footprint, through points inside it).
#pragma once

#include <cstdint>

#include "vcam/scene.h"

namespace lumox::vcam {

struct Lens {
    double cx = 157.262, cy = 122.083;  // principal point, pixels
    double fx = 210.783, fy = 204.817;  // focal lengths, pixels
    double k1 = -0.378924, k2 = 0.145035, p1 = -0.000970854, p2 = 6.20728e-05, k3 = -0.0133954;
    uint32_t width = 320, height = 240;

    // Unit ray (camera frame) seen at image point (u, v), in pixels of the array (pixel centres
    // at whole numbers).
    Vec3 ray(double u, double v) const;
    // The image point where a camera-frame direction (z > 0) lands.
    void project(const Vec3 &dir, double &u, double &v) const;
};

// Where the pixels of a frame lie on the array. The sensor reads two halves from the middle of
// the array outwards: the frame's upper half (image rows 0 to height/2 - 1) comes from array rows
// top_row0 onwards, its lower half from array rows bottom_row0 onwards; columns from col0.
struct Window {
    uint32_t width = 320, height = 240;
    int32_t col0 = 0;
    int32_t top_row0 = 0;
    int32_t bottom_row0 = 120;
    bool operator==(const Window &) const = default;

    // A width x height frame centred on the array.
    static Window centred(uint32_t width, uint32_t height);
    // The window of a region of interest: columns x1..x2 of the 328-column array (4..323 is the
    // full image) and rows y1..y2 of each half (6..125 is the full image; row 125 borders the
    // middle). Nothing when the region is not a valid one.
    static bool from_roi(uint32_t x1, uint32_t x2, uint32_t y1, uint32_t y2, Window &out);

    // Array row of image row r.
    double array_row(uint32_t r) const {
        return r < height / 2 ? top_row0 + static_cast<double>(r)
                              : bottom_row0 + static_cast<double>(r - height / 2);
    }
    double array_col(uint32_t c) const { return col0 + static_cast<double>(c); }
};

}  // namespace lumox::vcam
