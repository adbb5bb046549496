/*
 * liblumox: image and numeric helpers usable without a device: fixed-point phase and square-root
 * arithmetic, colour maps, depth filters and lens undistortion.
 *
 * Phase unit: one full turn (one modulation period) is 30000 units.
 * Distances are unsigned 16-bit millimetres; the codes 65300 (filtered / low amplitude),
 * 65400 (saturated) and 65500 (invalid / ADC overflow) mark pixels without a distance
 * (LUMOX_DIST_FILTERED, LUMOX_DIST_SATURATED, LUMOX_DIST_INVALID below). They pass through the
 * pipeline unchanged and become 65.3, 65.4 and 65.5 m in distance images of metres.
 */
#ifndef LUMOX_IMAGE_H
#define LUMOX_IMAGE_H

#include <stdint.h>

#include "lumox/export.h"

LUMOX_BEGIN_DECLS

/* Reserved distance codes: every value above the measurable range is one of these. */
#define LUMOX_DIST_FILTERED 65300  /* removed by a filter, or amplitude below the threshold */
#define LUMOX_DIST_SATURATED 65400 /* a raw sample saturated */
#define LUMOX_DIST_INVALID 65500   /* no valid measurement (ADC overflow, bad calibration) */

/* ---- Fixed-point math ------------------------------------------------------------------------ */

/* Angle of the vector (x, y), counter-clockwise from the positive x axis, in 0..29999 (a full turn
 * is 30000). Exact table lookup; |x| and |y| are expected below 2^19. */
LUMOX_API int32_t lx_math_atan2_i32(int32_t y, int32_t x) LUMOX_NOEXCEPT;

/* Fast square root of x >= 0: bit-level estimate plus two Newton steps. */
LUMOX_API float lx_math_sqrtf(float x) LUMOX_NOEXCEPT;

/* Fast 1/sqrt(x) for x > 0: bit-level estimate plus one Newton step. */
LUMOX_API float lx_math_inv_sqrtf(float x) LUMOX_NOEXCEPT;

/* Prints the arctangent table of n entries (one eighth of a turn) to standard output as C source.
 */
LUMOX_API void lx_math_lut_print_arctan2(int32_t n) LUMOX_NOEXCEPT;

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
LUMOX_API uint32_t *lx_cmap_init(lx_cmap *map, int32_t n) LUMOX_NOEXCEPT;

/* Frees the palette. */
LUMOX_API void lx_cmap_uninit(lx_cmap *map) LUMOX_NOEXCEPT;

/* Sets the distance range from two bounds given in either order. Equal bounds keep the old bounds
 * and scale as for a range of one millimetre. */
LUMOX_API void lx_cmap_set_range(lx_cmap *map, int32_t a, int32_t b) LUMOX_NOEXCEPT;

/* Pseudo-colour of a distance: near end of the range shows the last palette entries, far end the
 * first ones; outside the range black; 65300 black, 65400 0x8000FF, 65500 0xFF0EA9. */
LUMOX_API uint32_t lx_cmap_get_color(const lx_cmap *map, int32_t v) LUMOX_NOEXCEPT;

/* Gray ramp of a distance (the same byte in bytes 0-2): below the range black, above it white;
 * 65400 0x8000FF, 65500 0xFF0EA9. */
LUMOX_API uint32_t lx_cmap_get_gray(const lx_cmap *map, int32_t v) LUMOX_NOEXCEPT;

/* ---- Lens undistortion ----------------------------------------------------------------------- */

/* Pinhole camera and distortion parameters of a lens, for its full-resolution image. */
typedef struct lx_lens_param {
    double cx;        /* principal point, x, pixels */
    double cy;        /* principal point, y, pixels */
    double fx;        /* focal length, x, pixels */
    double fy;        /* focal length, y, pixels */
    double dcoeff[5]; /* distortion coefficients k1, k2, p1, p2, k3 (k radial, p tangential) */
    int32_t img_w;    /* width of the image the parameters belong to */
    int32_t img_h;    /* height of the image the parameters belong to */
} lx_lens_param;

/* Undistortion map: for each destination pixel (row-major, full resolution) the source column
 * map_x and source row map_y, in full-resolution pixels. The record owns both arrays. */
typedef struct lx_calib_len_map {
    float *map_x;
    float *map_y;
    int32_t count;  /* width * height */
    int32_t width;  /* full-resolution width W */
    int32_t height; /* full-resolution height H */
    int32_t roi_x;  /* destination rectangle whose sources lie inside the image (information) */
    int32_t roi_y;
    int32_t roi_w;
    int32_t roi_h;
    uint8_t ready; /* 1 while the arrays are built */
} lx_calib_len_map;

