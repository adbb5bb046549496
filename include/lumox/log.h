/*
 * liblumox: logging, wall clock and the calibration path prefix.
 *
 * Every record is written to up to two outputs, standard output (index 0) and the log file
 * (index 1), each with its own threshold: a record goes to an output when its level is at or above
 * that output's threshold. Levels: 0 "TRC", 1 "DBG", 2 "INF", 3 "WRN", 4 "ERR"; a threshold of
 * 5 silences an output. A record reads
 *     2026/12/08 17:59:56.123[4242][INF] [function] message
 * i.e. local date, time to the millisecond, thread id, tag, then the message.
 */
#ifndef LUMOX_LOG_H
#define LUMOX_LOG_H

#include <stdint.h>

#include "lumox/export.h"

LUMOX_BEGIN_DECLS

enum lx_log_level {
    LX_LOG_TRC = 0,
    LX_LOG_DBG = 1,
    LX_LOG_INF = 2,
    LX_LOG_WRN = 3,
    LX_LOG_ERR = 4,
    LX_LOG_OFF = 5
};

enum lx_log_output { LX_LOG_OUT_CONSOLE = 0, LX_LOG_OUT_FILE = 1, LX_LOG_OUT_RESERVED = 2 };

/* Wall-clock time: seconds since the epoch and microseconds (always a multiple of 1000). */
typedef struct lx_timeval {
    int32_t tv_sec;
    int32_t tv_usec;
} lx_timeval;

/* Writes one stamped record "stamp[tag] message" to every output whose threshold level reaches.
 * By convention fmt starts with "[%s] " and the first argument is the caller's name. */
LUMOX_API void lx_log(uint32_t level, const char *tag, const char *fmt, ...) LUMOX_NOEXCEPT
    LUMOX_PRINTF(3, 4);

/* As lx_log, but writes the formatted text alone: no stamp, no tag. */
LUMOX_API void lx_log_raw(uint32_t level, const char *fmt, ...) LUMOX_NOEXCEPT LUMOX_PRINTF(2, 3);

/* Sets the threshold of output index (0 console, 1 file, 2 reserved). For the file output, path
 * names the log file to append to; NULL keeps an open file or opens "lx.log". Returns 1 on
 * success, 0 for a bad index or a file that cannot be opened (the threshold is stored anyway). */
LUMOX_API int lx_log_enable(uint32_t index, uint32_t level, const char *path) LUMOX_NOEXCEPT;

/* Why the log file named last (by lumox_init or lx_log_enable) lost records: the errno of the
 * first failure to open or write it (EISDIR for a directory, ENOSPC on a full disk), 0 while every
 * record reached it. */
LUMOX_API int lumox_log_file_error(void) LUMOX_NOEXCEPT;

/* Silences every output and closes the log file. */
LUMOX_API void lx_log_disable(void) LUMOX_NOEXCEPT;

/* Why the calling thread's last failing call failed: the message of the last error record
 * ("[function] message", without stamp, tag or line end) that the library wrote on this thread
 * since lumox_clear_last_error, else of its last warning record, else "". Records on other threads
 * (the event thread's) are not seen. Kept whatever the outputs' thresholds, so it is there with
 * logging off; messages are cut at 511 bytes. The text belongs to the thread and stays valid until
 * the thread's next library call. */
LUMOX_API const char *lumox_last_error(void) LUMOX_NOEXCEPT;

/* Forgets the calling thread's last error and warning messages; call it before a call whose
 * failure is to be explained. */
LUMOX_API void lumox_clear_last_error(void) LUMOX_NOEXCEPT;

/* Fills tv with the local wall-clock time at millisecond resolution; tz is ignored. Returns 0. */
LUMOX_API int lx_gettimeofday(lx_timeval *tv, void *tz) LUMOX_NOEXCEPT;

/* Sets the console and file thresholds and the transport's (libusb's) debug level. */
LUMOX_API void lumox_log_cfg(uint32_t console_level, uint32_t file_level,
                             uint32_t usb_level) LUMOX_NOEXCEPT;

/* Sets the path prefix under which calibration files live and creates the directories it names;
 * '/' and '\' both separate. Returns 0 when the directory exists or was created, -1 when it could
 * not be created (the prefix is stored all the same). A prefix longer than 255 characters is
 * refused (-1, the prefix in force stays). */
LUMOX_API int lumox_path_cfg(const char *path) LUMOX_NOEXCEPT;

/* The current path prefix; owned by the library. */
LUMOX_API const char *lumox_path_get(void) LUMOX_NOEXCEPT;

LUMOX_END_DECLS

#endif /* LUMOX_LOG_H */
