/*
 * liblumox: 3 x 3 matrix helpers. A matrix is 9 doubles in row-major order, passed as a pointer.
 * Matrices returned by mat3_create and by mat3_identity(NULL) are released with free().
 */
#ifndef LUMOX_VECMAT_H
#define LUMOX_VECMAT_H

#include "lumox/export.h"

LUMOX_BEGIN_DECLS

typedef double *mat3_t;

/* Allocates a matrix, zeroed, or a copy of src when src is not NULL. NULL when out of memory. */
LUMOX_API mat3_t mat3_create(const double *src) LUMOX_NOEXCEPT;

/* Copies src into dest; returns dest. */
LUMOX_API mat3_t mat3_set(const double *src, mat3_t dest) LUMOX_NOEXCEPT;

/* Fills dest with the identity, allocating a new matrix when dest is NULL; returns it. */
LUMOX_API mat3_t mat3_identity(mat3_t dest) LUMOX_NOEXCEPT;

/* Inverts mat into dest, or in place when dest is NULL, and returns the result. A matrix whose
 * determinant is exactly 0 has no inverse: nothing is written and NULL is returned. */
LUMOX_API mat3_t mat3_inverse(mat3_t mat, mat3_t dest) LUMOX_NOEXCEPT;

LUMOX_END_DECLS

#endif /* LUMOX_VECMAT_H */