/* Builds the maps of an empty record from the lens parameters and sets ready. Returns W * H, or 0
 * (record left empty) when the size is not positive, exceeds 4194304 pixels (2048 x 2048), or the
 * arrays cannot be allocated. A built record must be released with lx_calib_len_uninit_map before
 * it is built again. */
LUMOX_API int32_t lx_calib_len_init_map(lx_calib_len_map *map,
                                        const lx_lens_param *lens) LUMOX_NOEXCEPT;

/* Frees the arrays of a built record and clears ready; an empty record is left alone. */
LUMOX_API void lx_calib_len_uninit_map(lx_calib_len_map *map) LUMOX_NOEXCEPT;

/* Nearest-neighbour remap of a w x h image through the map; the map size must be an integer
 * multiple of the image size (binned images sample the map with the binning step). Destination
 * pixels whose source lies outside the image get fill. dst holds dst_len values and must not
 * overlap src. Returns 1, or 0 on a parameter error (destination untouched). */
LUMOX_API int32_t lx_calib_len_undistort_u16(const lx_calib_len_map *map, uint16_t *dst,
                                             int32_t dst_len, const uint16_t *src, int32_t w,
                                             int32_t h, uint16_t fill) LUMOX_NOEXCEPT;
LUMOX_API int32_t lx_calib_len_undistort_f32(const lx_calib_len_map *map, float *dst,
                                             int32_t dst_len, const float *src, int32_t w,
                                             int32_t h, float fill) LUMOX_NOEXCEPT;

/* ---- Depth filters --------------------------------------------------------------------------- */

/* Identifiers of the sensor driver's per-frame processing steps (lumox_filter_enable/disable). */
enum lx_filter_id {
    FILTER_LENS_UNDISTORT = 0,   /* no argument */
    FILTER_DRNU = 1,             /* uint8_t calibration set selector */
    FILTER_DEPTH_SMOOTH = 2,     /* uint8_t size; the chain runs when the size is above 1 */
    FILTER_MIN_AMPLITUDE = 4,    /* uint16_t minimum amplitude (3 is unused) */
    FILTER_AUTO_INTEGRATION = 5, /* uint16_t saturation ratio, per mille */
    FILTER_DCS_SUM_CHECK = 6,    /* uint16_t value sent with parameter 17 */
    FILTER_TEMP_MONITOR = 7,     /* uint16_t value, stored */
    FILTER_HDR = 8               /* no argument */
};

/* 2-D filters on row-major unsigned 16-bit images of w x h values. Each reads src and writes dst,
 * which must not overlap. Windows are clamped at the borders (edge pixels repeat). The fixed-size
 * filters need w > 1 and h > 1; otherwise they log an error and leave dst untouched. */

/* Median with an odd kernel k > 2, k < 2 * w and k < 2 * h (3 and 5 use the fixed kernels). */
LUMOX_API void lx_median2d_u16(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                               int32_t k) LUMOX_NOEXCEPT;
/* Median of the 3 x 3 and 5 x 5 windows. */
LUMOX_API void lx_median2d_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w,
                                  int32_t h) LUMOX_NOEXCEPT;
LUMOX_API void lx_median2d_u16_k5(uint16_t *dst, const uint16_t *src, int32_t w,
                                  int32_t h) LUMOX_NOEXCEPT;
/* Truncated mean of the eight neighbours (the centre is not included). */
LUMOX_API void lx_box2d_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w,
                               int32_t h) LUMOX_NOEXCEPT;
/* 1-2-1 / 2-4-2 / 1-2-1 weighted mean, truncated. */
LUMOX_API void lx_gauss2d_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w,
                                 int32_t h) LUMOX_NOEXCEPT;
/* Flying-pixel removal: a pixel whose Sobel gradient of the quarter values has a squared
 * magnitude above threshold / 16 becomes 0; the others are copied. */
LUMOX_API void lx_flypix_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                                uint32_t threshold) LUMOX_NOEXCEPT;
/* Hole filling: a value that is 0 or 32768 and above as a signed 16-bit number (which includes the
 * codes 65300, 65400, 65500) takes the largest signed value among the other window cells. */
LUMOX_API void lx_fhole_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w,
                               int32_t h) LUMOX_NOEXCEPT;
LUMOX_API void lx_fhole_u16_k5(uint16_t *dst, const uint16_t *src, int32_t w,
                               int32_t h) LUMOX_NOEXCEPT;

LUMOX_END_DECLS

#endif /* LUMOX_IMAGE_H */
