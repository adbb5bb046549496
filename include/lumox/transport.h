/*
 * liblumox: the transport ("ll", low level) between the device API and the camera.
 *
 * Every exchange with a camera goes through the lumox_ll_* dispatch functions, which narrow their
 * arguments to the widths of the wire and call a slot of the device's operation table. The only
 * transport is USB, whose table is ll_op_usb.
 *
 * Threads: the table's slots are called on application threads, one command at a time per
 * device (the device layer serialises them); the capture callback runs on the device's event
 * thread. Results: a true result is a non-zero 8-bit value, false is 0.
 */
#ifndef LUMOX_TRANSPORT_H
#define LUMOX_TRANSPORT_H

#include <stdint.h>

#include "lumox/export.h"

LUMOX_BEGIN_DECLS

struct lumox_ll_op;

/* One device on its bus. Filled by the device list, completed by a successful open. */
typedef struct lumox_ll_dev {
    void *priv;           /* transport-private record of an open device; NULL when closed */
    int32_t if_type;      /* interface kind: 0 for USB */
    uint8_t bus;          /* USB bus number */
    uint8_t port;         /* port on the parent hub */
    uint8_t addr;         /* device address */
    uint8_t speed;        /* libusb speed code: 1 low, 2 full, 3 high, 4 super */
    uint8_t reserved[36]; /* zero from the list; carried unchanged */
    const struct lumox_ll_op *ops; /* ll_op_usb once listed or opened; NULL before a first open */
    uint8_t location_valid; /* 1: bus and port name one camera; 0: open the first camera found */
} lumox_ll_dev;

/* Capture callback: device, event code (below), received bytes, their count, user data. Runs on
 * the event thread; the bytes are valid only until it returns. Its result is ignored. */
typedef int (*lumox_ll_cap_cb)(lumox_ll_dev *dev, int32_t event, uint8_t *data, int32_t len,
                               void *user);

enum lumox_ll_cap_event {
    LUMOX_LL_CAP_DATA = 0,       /* a bulk transfer completed: stream bytes */
    LUMOX_LL_CAP_CANCELLED = -3, /* a bulk transfer was cancelled */
    LUMOX_LL_CAP_TIMEOUT = -5,   /* a bulk transfer timed out */
    LUMOX_LL_CAP_STALL = -7,     /* the bulk endpoint stalled */
    LUMOX_LL_CAP_ERROR = -10     /* any other transfer error */
};

/* The seventeen transport operations, in this order. */
typedef struct lumox_ll_op {
    uint8_t (*init)(void);
    void (*uninit)(void);
    void (*set_debug)(uint32_t level);
    lumox_ll_dev *(*dev_open)(lumox_ll_dev *dev);
    lumox_ll_dev *(*dev_open_by_fd)(lumox_ll_dev *dev);
    void (*dev_close)(lumox_ll_dev *dev);
    int32_t (*dev_list)(lumox_ll_dev *devs, int32_t max);
    /* dir: 1 host to device, 0 device to host. True when exactly len bytes moved. */
    uint8_t (*exe_cmd)(lumox_ll_dev *dev, uint8_t dir, uint8_t type, uint16_t value, void *buf,
                       uint32_t len, uint32_t timeout_ms);
    uint8_t (*check_last_cmd)(lumox_ll_dev *dev, uint8_t type, uint8_t value);
    void (*cap_abort)(lumox_ll_dev *dev);
    uint8_t (*cap_start)(lumox_ll_dev *dev, uint32_t arg, lumox_ll_cap_cb cb, void *user);
    uint8_t (*cap_stop)(lumox_ll_dev *dev);
    uint8_t (*dev_reset)(lumox_ll_dev *dev, uint8_t target);
    uint8_t (*reg_write)(lumox_ll_dev *dev, uint8_t target, uint32_t reg_base,
                         const uint32_t *values, uint16_t count);
    uint8_t (*reg_read)(lumox_ll_dev *dev, uint8_t target, uint32_t reg_base, uint32_t *values,
                        uint16_t count);
    /* records: count parameter records of 20 bytes each in their wire form. */
    uint8_t (*param_set)(lumox_ll_dev *dev, void *records, uint32_t count);
    uint8_t (*param_get)(lumox_ll_dev *dev, void *records, uint32_t count);
} lumox_ll_op;

/* The USB transport. */
LUMOX_API extern const lumox_ll_op ll_op_usb;

LUMOX_API uint8_t lumox_ll_init(void) LUMOX_NOEXCEPT;
LUMOX_API void lumox_ll_uninit(void) LUMOX_NOEXCEPT;
/* Sets the transport's debug level from a library log level (0 TRC .. 4 ERR, 5 off), which the
 * USB transport maps to libusb's log level for the devices it opens later. */
LUMOX_API void lumox_ll_set_debug(uint32_t level) LUMOX_NOEXCEPT;
LUMOX_API int32_t lumox_ll_dev_list(lumox_ll_dev *devs, int32_t max) LUMOX_NOEXCEPT;
LUMOX_API lumox_ll_dev *lumox_ll_dev_open(lumox_ll_dev *dev) LUMOX_NOEXCEPT;
LUMOX_API lumox_ll_dev *lumox_ll_dev_open_by_fd(lumox_ll_dev *dev) LUMOX_NOEXCEPT;
LUMOX_API void lumox_ll_dev_close(lumox_ll_dev *dev) LUMOX_NOEXCEPT;
LUMOX_API uint8_t lumox_ll_dev_reset(lumox_ll_dev *dev, uint32_t target) LUMOX_NOEXCEPT;
LUMOX_API uint8_t lumox_ll_exe_cmd(lumox_ll_dev *dev, uint32_t dir, uint32_t type, uint32_t value,
                                   void *buf, uint32_t len, uint32_t timeout_ms) LUMOX_NOEXCEPT;
LUMOX_API uint8_t lumox_ll_check_last_cmd(lumox_ll_dev *dev, uint32_t type,
                                          uint32_t value) LUMOX_NOEXCEPT;
LUMOX_API uint8_t lumox_ll_cap_start(lumox_ll_dev *dev, uint32_t arg, lumox_ll_cap_cb cb,
                                     void *user) LUMOX_NOEXCEPT;
LUMOX_API uint8_t lumox_ll_cap_stop(lumox_ll_dev *dev) LUMOX_NOEXCEPT;
LUMOX_API void lumox_ll_cap_abort(lumox_ll_dev *dev) LUMOX_NOEXCEPT;
LUMOX_API uint8_t lumox_ll_reg_write(lumox_ll_dev *dev, uint32_t target, uint32_t reg_base,
                                     const uint32_t *values, uint32_t count) LUMOX_NOEXCEPT;
LUMOX_API uint8_t lumox_ll_reg_read(lumox_ll_dev *dev, uint32_t target, uint32_t reg_base,
                                    uint32_t *values, uint32_t count) LUMOX_NOEXCEPT;
LUMOX_API uint8_t lumox_ll_param_set(lumox_ll_dev *dev, void *records,
                                     uint32_t count) LUMOX_NOEXCEPT;
LUMOX_API uint8_t lumox_ll_param_get(lumox_ll_dev *dev, void *records,
                                     uint32_t count) LUMOX_NOEXCEPT;

LUMOX_END_DECLS

#endif /* LUMOX_TRANSPORT_H */
