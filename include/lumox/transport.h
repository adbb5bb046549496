/*
 * liblumox: the transport ("ll", low level) between the device API and the camera.
 *
 * Every exchange with a camera goes through the lumox_ll_* dispatch functions, which narrow their
 * arguments to the widths of the wire and call a slot of the device's operation table. The only
 * transport is USB, whose table is ll_op_usb.
 *
 * Threads: every slot but cap_abort is called on an application thread; cap_abort and the
 * capture callback run on the device's event thread. The device layer takes no lock around a
 * slot (its busy mark is a flag for lumox_dev_close, not a lock). The USB transport holds a
 * per-device command lock inside each slot that issues commands, across every command and its
 * status check, so two application threads may issue commands on one device; a caller that
 * pairs exe_cmd and check_last_cmd itself must keep other commands from falling between them.
 * Open, close and reset change the record itself and must not overlap any other slot on the
 * same device. Results: a true result is a non-zero 8-bit value, false is 0.
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
    /* lumox_ll_init (from lumox_init), application thread, before any device exists. True when
     * the transport can be used; USB keeps no global state and always succeeds. */
    uint8_t (*init)(void);
    /* lumox_ll_uninit (from lumox_uninit), application thread, after every device closed. */
    void (*uninit)(void);
    /* lumox_ll_set_debug, application thread: the library log level (0 TRC .. 5 off); USB maps
     * it to libusb's level for the devices opened afterwards. */
    void (*set_debug)(uint32_t level);
    /* lumox_ll_dev_open (lumox_dev_open, and the reopen after a USB-interface reset),
     * application thread. Opens the camera at the record's bus and port (location_valid 1) or
     * the first camera found, fills the location, claims the interface and starts the device's
     * event thread. Returns dev, or NULL (the record's private part released). A record that is
     * already open is returned as it stands. */
    lumox_ll_dev *(*dev_open)(lumox_ll_dev *dev);
    /* lumox_ll_dev_open_by_fd, application thread; the USB transport opens as dev_open does
     * (lumox_dev_open_by_fd refuses before reaching it). */
    lumox_ll_dev *(*dev_open_by_fd)(lumox_ll_dev *dev);
    /* lumox_ll_dev_close (lumox_dev_close, a USB-interface reset), application thread, never the
     * event thread (it joins it). Cancels the bulk transfers and waits, bounded, for their
     * completions, stops the event thread, releases the interface and frees the private part
     * (priv becomes NULL). A record that is not open only logs a warning. */
    void (*dev_close)(lumox_ll_dev *dev);
    /* lumox_ll_dev_list (lumox_dev_list, lumox_dev_open), application thread, with a libusb
     * context of its own and no device lock. Zeroes max records, fills one per camera found
     * (location, speed, ops) and returns how many (0 on failure or when max is not positive). */
    int32_t (*dev_list)(lumox_ll_dev *devs, int32_t max);
    /* lumox_ll_exe_cmd (firmware and data transfers, and the other slots), application thread;
     * the transfer completes on the event thread while the caller waits, under the device's
     * command lock. dir: 1 host to device, 0 device to host. True when exactly len bytes moved
     * (a short read leaves the bytes that arrived in buf); false also after the ~1 s cancel and
     * ~2 s abandon waits. Must not be called from the capture callback. */
    uint8_t (*exe_cmd)(lumox_ll_dev *dev, uint8_t dir, uint8_t type, uint16_t value, void *buf,
                       uint32_t len, uint32_t timeout_ms);
    /* lumox_ll_check_last_cmd, application thread, under the command lock: requests the
     * camera's status record, again while it reports the command busy (bounded). True when the
     * last command was (type, value) and ended without error; a failure's text is logged. */
    uint8_t (*check_last_cmd)(lumox_ll_dev *dev, uint8_t type, uint8_t value);
    /* lumox_ll_cap_abort, on the EVENT thread, from the device layer's capture callback when a
     * capture ends itself (a cancelled transfer, too many time-outs or stalls, a transfer error).
     * Marks the bulk transfers to stay idle as they complete; issues no command, takes no lock. */
    void (*cap_abort)(lumox_ll_dev *dev);
    /* lumox_ll_cap_start (lumox_cap_start), application thread. Arms the bulk reads, then sends
     * the start command with arg under the command lock; from then on cb runs on the event
     * thread once per completed or failed transfer (events below). False when the camera refuses
     * (the armed transfers are cancelled and each reports LUMOX_LL_CAP_CANCELLED once). */
    uint8_t (*cap_start)(lumox_ll_dev *dev, uint32_t arg, lumox_ll_cap_cb cb, void *user);
    /* lumox_ll_cap_stop (lumox_cap_stop, a restart, lumox_dev_close), application thread.
     * Cancels the bulk transfers (each reports LUMOX_LL_CAP_CANCELLED once) and sends the stop
     * command under the command lock. True when the camera confirmed the stop. */
    uint8_t (*cap_stop)(lumox_ll_dev *dev);
    /* lumox_ll_dev_reset (lumox_dev_reset), application thread. Target 3 (the USB interface):
     * sends the reset, closes the record and reopens it, sleeping between attempts; true when
     * reopened. Other targets: the reset command and its status under the command lock. */
    uint8_t (*dev_reset)(lumox_ll_dev *dev, uint8_t target);
    /* lumox_ll_reg_write (register calls of the device layer and the evaluation kit),
     * application thread: count 32-bit values from reg_base of target, one command, under the
     * command lock. True when the camera confirmed it. */
    uint8_t (*reg_write)(lumox_ll_dev *dev, uint8_t target, uint32_t reg_base,
                         const uint32_t *values, uint16_t count);
    /* lumox_ll_reg_read, application thread: count values in batches of 16, the command lock
     * held across the whole read. True when every batch was confirmed. */
    uint8_t (*reg_read)(lumox_ll_dev *dev, uint8_t target, uint32_t reg_base, uint32_t *values,
                        uint16_t count);
    /* lumox_ll_param_set / lumox_ll_param_get (parameter calls, lumox_dev_open's identity and
     * lumox_cap_start's frame rate), application thread, the command lock held across the
     * batch. records: count parameter records of 20 bytes each in their wire form; get sends
     * the identifiers three records at a time and reads the values back into the records. True
     * when every command was confirmed. */
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
