/*
 * liblumox: library start and end, cameras (list, open, reset, close), registers and parameters,
 * and frame capture.
 *
 * A device record (lumox_dev_t) is owned by the application (or is the library's default device,
 * used when lumox_dev_open gets NULL); the state behind its first field is owned by the library
 * from a successful open until lumox_dev_close.
 *
 * Every device call checks the record, its state and that the device is open; otherwise it logs
 * "[name]  Device handler Is NULL!" and fails (0, or -1 for the polling calls).
 *
 * Threads: every call and every callback runs on an application thread. The library runs one
 * event thread per open device for USB completions; frames are delivered to the application on
 * the thread that runs a polling call (lumox_cap_get_frames, lumox_cap_get_frame,
 * lumox_cap_wait, lumox_cap_snapshot). One thread at a time polls a device: while a polling call
 * runs, a polling call from another thread is refused at once (-1; 0 from lumox_cap_wait and
 * lumox_cap_snapshot) and takes no frame. Callbacks poll in turn on the polling thread (below).
 *
 * Re-entrancy: a frame-ready callback may itself poll the device it is called for. The inner
 * call publishes its own request and fills its own buffer; when it returns, the outer call's
 * request is in force again and the outer call goes on filling its buffer. The inner call hands
 * frames to the callback in a buffer of its own, so the outer frame's bytes stay valid until the
 * outer callback returns. A callback that polls in turn is called again from the inner call:
 * it must end the recursion itself.
 *
 * Frames beyond a request: frames that are ready beyond what a polling call asked for stay in
 * the frame buffer for the next call when no frame-ready callback is set; with a callback set
 * they are handed to it in the same pass, in a buffer of the library's: the caller's buffer
 * receives only the frames asked for. The callback always gets the whole frame behind its
 * pointer, also when the caller's buffer is too short for it (that buffer gets the first bytes).
 */
#ifndef LUMOX_DEVICE_H
#define LUMOX_DEVICE_H

#include <stddef.h>
#include <stdint.h>

#include "lumox/export.h"
#include "lumox/stream.h"

LUMOX_BEGIN_DECLS

#define LUMOX_VERSION "v1.43"

struct lumox_dev_state; /* library-owned, opaque */
struct lumox_drv;       /* see driver.h */

/* One camera: a device-list entry, and the handle returned by lumox_dev_open. */
typedef struct lumox_dev_t {
    struct lumox_dev_state *state; /* library-owned state; NULL while the device is not open */
    /* Transport location, copied from and to the transport's device record. */
    int32_t if_type; /* interface kind: 0 for USB */
    uint8_t bus;
    uint8_t port;
    uint8_t addr;
    uint8_t speed;
    uint8_t reserved[36];
    char product[32];       /* product string (parameter 3); not terminated when all 32 are used */
    char id2[32];           /* second identity string (parameter 2), same bound */
    uint8_t id5_data[32];   /* value of parameter 5, as many bytes as the camera reported */
    uint8_t id6_data[8];    /* value of parameter 6, at most 8 bytes */
    const char *calib_path; /* the library's path prefix, set at open */
    uint8_t location_valid; /* 1: bus and port name one camera; 0: open the first camera found */
    uint8_t release; /* non-zero: close and a failed open free() the record (malloc'd records) */
    uint8_t busy;    /* 1 while a library call works on this device */
} lumox_dev_t;

/* ---- Library and device lifecycle ------------------------------------------------------------ */

/* Starts logging (to log_name, or "lumox_YYYYMMDD.log" when NULL), the transport and the
 * library-wide colour map. */
LUMOX_API void lumox_init(const char *log_name) LUMOX_NOEXCEPT;
LUMOX_API void lumox_uninit(void) LUMOX_NOEXCEPT;

/* Fills up to count records (zeroed first) with the cameras found; returns how many. */
LUMOX_API int32_t lumox_dev_list(lumox_dev_t *list, int32_t count) LUMOX_NOEXCEPT;

/* Opens the camera the record names (or the first camera, for NULL: the default device). Returns
 * the record, or NULL on failure (then the record's state is NULL). */
