/*
 * liblumox: exported parts of the epc-family sensor driver.
 *
 * Raw frames of format 2 hold four planes of width x height little-endian 16-bit samples (DCS0 to
 * DCS3, only the low 12 bits measure); rows are in the sensor's centre-out read-out order. A full
 * modulation period is 30000 angle units. Distances are unsigned 16-bit millimetres; 65500 marks a
 * pixel with a saturated (4095) or empty (0) sample.
 *
 * The driver keeps process-wide state (lens record, extension-module flag) and serves one EPC
 * camera at a time. The calls are not thread-safe against the driver's own open and close.
 */
#ifndef LUMOX_EPC_H
#define LUMOX_EPC_H

#include <stdint.h>

#include "lumox/driver.h"
#include "lumox/export.h"
#include "lumox/image.h"

LUMOX_BEGIN_DECLS

/* Lens parameters scaled to a width x height frame: the lens image size must be an integer
 * multiple of the frame size. Returns 1, or 0 (lens left untouched) when it is not. */
LUMOX_API uint8_t epc_lens_param_get(lumox_drv *drv, lx_lens_param *lens, uint32_t width,
                                     uint32_t height) LUMOX_NOEXCEPT;

/* Extension-module flag: chooses the calibration file name set; the driver sets it at open from
 * the firmware designation of the product string ("2.0..." sets it). Both return the flag. */
LUMOX_API int epcSetExtModEnable(int flag) LUMOX_NOEXCEPT;
LUMOX_API int epcgetExtModEnable(void) LUMOX_NOEXCEPT;

/* 0 when the distance-image calibration file of the bound chip (path prefix + its name) can be
 * opened, -1 otherwise. */
LUMOX_API int calibrationDataFileCheck(int unused) LUMOX_NOEXCEPT;

/* Validity of the last frame of the device bound to the evaluation kit (g_lx_dev): set by every
 * frame description, cleared by a failed decode. Without a bound EPC device the setter does
 * nothing and the getter returns 1. */
LUMOX_API void epc_adapater_set_frame_valid(uint8_t valid) LUMOX_NOEXCEPT;
LUMOX_API uint8_t epc_adapater_get_frame_valid(void) LUMOX_NOEXCEPT;

/* Per-pixel decode of a format-2 raw frame (raw: 8 x width x height bytes) into width x height
 * values in raw row order. dcs must be 4 and width x height a multiple of 4; the result is 1, or 0
 * (nothing written) otherwise. drv must be an EPC driver record bound by its init. */

/* Distances with the simple formula (scale, offset, temperature drift) and amplitudes; invalid
 * pixels get 65500 in both. */
LUMOX_API int32_t calc_dist_calib_simple(lumox_drv *drv, uint16_t *dist, uint16_t *amp,
                                         const uint8_t *raw, uint32_t width, uint32_t height,
                                         uint32_t dcs) LUMOX_NOEXCEPT;
/* Distances from the per-pixel DRNU table with temperature compensation, and amplitudes; invalid
 * pixels get distance 65500 and amplitude 0. Also 0 when the table or the range is unusable. */
LUMOX_API int32_t calc_dist_calib_drnu(lumox_drv *drv, uint16_t *dist, uint16_t *amp,
                                       const uint8_t *raw, uint32_t width, uint32_t height,
                                       uint32_t dcs) LUMOX_NOEXCEPT;
/* As calc_dist_calib_simple without the temperature term, with the given scale (per mille) and
 * offset (millimetres). */
LUMOX_API int32_t calc_dist_calib_none(lumox_drv *drv, uint16_t *dist, uint16_t *amp,
                                       const uint8_t *raw, uint32_t width, uint32_t height,
                                       uint32_t dcs, int32_t scale, int32_t offset) LUMOX_NOEXCEPT;
/* Amplitudes; invalid pixels get 0. */
LUMOX_API int32_t calc_gray(lumox_drv *drv, uint16_t *gray, const uint8_t *raw, uint32_t width,
                            uint32_t height, uint32_t dcs) LUMOX_NOEXCEPT;

/* Row order of one plane of width x height values: calc_dcs_sort turns read-out order into image
 * order (read-out rows 0, 1, 2, 3, ... are image rows h/2 - 1, h/2, h/2 - 2, h/2 + 1, ...; for an
 * odd height the last read-out row stays last); calc_dcs_unsort is its inverse. dst and src must
 * not overlap. */
LUMOX_API void calc_dcs_sort(uint16_t *dst, const uint16_t *src, int32_t width,
                             int32_t height) LUMOX_NOEXCEPT;
LUMOX_API void calc_dcs_unsort(uint16_t *dst, const uint16_t *src, int32_t width,
                               int32_t height) LUMOX_NOEXCEPT;

LUMOX_END_DECLS

#endif /* LUMOX_EPC_H */
