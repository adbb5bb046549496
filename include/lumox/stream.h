/*
 * liblumox: the camera's frame stream on the wire and the raw frame information kept with every
 * frame cut out of it.
 *
 * The camera sends its frames on the bulk endpoint as one byte stream of segments. Every segment
 * starts with a 36-byte stream header (lx_stream_hdr, little-endian) followed by hdr.len data
 * bytes; a frame may span several segments and one segment may hold several whole frames.
 * Sensor drivers read a frame's raw frame information (lx_raw_frame_info) to describe it.
 */
#ifndef LUMOX_STREAM_H
#define LUMOX_STREAM_H

#include <stdint.h>

#include "lumox/export.h"

LUMOX_BEGIN_DECLS

#define LX_STREAM_HDR_SIZE 36
#define LX_STREAM_MAGIC0 0xFB          /* first byte of every stream header */
#define LX_STREAM_MAGIC1 0x98          /* second byte */
#define LX_STREAM_MAX_LEN 0xFFFFFu     /* largest valid hdr.len */
#define LX_STREAM_MAX_FRLEN 0x7FFFFFFu /* largest valid hdr.frlen */
#define LX_STREAM_MAX_FRFMT 1023u      /* largest valid hdr.frfmt */
#define LX_STREAM_FR_START 0x01        /* fr_flags bit: this segment starts a new frame */
#define LX_STREAM_DATA_CKSUM 0x01      /* data_flags bit: data_cksum is valid and must be checked */

/* Stream header as it lies on the wire: little-endian, matching a little-endian host's layout. */
typedef struct lx_stream_hdr {
    uint8_t magic[2];    /* 0xFB, 0x98 */
    uint16_t sidx;       /* segment index: previous segment's plus one, modulo 65536 */
    uint32_t len;        /* data bytes following this header, at most 0xFFFFF */
    uint32_t frlen;      /* bytes of one frame, at most 0x7FFFFFF */
    uint16_t fridx;      /* index of the frame this segment's data begins or continues */
    uint16_t frfmt;      /* frame format code, at most 1023 */
    uint16_t width;      /* image width in pixels */
    uint16_t height;     /* image height in pixels */
    int16_t temp_sensor; /* sensor temperature, tenths of a degree */
    int16_t temp_ib;     /* second (illumination board) temperature, tenths of a degree */
    uint32_t spare;      /* carried into the raw frame information unchanged */
    uint32_t data_cksum; /* sum mod 2^32 of the data as little-endian 32-bit words */
    uint8_t fr_flags;    /* LX_STREAM_FR_START */
    uint8_t data_flags;  /* LX_STREAM_DATA_CKSUM */
    uint16_t hdr_cksum;  /* Fletcher-16 over bytes 0-33: sum1 + 256 * sum2, both mod 255 */
} lx_stream_hdr;

/* Raw frame information: five 32-bit words kept with every frame. On a little-endian host the
 * 16-bit pairs are the low and high halves of words 1 to 3. */
typedef struct lx_raw_frame_info {
    uint32_t frlen;      /* word 0: the frame's byte length */
    uint16_t fridx;      /* word 1 low: the frame's index */
    uint16_t frfmt;      /* word 1 high: frame format code */
    uint16_t width;      /* word 2 low */
    uint16_t height;     /* word 2 high */
    int16_t temp_sensor; /* word 3 low: sensor temperature, tenths of a degree */
    int16_t temp_ib;     /* word 3 high: second temperature, tenths of a degree */
    uint32_t spare;      /* word 4: the header's spare word */
} lx_raw_frame_info;

LUMOX_END_DECLS

#endif /* LUMOX_STREAM_H */