LUMOX_API lumox_dev_t *lumox_dev_open(lumox_dev_t *dev) LUMOX_NOEXCEPT;

/* Not available on this platform: logs and returns NULL. */
LUMOX_API lumox_dev_t *lumox_dev_open_by_fd(int fd) LUMOX_NOEXCEPT;

/* ---- Identity: cameras by serial ---------------------------------------------------------------
 * A camera's serial is its second identity string (parameter 2, id2 of an open record): it stays
 * with the camera when its cable moves to another port, where bus, port and address change. */

/* Longest serial a camera reports (one parameter value), without the terminating zero. */
#define LUMOX_SERIAL_MAX LUMOX_PARAM_VAL_MAX

/* Reads the serial of a camera from lumox_dev_list through a short session of its own at the
 * transport level (no driver starts, no calibration is fetched; the record is not opened).
 * Writes it, terminated, into serial (len bytes, at least LUMOX_SERIAL_MAX + 1 to hold any) and
 * returns its length; -1 when the camera cannot be read (gone, no permission, or in use: a
 * camera that this or another process has open is not disturbed), or for bad arguments. */
LUMOX_API int32_t lumox_dev_read_serial(const lumox_dev_t *listed, char *serial,
                                        uint32_t len) LUMOX_NOEXCEPT;

/* Finds the camera whose serial is serial among the cameras attached (reading each as
 * lumox_dev_read_serial does) and writes its location into *dev, location_valid 1: the
 * lumox_dev_open of that record opens that camera. Only the location fields change. Returns 1,
 * or 0 when no camera that can be read reports that serial (also for a record that is open). */
LUMOX_API uint8_t lumox_dev_find_serial(lumox_dev_t *dev, const char *serial) LUMOX_NOEXCEPT;

/* lumox_dev_find_serial, then lumox_dev_open of the record. The open checks the serial the
 * camera reports again (another camera may have taken the location in between) and closes a
 * camera that reports another one. Returns the open record, or NULL with the state NULL (a
 * record with release set is then freed, as a failed lumox_dev_open frees it). */
LUMOX_API lumox_dev_t *lumox_dev_open_serial(lumox_dev_t *dev, const char *serial) LUMOX_NOEXCEPT;

/* Stops a running capture, closes the camera and releases the state. Called from a frame-ready or
 * error callback, the close is deferred: the capture stops, the camera closes and every later
 * call sees a closed device at once, but the state (and a record with release set) is released
 * only when the polling call that runs the callback returns; no further frame or error reaches a
 * callback. */
LUMOX_API void lumox_dev_close(lumox_dev_t *dev) LUMOX_NOEXCEPT;

/* The driver record bound to the open device, or NULL for a device that is not open. */
LUMOX_API struct lumox_drv *lumox_dev_get_drv(lumox_dev_t *dev) LUMOX_NOEXCEPT;

/* Resets a part of the camera (target 0-8; 3 resets the USB interface and reopens). */
LUMOX_API uint8_t lumox_dev_reset(lumox_dev_t *dev, uint32_t target) LUMOX_NOEXCEPT;

/* ---- Registers and parameters ---------------------------------------------------------------- */

enum lumox_param_id {
    LUMOX_PARAM_MODE = 0,         /* u8 device mode: 0 normal, 9 data upload */
    LUMOX_PARAM_ID2 = 2,          /* text: second identity string */
    LUMOX_PARAM_PRODUCT = 3,      /* text: "<field>-<driver code>-<firmware>" */
    LUMOX_PARAM_ID5 = 5,          /* bytes */
    LUMOX_PARAM_ID6 = 6,          /* bytes */
    LUMOX_PARAM_CHIP_INFO = 7,    /* three u16: part version, chip id, wafer id */
    LUMOX_PARAM_CALIB_INFO = 8,   /* valid flag, version, file size, data size, checksum */
    LUMOX_PARAM_OP_MODE = 10,     /* u8 operating mode */
    LUMOX_PARAM_FRAME_RATE = 12,  /* u32 frames per second */
    LUMOX_PARAM_INTG_TIME = 13,   /* u16 integration time */
    LUMOX_PARAM_TEMPERATURE = 15, /* array of s16 readings, length / 2 of them */
    LUMOX_PARAM_ID17 = 17         /* byte 0: setting is 0; bytes 1-2: u16 setting */
};

