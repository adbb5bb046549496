#include "lx/rays.h"

#include <cmath>
#include <limits>

namespace lumox::rays {

void distort(const double *k, double x, double y, double *xd, double *yd) {
    const double r2 = x * x + y * y;
    const double kr = 1 + r2 * (k[0] + r2 * (k[1] + r2 * k[4]));
    *xd = x * kr + 2 * k[2] * x * y + k[3] * (r2 + 2 * x * x);
    *yd = y * kr + k[2] * (r2 + 2 * y * y) + 2 * k[3] * x * y;
}

void undistort(const double *k, double xd, double yd, double *x_out, double *y_out) {
    double x = xd, y = yd;
    // Newton converges quadratically near the solution; the bound only guards a lens whose
    // distortion folds over inside the image (no root, or a singular Jacobian), where the last
    // iterate is kept.
    for (int it = 0; it < 100; ++it) {
        double fx, fy;
        distort(k, x, y, &fx, &fy);
        const double ex = fx - xd, ey = fy - yd;
        const double r2 = x * x + y * y;
        const double kr = 1 + r2 * (k[0] + r2 * (k[1] + r2 * k[4]));
        const double dkr = k[0] + r2 * (2 * k[1] + 3 * r2 * k[4]);  // d kr / d r2
        const double j11 = kr + 2 * x * x * dkr + 2 * k[2] * y + 6 * k[3] * x;
        const double j12 = 2 * x * y * dkr + 2 * k[2] * x + 2 * k[3] * y;
        const double j21 = 2 * x * y * dkr + 2 * k[2] * x + 2 * k[3] * y;
        const double j22 = kr + 2 * y * y * dkr + 6 * k[2] * y + 2 * k[3] * x;
        const double det = j11 * j22 - j12 * j21;
        if (det == 0 || !std::isfinite(det)) break;
        const double sx = (j22 * ex - j12 * ey) / det;
        const double sy = (-j21 * ex + j11 * ey) / det;
        const double nx = x - sx, ny = y - sy;
        const bool settled = nx == x && ny == y;
        x = nx;
        y = ny;
        if (settled || std::fabs(sx) + std::fabs(sy) <= 4e-16 * (1 + std::fabs(x) + std::fabs(y)))
            break;
    }
    *x_out = x;
    *y_out = y;
}

void compute(const lx_lens_param &lens, uint32_t width, uint32_t height, float *out) {
    for (uint32_t r = 0; r < height; ++r) {
        for (uint32_t c = 0; c < width; ++c) {
            double x, y;
            undistort(lens.dcoeff, (c - lens.cx) / lens.fx, (r - lens.cy) / lens.fy, &x, &y);
            const double norm = std::sqrt(x * x + y * y + 1);
            float *ray = out + 3 * (static_cast<uint64_t>(r) * width + c);
            ray[0] = static_cast<float>(x / norm);
            ray[1] = static_cast<float>(y / norm);
            ray[2] = static_cast<float>(1 / norm);
        }
    }
}

uint64_t points(const float *rays, const float *dist, uint64_t pixels, bool organised, float *out,
                uint64_t max_points) {
    constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
    uint64_t n = 0;
    for (uint64_t i = 0; i < pixels && n < max_points; ++i) {
        const float d = dist[i];
        float *p = out + 3 * n;
        if (has_distance(d)) {
            p[0] = rays[3 * i] * d;
            p[1] = rays[3 * i + 1] * d;
            p[2] = rays[3 * i + 2] * d;
        } else if (organised) {
            p[0] = p[1] = p[2] = kNan;
        } else {
            continue;
        }
        ++n;
    }
    return n;
}

}  // namespace lumox::rays
