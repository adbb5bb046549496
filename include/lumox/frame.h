/*
 * liblumox: conversion of captured raw frames into images and point clouds, and the switches of
 * the sensor driver's per-frame processing (filters).
 *
 * Distances are metres as floats; the driver's codes for pixels without a distance arrive as
 * 65.3 (removed by a filter or below the amplitude threshold), 65.4 (saturated) and 65.5
 * (invalid). The point-cloud calls treat anything outside (0, 60) metres as no measurement.
 *
 * Threads: the calls run on the caller's thread. Conversions on one device are serialised by the
 * driver; the colour conversions share the one library-wide colour map and its range.
 */
#ifndef LUMOX_FRAME_H
#define LUMOX_FRAME_H

#include <stdint.h>

#include "lumox/device.h"
#include "lumox/export.h"

LUMOX_BEGIN_DECLS

/* Pinhole projection parameters supplied by the caller. */
typedef struct lumox_camera_view {
    float cx;         /* principal point, column */
    float cy;         /* principal point, row */
    float fx;         /* focal length in pixels, columns */
    float fy;         /* focal length in pixels, rows */
    float dist_scale; /* factor applied to every distance before projection */
} lumox_camera_view;

/* Decode a raw frame (raw_len bytes, described by info) into width x height distances in metres
 * (lumox_frame_get_distance) or amplitudes (lumox_frame_get_gray). dst holds dst_len floats, at
 * least width x height; its upper half is used as scratch. Returns the pixels decoded, 0 on
 * failure (dst then holds nothing meaningful). */
LUMOX_API int32_t lumox_frame_get_distance(lumox_dev_t *dev, float *dst, uint32_t dst_len,
                                           const uint8_t *raw, uint32_t raw_len,
                                           const lumox_frame_info *info) LUMOX_NOEXCEPT;
LUMOX_API int32_t lumox_frame_get_gray(lumox_dev_t *dev, float *dst, uint32_t dst_len,
                                       const uint8_t *raw, uint32_t raw_len,
                                       const lumox_frame_info *info) LUMOX_NOEXCEPT;

/* Both images of one raw frame: dist and gray (dst_len floats each, separate buffers, both used
 * whole as scratch) receive what lumox_frame_get_distance and lumox_frame_get_gray give for it.
 * Cameras that work out the amplitudes on the way to the distances decode the frame once, at
 * about the cost of the distances alone (the camera's per-frame features, such as automatic
 * integration time, then see the frame once). Returns the pixels decoded, 0 on failure. */
LUMOX_API int32_t lumox_frame_get_distance_gray(lumox_dev_t *dev, float *dist, float *gray,
                                                uint32_t dst_len, const uint8_t *raw,
                                                uint32_t raw_len,
                                                const lumox_frame_info *info) LUMOX_NOEXCEPT;

/* Projects a width x height distance image (dist_len floats, metres; a shorter image is refused)
 * into packed points x, y, z (metres) written to pcl (pcl_len floats). The distance is taken
 * along the pixel's ray. view NULL: the driver's lens parameters, scale 1. Returns the points
 * written; pixels without a distance leave no gap. */
LUMOX_API int32_t lumox_frame_get_pcl(lumox_dev_t *dev, float *pcl, uint32_t pcl_len,
                                      const float *dist, uint32_t dist_len, uint32_t width,
                                      uint32_t height,
                                      const lumox_camera_view *view) LUMOX_NOEXCEPT;
/* As lumox_frame_get_pcl with a fourth value per point: the scaled distance, or with pseudo_color
 * set the colour word (lx_cmap_get_color of the millimetres) as a float. */
LUMOX_API int32_t lumox_frame_get_pcl_xyzd(lumox_dev_t *dev, float *pcl, uint32_t pcl_len,
                                           const float *dist, uint32_t dist_len, uint32_t width,
                                           uint32_t height, uint8_t pseudo_color,
                                           const lumox_camera_view *view) LUMOX_NOEXCEPT;

/* ---- The camera model ------------------------------------------------------------------------
 * Axes and units of every 3D point the library returns: metres, the camera's optical frame with x
 * to the right of the image, y down the image and z forward along the optical axis. */

/* The camera model for one frame size: pinhole plus plumb_bob distortion, from the driver's lens
 * record scaled to width x height. */
typedef struct lumox_intrinsics {
    uint32_t width, height;        /* the frame size these values describe */
    uint32_t binning_x, binning_y; /* lens image columns / rows per frame column / row */
    double fx, fy, cx, cy;         /* pixels, for this frame size */
    char distortion_model[16];     /* "plumb_bob" */
    double d[5];                   /* k1, k2, p1, p2, k3 */
} lumox_intrinsics;

