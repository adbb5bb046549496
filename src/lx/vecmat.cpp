// 3 x 3 matrix helpers (row-major doubles) used to build the undistortion maps.

#include "lumox/vecmat.h"

#include <cstdlib>
#include <cstring>

namespace {
constexpr size_t kMat3Bytes = 9 * sizeof(double);
}

extern "C" {

LUMOX_API mat3_t mat3_create(const double *src) noexcept {
    auto *m = static_cast<double *>(std::calloc(9, sizeof(double)));
    if (m && src) std::memcpy(m, src, kMat3Bytes);
    return m;
}

LUMOX_API mat3_t mat3_set(const double *src, mat3_t dest) noexcept {
    if (src && dest && src != dest) std::memmove(dest, src, kMat3Bytes);
    return dest;
}

LUMOX_API mat3_t mat3_identity(mat3_t dest) noexcept {
    if (!dest) dest = mat3_create(nullptr);
    if (!dest) return nullptr;
    std::memset(dest, 0, kMat3Bytes);
    dest[0] = dest[4] = dest[8] = 1.0;
    return dest;
}

LUMOX_API mat3_t mat3_inverse(mat3_t mat, mat3_t dest) noexcept {
    if (!mat) return nullptr;
    const double a00 = mat[0], a01 = mat[1], a02 = mat[2];
    const double a10 = mat[3], a11 = mat[4], a12 = mat[5];
    const double a20 = mat[6], a21 = mat[7], a22 = mat[8];

    const double c00 = a11 * a22 - a12 * a21;
    const double c10 = a12 * a20 - a10 * a22;
    const double c20 = a10 * a21 - a11 * a20;
    const double det = a00 * c00 + a01 * c10 + a02 * c20;
    if (det == 0.0) return nullptr;
    const double inv = 1.0 / det;

    double *out = dest ? dest : mat;
    out[0] = c00 * inv;
    out[1] = (a02 * a21 - a01 * a22) * inv;
    out[2] = (a01 * a12 - a02 * a11) * inv;
    out[3] = c10 * inv;
    out[4] = (a00 * a22 - a02 * a20) * inv;
    out[5] = (a02 * a10 - a00 * a12) * inv;
    out[6] = c20 * inv;
    out[7] = (a01 * a20 - a00 * a21) * inv;
    out[8] = (a00 * a11 - a01 * a10) * inv;
    return out;
}

}  // extern "C"
