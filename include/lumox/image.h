/*
 * liblumox: image and numeric helpers usable without a device: fixed-point phase and square-root
 * arithmetic, colour maps, depth filters and lens undistortion.
 *
 * Phase unit: one full turn (one modulation period) is 30000 units.
 * Distances are unsigned 16-bit millimetres; the codes 65300 (filtered / low amplitude),
 * 65400 (saturated) and 65500 (invalid / ADC overflow) mark pixels without a distance.
 */
#ifndef LUMOX_IMAGE_H
#define LUMOX_IMAGE_H

#include <stdint.h>

#include "lumox/export.h"

LUMOX_BEGIN_DECLS

/* ---- Fixed-point math ------------------------------------------------------------------------ */

/* Angle of the vector (x, y), counter-clockwise from the positive x axis, in 0..29999 (a full turn
 * is 30000). Exact table lookup; |x| and |y| are expected below 2^19. */
LUMOX_API int32_t lx_math_atan2_i32(int32_t y, int32_t x);

/* Fast square root of x >= 0: bit-level estimate plus two Newton steps. */
LUMOX_API float lx_math_sqrtf(float x);

/* Fast 1/sqrt(x) for x > 0: bit-level estimate plus one Newton step. */
LUMOX_API float lx_math_inv_sqrtf(float x);

/* Prints the arctangent table of n entries (one eighth of a turn) to standard output as C source.
 */
LUMOX_API void lx_math_lut_print_arctan2(int32_t n);

/* ---- Colour maps ----------------------------------------------------------------------------- */

/* Colour words are 24-bit values in a uint32_t: byte 0 least significant, top byte 0. */
typedef struct lx_cmap {
    int32_t size;      /* number of palette entries n */
    int32_t range_min; /* lower bound of the range, millimetres (excluded by lx_cmap_get_color) */
    int32_t range_max; /* upper bound, millimetres (included) */
    float index_scale; /* n / (range_max - range_min) */
    float gray_scale;  /* 255 / (range_max - range_min) */
    uint32_t *palette; /* n colour words, owned by the record */
} lx_cmap;

/* Builds a jet-like palette of n entries over the default range 0..4000 mm; returns the palette,
 * or NULL when it cannot be allocated (lookups then return 0). */
LUMOX_API uint32_t *lx_cmap_init(lx_cmap *map, int32_t n);

/* Frees the palette. */
LUMOX_API void lx_cmap_uninit(lx_cmap *map);

/* Sets the distance range from two bounds given in either order. Equal bounds keep the old bounds
 * and scale as for a range of one millimetre. */
LUMOX_API void lx_cmap_set_range(lx_cmap *map, int32_t a, int32_t b);

/* Pseudo-colour of a distance: near end of the range shows the last palette entries, far end the
 * first ones; outside the range black; 65300 black, 65400 0x8000FF, 65500 0xFF0EA9. */
LUMOX_API uint32_t lx_cmap_get_color(const lx_cmap *map, int32_t v);

/* Gray ramp of a distance (the same byte in bytes 0-2): below the range black, above it white;
 * 65400 0x8000FF, 65500 0xFF0EA9. */
LUMOX_API uint32_t lx_cmap_get_gray(const lx_cmap *map, int32_t v);

LUMOX_END_DECLS

#endif /* LUMOX_IMAGE_H */
