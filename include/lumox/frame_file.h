/*
 * liblumox: distance and gray frame files.
 *
 * A frame file is one ASCII header line followed by raw frames, row-major, native byte order:
 *     "LX_DIST,F32,<w>,<h>\n"  float metres         "LX_GRAY,U8,<w>,<h>\n"   8-bit gray
 *     "LX_DIST,U32,<w>,<h>\n"  uint32 millimetres   "LX_GRAY,U16,<w>,<h>\n"  16-bit gray
 *     "LX_DIST,U16,<w>,<h>\n"  uint16 millimetres
 * The caller opens, positions and closes the file descriptor. A save writes the header only when
 * the descriptor is at position 0, so repeated saves append frames; a load reads the header when
 * at position 0 and one frame per call after it. The last parsed distance header and the last
 * parsed gray header are remembered library-wide (not per descriptor).
 */
#ifndef LUMOX_FRAME_FILE_H
#define LUMOX_FRAME_FILE_H

#include <stdint.h>

#include "lumox/export.h"

LUMOX_BEGIN_DECLS

/* Sample formats of a saved frame. */
enum lumox_save_fmt {
    SAVE_FMT_F32 = 0, /* distance only: float metres */
    SAVE_FMT_U32 = 1, /* distance only: uint32 millimetres */
    SAVE_FMT_U16 = 2, /* distance (millimetres) or gray */
    SAVE_FMT_U8 = 3   /* gray only */
};

/* Writes the whole frames contained in src (src_len values, frames of w x h metres), preceded by
 * a header when fd is at position 0. Returns 1 on success, 0 on failure. */
LUMOX_API int lumox_frame_save_distance(int fd, int format, const float *src, int src_len, int w,
                                        int h) LUMOX_NOEXCEPT;

/* Writes one gray frame (at most w x h values of src), preceded by a header at position 0.
 * Returns 1 on success, 0 on failure. */
LUMOX_API int lumox_frame_save_gray(int fd, int format, const float *src, int src_len, int w,
                                    int h) LUMOX_NOEXCEPT;

/* Reads the header (at position 0) and then one frame into dst as metres. Returns the number of
 * values stored (at most dst_len), 0 on failure or at the end of the file. out_w and out_h, when
 * not NULL, receive the frame size. */
LUMOX_API int lumox_frame_load_distance(int fd, float *dst, int dst_len, int *out_w,
                                        int *out_h) LUMOX_NOEXCEPT;

/* As lumox_frame_load_distance for gray files; values are stored unchanged as floats. */
LUMOX_API int lumox_frame_load_gray(int fd, float *dst, int dst_len, int *out_w,
                                    int *out_h) LUMOX_NOEXCEPT;

LUMOX_END_DECLS

#endif /* LUMOX_FRAME_FILE_H */