#define LUMOX_PARAM_VAL_MAX 18

/* One parameter; arrays of them have a 24-byte stride. On the wire a parameter is 20 bytes: the
 * identifier's low byte, the length byte and the 18 value bytes. */
typedef struct lumox_param_item {
    uint32_t param_id;
    uint8_t param_val_len;                  /* set by the caller on set, by the camera on get */
    uint8_t param_val[LUMOX_PARAM_VAL_MAX]; /* little-endian value */
} lumox_param_item;

/* Name of a parameter identifier ("LUMOX_PARAM_FRAME_RATE"), or NULL for one not listed above. */
LUMOX_API const char *lumox_param_name(uint32_t param_id) LUMOX_NOEXCEPT;

/* Register batches: reg_cnt 32-bit words, one per register from reg_base on. Target 1 is the
 * sensor chip (8-bit registers). True on success. */
LUMOX_API uint8_t lumox_reg_batch_write(lumox_dev_t *dev, uint8_t target, uint32_t reg_base,
                                        const uint32_t *val_buf, uint16_t reg_cnt) LUMOX_NOEXCEPT;
LUMOX_API uint8_t lumox_reg_batch_read(lumox_dev_t *dev, uint8_t target, uint32_t reg_base,
                                       uint32_t *val_buf, uint16_t reg_cnt) LUMOX_NOEXCEPT;

/* Parameter batches. A get fills param_val_len and param_val of each item (param_id unchanged);
 * on failure the items are left as they were. True on success. */
LUMOX_API uint8_t lumox_param_batch_set(lumox_dev_t *dev, const lumox_param_item *items,
                                        uint32_t count) LUMOX_NOEXCEPT;
LUMOX_API uint8_t lumox_param_batch_get(lumox_dev_t *dev, lumox_param_item *items,
                                        uint32_t count) LUMOX_NOEXCEPT;

/* ---- Capture --------------------------------------------------------------------------------- */

/* Description of one captured frame (20 bytes). */
typedef struct lumox_frame_info {
    uint32_t frame_size;   /* bytes */
    uint16_t frame_format; /* 2: four-DCS raw frame, 171: calibration data */
    uint16_t frame_idx;
    uint32_t width;      /* pixels */
    uint32_t height;     /* pixels */
    uint8_t pixel_bytes; /* frame_size / width / height */
    uint8_t reserved0;
    uint16_t reserved1;
} lumox_frame_info;

/* What the frame-ready callback gets: the frame's description and its bytes (valid only during
 * the callback). */
typedef struct lumox_frame {
    lumox_frame_info info;
    uint8_t *data;
} lumox_frame;

/* Capture errors (lumox_error_name gives their names). */
enum lumox_cap_error {
    LUMOX_ERR_CAP_OK = 0,
    LUMOX_ERR_CAP_FRAME_DISCARD = 3, /* argument: frames discarded so far */
    LUMOX_ERR_CAP_TIMEOUT = -5,      /* more than 32 transfer time-outs */
    LUMOX_ERR_CAP_STALL = -7,        /* more than 16 stalls in a row */
    LUMOX_ERR_CAP_ERROR = -8,
    LUMOX_ERR_CAP_UNKNOWN = -10
};

/* Polling results besides frame counts and capture errors. */
#define LUMOX_CAP_BAD_CALL (-1)
#define LUMOX_CAP_NOT_CAPTURING (-2)

/* Bytes of one 320 x 240 frame with 4 bytes per pixel: the unit of the frame buffer size. */
#define LUMOX_FRAME_BUF_UNIT 307200u

/* Called on the polling thread for every frame delivered. */
typedef void (*lumox_cap_frdy_cb)(lumox_dev_t *dev, lumox_frame *frame);
/* Called on the polling thread with a pending capture error; return 0 to stop the capture. */
typedef uint8_t (*lumox_cap_err_cb)(lumox_dev_t *dev, int32_t error, uint32_t arg);

