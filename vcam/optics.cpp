#include "vcam/optics.h"

namespace lumox::vcam {

namespace {

// Distorted normalised coordinates of an ideal (pinhole) point.
void distort(const Lens &l, double x, double y, double &xd, double &yd) {
    const double r2 = x * x + y * y;
    const double kr = 1 + r2 * (l.k1 + r2 * (l.k2 + r2 * l.k3));
    xd = x * kr + 2 * l.p1 * x * y + l.p2 * (r2 + 2 * x * x);
    yd = y * kr + l.p1 * (r2 + 2 * y * y) + 2 * l.p2 * x * y;
}

}  // namespace

Vec3 Lens::ray(double u, double v) const {
    const double xd = (u - cx) / fx, yd = (v - cy) / fy;
    // Invert the distortion: Newton steps on the 2 x 2 system, from the distorted point. The
    // model is smooth and monotonic over the array, so a handful of steps reach 1e-12.
    double x = xd, y = yd;
    for (int i = 0; i < 20; ++i) {
        double fxv, fyv;
        distort(*this, x, y, fxv, fyv);
        const double ex = fxv - xd, ey = fyv - yd;
        if (ex * ex + ey * ey < 1e-26) break;
        const double h = 1e-7;
        double ax, ay, bx, by;
        distort(*this, x + h, y, ax, ay);
        distort(*this, x, y + h, bx, by);
        const double j11 = (ax - fxv) / h, j21 = (ay - fyv) / h;
        const double j12 = (bx - fxv) / h, j22 = (by - fyv) / h;
        const double det = j11 * j22 - j12 * j21;
        if (det == 0) break;
        x -= (j22 * ex - j12 * ey) / det;
        y -= (-j21 * ex + j11 * ey) / det;
    }
    return Vec3{x, y, 1}.unit();
}

void Lens::project(const Vec3 &dir, double &u, double &v) const {
    double xd, yd;
    distort(*this, dir.x / dir.z, dir.y / dir.z, xd, yd);
    u = cx + fx * xd;
    v = cy + fy * yd;
}

Window Window::centred(uint32_t width, uint32_t height) {
    Window w;
    w.width = width;
    w.height = height;
    w.col0 = (320 - static_cast<int32_t>(width)) / 2;
    w.top_row0 = 120 - static_cast<int32_t>(height / 2);
    w.bottom_row0 = 120;
    return w;
}

bool Window::from_roi(uint32_t x1, uint32_t x2, uint32_t y1, uint32_t y2, Window &out) {
    if (x2 < x1 || x2 > 327 || y2 < y1 || y2 > 125) return false;
    out.width = x2 - x1 + 1;
    out.height = 2 * (y2 - y1 + 1);
    out.col0 = static_cast<int32_t>(x1) - 4;
    out.top_row0 = static_cast<int32_t>(y1) - 6;
    out.bottom_row0 = 245 - static_cast<int32_t>(y2);
    return true;
}

}  // namespace lumox::vcam
