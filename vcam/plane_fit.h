// Least-squares plane through points, for comparing decoded point clouds with the scene's
// surfaces: the unit normal, the offset c with n.p = c, and the points' RMS distance from it.
#pragma once

#include <array>
#include <cmath>
#include <vector>

namespace lumox::vcam {

struct PlaneFit {
    double n[3];
    double c;
    double rms;
};

// The normal is the eigenvector of the points' covariance with the smallest eigenvalue, found by
// inverse iteration.
inline PlaneFit fit_plane(const std::vector<std::array<double, 3>> &pts) {
    PlaneFit pl{{0.3, 0.3, 0.9}, 0, 0};
    if (pts.empty()) return pl;
    const double count = static_cast<double>(pts.size());
    double mean[3] = {0, 0, 0};
    for (const auto &p : pts)
        for (int k = 0; k < 3; ++k) mean[k] += p[k] / count;
    double m[3][3] = {};
    for (const auto &p : pts)
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) m[a][b] += (p[a] - mean[a]) * (p[b] - mean[b]);
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    double inv[3][3];
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) {
            const int a1 = (b + 1) % 3, a2 = (b + 2) % 3, b1 = (a + 1) % 3, b2 = (a + 2) % 3;
            inv[a][b] = (m[a1][b1] * m[a2][b2] - m[a1][b2] * m[a2][b1]) / det;
        }
    double *n = pl.n;
    for (int it = 0; it < 50; ++it) {
        double x[3];
        for (int a = 0; a < 3; ++a) x[a] = inv[a][0] * n[0] + inv[a][1] * n[1] + inv[a][2] * n[2];
        const double len = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
        for (int a = 0; a < 3; ++a) n[a] = x[a] / len;
    }
    pl.c = n[0] * mean[0] + n[1] * mean[1] + n[2] * mean[2];
    double ss = 0;
    for (const auto &p : pts) {
        const double r = n[0] * p[0] + n[1] * p[1] + n[2] * p[2] - pl.c;
        ss += r * r;
    }
    pl.rms = std::sqrt(ss / count);
    return pl;
}

}  // namespace lumox::vcam