/* 1 and *out filled, or 0 (no device, or the size does not divide the lens image size). */
LUMOX_API uint8_t lumox_dev_get_intrinsics(lumox_dev_t *dev, uint32_t width, uint32_t height,
                                           lumox_intrinsics *out) LUMOX_NOEXCEPT;

#define LUMOX_POINTS_PACKED 0 /* only pixels with a distance, in image order */
#define LUMOX_POINTS_ORGANIZED                                        \
    1 /* one point per pixel, NaN x y z where a pixel has no distance \
       */

/* Each pixel's point on its own ray through the lens at its radial distance: x right, y down,
 * z forward, metres. A pixel has a distance when it lies in (0, 60) metres (the codes 65.3, 65.4,
 * 65.5 are none). xyz holds xyz_len floats (3 per point); dist holds dist_len floats, at least
 * width x height. Returns the points written, -1 on failure (no device, no lens for this size,
 * a buffer too short, an unknown layout). The rays are computed once per lens and size and kept
 * with the open device; a frame allocates nothing. */
LUMOX_API int32_t lumox_frame_get_points(lumox_dev_t *dev, float *xyz, uint32_t xyz_len,
                                         const float *dist, uint32_t dist_len, uint32_t width,
                                         uint32_t height, uint32_t layout) LUMOX_NOEXCEPT;

/* Output formats of lumox_cmap_float. */
enum lumox_cmap_format {
    LUMOX_CMAP_RGB24 = 0, /* 3 bytes: colour word bytes 0, 1, 2 */
    LUMOX_CMAP_RGB32 = 1, /* the 32-bit colour word, little-endian */
    LUMOX_CMAP_BGR24 = 2  /* 3 bytes: colour word bytes 2, 1, 0 */
};

/* Sets the library colour map's range to [range_min, range_max] metres (kept for later calls) and
 * writes the colour of each distance to dst (dst_len bytes). Returns the pixels written; 0 for an
 * unknown format. */
LUMOX_API int32_t lumox_cmap_float(uint8_t *dst, int32_t dst_len, const float *src, int32_t src_len,
                                   uint32_t format, float range_min,
                                   float range_max) LUMOX_NOEXCEPT;

/* Switch a processing step of the device's sensor driver (filter ids FILTER_* in image.h; arg
 * points to the step's argument of arg_size bytes, NULL for steps without one). Returns 1 on
 * success, 0 when the driver refuses, -1 without a device or a driver with such switches. */
LUMOX_API int32_t lumox_filter_enable(lumox_dev_t *dev, uint32_t filter_id, void *arg,
                                      uint32_t arg_size) LUMOX_NOEXCEPT;
LUMOX_API int32_t lumox_filter_disable(lumox_dev_t *dev, uint32_t filter_id) LUMOX_NOEXCEPT;

/* ---- The distance correction in force ----------------------------------------------------------
 * Which correction turns the camera's phases into distances. A camera that corrects every pixel in
 * its firmware never gets a host correction on top; calibration files in the calibration directory
 * are used only when they belong to the open camera. */
enum lumox_correction {
    LUMOX_CORRECTION_DEFAULT = 0,  /* the default linear calibration: nothing of this camera */
    LUMOX_CORRECTION_LINEAR = 1,   /* scale and offset fitted from this camera's calibration */
    LUMOX_CORRECTION_HOST = 2,     /* the per-pixel table, applied by the library */
    LUMOX_CORRECTION_FIRMWARE = 3, /* the camera corrects every pixel before streaming */
};

typedef struct lumox_correction_state {
    int32_t correction;     /* enum lumox_correction in force */
    uint8_t files_present;  /* calibration files are in the calibration directory */
    uint8_t files_match;    /* and they belong to the open camera */
    uint8_t camera_package; /* the camera stores a calibration package */
    uint8_t reserved;
    char reason[160]; /* one line for a user: which correction and why */
} lumox_correction_state;

/* Switches on the best correction the camera and its files allow; 1 and *state, 0 on failure. */
LUMOX_API uint8_t lumox_dev_use_best_correction(lumox_dev_t *dev,
                                                lumox_correction_state *state) LUMOX_NOEXCEPT;
/* What is in force now, without changing it. */
LUMOX_API uint8_t lumox_dev_get_correction(lumox_dev_t *dev,
                                           lumox_correction_state *state) LUMOX_NOEXCEPT;

LUMOX_END_DECLS

#endif /* LUMOX_FRAME_H */