/* Sets the number of frames kept (size / 307200); buf is not used. Refused while capturing. */
LUMOX_API uint8_t lumox_cap_set_frame_buffer(lumox_dev_t *dev, void *buf,
                                             uint32_t size) LUMOX_NOEXCEPT;
/* *buf = NULL, *size = frames kept x 307200. */
LUMOX_API uint8_t lumox_cap_get_frame_buffer(lumox_dev_t *dev, void **buf,
                                             uint32_t *size) LUMOX_NOEXCEPT;
LUMOX_API void lumox_cap_set_callback_on_frame_ready(lumox_dev_t *dev,
                                                     lumox_cap_frdy_cb cb) LUMOX_NOEXCEPT;
LUMOX_API void lumox_cap_set_callback_on_error(lumox_dev_t *dev,
                                               lumox_cap_err_cb cb) LUMOX_NOEXCEPT;

/* True from a successful start until lumox_cap_stop (also after the capture stopped itself). */
LUMOX_API uint8_t lumox_cap_is_ongoing(lumox_dev_t *dev) LUMOX_NOEXCEPT;
LUMOX_API uint8_t lumox_cap_start(lumox_dev_t *dev) LUMOX_NOEXCEPT;
LUMOX_API uint8_t lumox_cap_stop(lumox_dev_t *dev) LUMOX_NOEXCEPT;

/* Waits for n frames and copies them side by side into buf (a frame that does not fit is cut);
 * info receives the first frame's description. Returns the frames delivered, -1 for a bad call,
 * -2 when not capturing, or a negative capture error. */
LUMOX_API int32_t lumox_cap_get_frames(lumox_dev_t *dev, uint32_t n, void *buf, uint32_t len,
                                       lumox_frame_info *info) LUMOX_NOEXCEPT;
/* As lumox_cap_get_frames for one frame, without waiting. */
LUMOX_API int32_t lumox_cap_get_frame(lumox_dev_t *dev, void *buf, uint32_t len,
                                      lumox_frame_info *info) LUMOX_NOEXCEPT;
/* One frame, starting and stopping the capture around it when it is not running. */
LUMOX_API uint8_t lumox_cap_snapshot(lumox_dev_t *dev, void *buf, uint32_t len,
                                     lumox_frame_info *info) LUMOX_NOEXCEPT;
/* Delivers frames to the frame-ready callback until the capture ends (true) or timeout_ms passes
 * (false; 0 waits without limit). */
LUMOX_API uint8_t lumox_cap_wait(lumox_dev_t *dev, uint32_t timeout_ms) LUMOX_NOEXCEPT;

/* Counters of the frame stream since the capture started. */
typedef struct lumox_cap_stats {
    uint32_t frames_received;   /* frames filled completely */
    uint32_t frames_queued;     /* frames that became ready */
    uint32_t frames_discarded;  /* frames thrown away: incomplete (order, checksum, lost headers)
                                 * or not describable by the driver (size not a whole number of
                                 * pixels) */
    uint32_t frames_overflowed; /* ready frames dropped because the frame buffer was full */
    uint32_t frames_ready;      /* frames ready now */
    uint32_t bytes_dropped;     /* bytes skipped or thrown away with those frames */
} lumox_cap_stats;

LUMOX_API uint8_t lumox_cap_get_stats(lumox_dev_t *dev, lumox_cap_stats *stats) LUMOX_NOEXCEPT;

/* Raw information (with the temperatures of its header) of the frame last delivered by a polling
 * call or lumox_cap_wait on this device; zero before the first. */
LUMOX_API uint8_t lumox_cap_get_raw_info(lumox_dev_t *dev, lx_raw_frame_info *raw) LUMOX_NOEXCEPT;

/* "OK", "LUMOX_ERR_CAP_FRAME_DISCARD", "LUMOX_ERR_CAP_TIMEOUT", ..., or "**UNKNOWN**". */
LUMOX_API const char *lumox_error_name(int32_t code) LUMOX_NOEXCEPT;

LUMOX_END_DECLS

#endif /* LUMOX_DEVICE_H */
