// Each pixel's ray through a lens: the pinhole plus plumb_bob distortion model inverted per pixel,
// and the points along those rays at measured radial distances.
//
// A pixel (c, r) sees the distorted normalised point ((c - cx) / fx, (r - cy) / fy). The ideal
// (undistorted) point (x, y) that the lens bends onto it is found by Newton's method on the
// distortion function with its exact Jacobian, until a step no longer changes the point at
// double precision; the ray is (x, y, 1) normalised. A point at radial distance d is d x ray.
#pragma once

#include <cstdint>

#include "lumox/image.h"

namespace lumox::rays {

// Distorted normalised coordinates of the ideal point (x, y) under coefficients k (k1, k2, p1, p2,
// k3).
void distort(const double *k, double x, double y, double *xd, double *yd);

// The ideal point that the lens maps onto the distorted point (xd, yd).
void undistort(const double *k, double xd, double yd, double *x, double *y);

// Unit rays of every pixel of a width x height image under lens (already scaled to that size),
// 3 floats per pixel in image order, into out (3 x width x height floats).
void compute(const lx_lens_param &lens, uint32_t width, uint32_t height, float *out);

// A pixel has a distance when it lies in (0, 60) metres; the decode's codes (65.3 and up) and NaN
// are none.
inline bool has_distance(float d) { return d > 0.0f && d < 60.0f; }

// Points d x ray of the pixels. Packed: only pixels with a distance, in image order, at most
// max_points. Organised: one per pixel, NaN where a pixel has none (max_points must cover every
// pixel). Returns the points written.
uint64_t points(const float *rays, const float *dist, uint64_t pixels, bool organised, float *out,
                uint64_t max_points);

}  // namespace lumox::rays
