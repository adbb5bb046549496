/*
 * liblumox: sensor drivers.
 *
 * A driver is a static record with a table of eleven operations. lumox_dev_open picks the record
 * from the second '-'-separated field of the camera's product string ("T0", "E1", "E2", "E3");
 * from then on the device, capture and conversion code reach the sensor only through the table.
 * The records are process-wide: one device per product code is bound at a time.
 *
 * Threads and locks: the device layer calls every slot without holding a lock of its own; a
 * driver that keeps state shared between slots guards it itself (the EPC driver's decode and
 * filter settings). No slot runs on the transport's event thread.
 *
 * Results: an 8-bit result is true when non-zero.
 */
#ifndef LUMOX_DRIVER_H
#define LUMOX_DRIVER_H

#include <stdint.h>

#include "lumox/device.h"
#include "lumox/export.h"
#include "lumox/stream.h"

LUMOX_BEGIN_DECLS

struct lumox_drv_ops;
struct lx_lens_param; /* lens parameter record of the EPC driver */

typedef struct lumox_drv {
    const char *name;                /* shown in the log */
    const char *code;                /* product code that selects this record */
    const struct lumox_drv_ops *ops; /* the driver's operations */
    lumox_dev_t *dev;                /* device bound by init, or NULL */
    void *priv;                      /* driver-private context set by init, or NULL */
} lumox_drv;

/* The eleven driver operations, in this order. A NULL slot is an operation the driver lacks. */
typedef struct lumox_drv_ops {
    /* lumox_dev_open, application thread, after the identity was read: binds dev. Result not
     * checked. */
    uint8_t (*init)(lumox_drv *drv, lumox_dev_t *dev);
    /* lumox_dev_close, application thread, after capture and transport have stopped. */
    void (*uninit)(lumox_drv *drv);
    /* Capture delivery, on the application thread inside a polling call, once per frame: fills
     * info from the frame's raw information. False makes the caller zero info and still deliver
     * the frame. */
    uint8_t (*frame_get_info)(lumox_drv *drv, lumox_frame_info *info, const lx_raw_frame_info *raw);
    /* Frame conversion, application thread: decodes raw into dst (dst_size bytes); mode 1
     * distance, 2 gray. Bytes written, negative on failure. */
    int32_t (*frame_decode)(lumox_drv *drv, uint16_t *dst, uint32_t dst_size, uint32_t mode,
                            const uint8_t *raw, uint32_t raw_len, const lumox_frame_info *info);
    /* Point-cloud calls without caller lens parameters, application thread: fills lens for a
     * width x height image. False (or a NULL slot) makes the call fail. */
    uint8_t (*lens_param_get)(lumox_drv *drv, struct lx_lens_param *lens, uint32_t width,
                              uint32_t height);
    /* Not called by the library; the drivers answer 0. */
    int32_t (*reserved_5)(lumox_drv *drv);
    /* Not called by the library; the drivers return value. */
    int32_t (*reserved_6)(lumox_drv *drv, uint32_t ignored, int32_t value, int32_t mode);
    /* lumox_dev_open, right after init, with (0, 0, 2). Negative on failure (open still
     * succeeds). */
    int32_t (*calib_load)(lumox_drv *drv, uint32_t ignored, int32_t value, int32_t mode);
    /* Not called by the library; the drivers answer 1. */
    int32_t (*reserved_8)(lumox_drv *drv);
    /* lumox_filter_enable / lumox_filter_disable, application thread, possibly while another
     * thread converts frames. False for an unknown filter or a bad argument; a NULL slot makes
     * the call return the no-driver result. */
    uint8_t (*filter_enable)(lumox_drv *drv, uint32_t filter_id, void *arg, uint32_t arg_size);
    uint8_t (*filter_disable)(lumox_drv *drv, uint32_t filter_id);
} lumox_drv_ops;

LUMOX_API extern const lumox_drv_ops g_lumox_driver_op_ti;
LUMOX_API extern const lumox_drv_ops g_lumox_driver_op_epc;

/* The driver record for the device's product string, or NULL when none matches. */
LUMOX_API lumox_drv *lumox_drv_find(lumox_dev_t *dev) LUMOX_NOEXCEPT;

LUMOX_END_DECLS

#endif /* LUMOX_DRIVER_H */
