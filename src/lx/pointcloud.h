// Point clouds of distance images, many pixels per call.
//
// Pixel (r, c) with distance d (metres) becomes a point when 0 < d < 60 (NaN is no point):
//   D = d x dist_scale                                  single precision
//   x = (float(c - cx) x D) / fx, y = (float(r - cy) x D) / fy   formed in double, rounded once
//   z = sqrtf(float(D^2 - x^2 - y^2))                   the sum in double; NaN where negative
// and an optional fourth value: D, or the colour word of trunc(D x 1000) millimetres under a
// colour map, as a float. Points are packed in pixel order. project_plain() is the
// straightforward per-pixel loop, the reference of project() and its fallback where no vector
// unit is available.
#pragma once

#include <cstdint>

#include "lumox/image.h"

namespace lumox::pcl {

struct View {
    double cx, cy, fx, fy;
    float dist_scale;
};

// What goes after x, y and z of each point.
enum class Fourth { kNone, kDistance, kColour };

// Points of the width x height image dist into out (3 floats per point, 4 with a fourth value),
// at most max_points of them; returns how many were written. colour is read for kColour only.
uint64_t project(const View &view, const float *dist, uint32_t width, uint32_t height,
                 Fourth fourth, const lx_cmap *colour, float *out, uint64_t max_points);

uint64_t project_plain(const View &view, const float *dist, uint32_t width, uint32_t height,
                       Fourth fourth, const lx_cmap *colour, float *out, uint64_t max_points);

}  // namespace lumox::pcl
