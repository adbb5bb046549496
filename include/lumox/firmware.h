/*
 * liblumox: firmware and data images in the camera's flash.
 *
 * An image file is sent to the camera byte for byte (firmware upgrade, data download) or read out
 * of it into a file (data upload) through a small protocol of numbered actions: commands of type
 * 0xCC on the command channel whose value is the action, each followed by the camera's status.
 * The image type and version are the caller's, not read from the file. Every chunk of a write
 * carries a CRC-16/XMODEM of its bytes.
 *
 * Results: 1 for success, -1 for failure (see each function). A write blocks its caller for the
 * whole transfer and, after success, 20 s (types 0 and 1, which reset the camera) or 7 s (types 2
 * and 3) while the camera stores the image.
 */
#ifndef LUMOX_FIRMWARE_H
#define LUMOX_FIRMWARE_H

#include <stdint.h>

#include "lumox/device.h"
#include "lumox/export.h"
#include "lumox/transport.h"

LUMOX_BEGIN_DECLS

#define AL_DATA_CMD_TYPE 0xCC
#define AL_ACTION_DATA_INFO 0x00 /* stored image's type, version, size, address */
#define AL_ACTION_BEGIN 0x01     /* transfer begin: type, version, size */
#define AL_ACTION_ACK 0x04       /* acknowledge read, 13 bytes */
#define AL_ACTION_ACK_SHORT 0x05 /* acknowledge read, 9-byte form */
#define AL_ACTION_CHUNK 0x06     /* one chunk of image bytes */
#define AL_ACTION_ERASE 0x07     /* erase and prepare */
#define AL_ACTION_PAYLOAD 0x11   /* read the next bytes of the stored image */

#define AL_DATA_CHUNK_SIZE 1018      /* image bytes per chunk */
#define AL_DATA_PAYLOAD_MAX 450      /* image bytes per payload read */
#define AL_DATA_NO_IMAGE 0xFFFFFFFFu /* data information size when no valid image is stored */

#define AL_ACK_STATUS_READY 1    /* ready for data */
#define AL_ACK_STATUS_ACCEPTED 3 /* transfer information accepted */
#define AL_ACK_STATUS_BUSY 4     /* still erasing */

#if defined(__GNUC__)
#define LUMOX_PACKED __attribute__((packed))
#else
#define LUMOX_PACKED
#endif

/* Data information, action 0: the request names the type, the reply describes the stored image. */
typedef struct LUMOX_PACKED al_data_info {
    uint8_t type;
    uint8_t reserved0;
    uint16_t version;
    uint32_t size; /* AL_DATA_NO_IMAGE when the camera holds no valid image */
    uint32_t addr; /* flash address, for information */
    uint32_t reserved1;
} al_data_info;

/* Transfer begin, action 1. */
typedef struct LUMOX_PACKED al_action_info {
    uint8_t type;
    uint8_t reserved0;
    uint16_t version;
    uint32_t size;
    uint32_t reserved1;
} al_action_info;

/* Erase and prepare, action 7. */
typedef struct LUMOX_PACKED al_erase_info {
    uint8_t type;
    uint32_t size;
    uint32_t chunk_size; /* AL_DATA_CHUNK_SIZE */
    uint32_t reserved;
} al_erase_info;

/* Acknowledge, action 4 (13 bytes; action 5 uses the first 9). */
typedef struct LUMOX_PACKED al_ack_info {
    uint32_t next; /* index of the chunk the camera expects next */
    uint8_t status;
    uint8_t reserved[8];
} al_ack_info;

/* Chunk header, action 6; the chunk's bytes follow it in the same write. */
typedef struct LUMOX_PACKED al_chunk_hdr {
    uint16_t crc; /* CRC-16/XMODEM of the chunk's bytes */
    uint32_t len;
} al_chunk_hdr;

/* Payload request, action 0x11. */
typedef struct LUMOX_PACKED al_payload_req {
    uint32_t reserved0;
    uint32_t len; /* bytes wanted, at most AL_DATA_PAYLOAD_MAX */
    uint32_t reserved1;
} al_payload_req;

/* Progress of a long transfer: image bytes done so far and the image's total size. Called on the
 * calling thread of the transfer: once with 0 before the first chunk of a write, then after every
 * acknowledged chunk (write) or stored piece (read). */
typedef void (*lumox_progress_fn)(uint64_t done, uint64_t total, void *user);

/* Front ends on an open device. -1 for a bad handle. */
LUMOX_API int32_t lumox_firmware_upgrade(lumox_dev_t *dev, uint8_t type, uint16_t version,
                                         const char *file_name) LUMOX_NOEXCEPT;
LUMOX_API int32_t lumox_data_download(lumox_dev_t *dev, const char *file_name, uint8_t type,
                                      uint16_t version, uint32_t addr) LUMOX_NOEXCEPT;
/* Reads the stored image of the type into path ("calib.bin" when NULL). */
LUMOX_API int32_t lumox_data_upload(lumox_dev_t *dev, uint8_t type,
                                    const char *path) LUMOX_NOEXCEPT;
/* lumox_data_download and lumox_data_upload reporting their progress (progress may be NULL). */
LUMOX_API int32_t lumox_data_download_progress(lumox_dev_t *dev, const char *file_name,
                                               uint8_t type, uint16_t version, uint32_t addr,
                                               lumox_progress_fn progress,
                                               void *user) LUMOX_NOEXCEPT;
LUMOX_API int32_t lumox_data_upload_progress(lumox_dev_t *dev, uint8_t type, const char *path,
                                             lumox_progress_fn progress, void *user) LUMOX_NOEXCEPT;

/* Writes an image file into the camera when its version is newer than the stored one. The
 * address is not used. 1 for success, -1 for failure. */
LUMOX_API int32_t lumox_bin_data_write(lumox_ll_dev *dev, uint8_t type, uint16_t version,
                                       uint32_t addr, const char *file_name) LUMOX_NOEXCEPT;
/* Reads the stored image of the type into a file. 1 for success, -1 for failure (no partial file
 * is left behind). */
LUMOX_API int32_t lumox_bin_data_read(lumox_ll_dev *dev, uint8_t type,
                                      const char *path) LUMOX_NOEXCEPT;
/* lumox_bin_data_write and lumox_bin_data_read reporting their progress (progress may be NULL). */
LUMOX_API int32_t lumox_bin_data_write_progress(lumox_ll_dev *dev, uint8_t type, uint16_t version,
                                                uint32_t addr, const char *file_name,
                                                lumox_progress_fn progress,
                                                void *user) LUMOX_NOEXCEPT;
LUMOX_API int32_t lumox_bin_data_read_progress(lumox_ll_dev *dev, uint8_t type, const char *path,
                                               lumox_progress_fn progress,
                                               void *user) LUMOX_NOEXCEPT;
/* lumox_bin_data_write with address 0. */
LUMOX_API int32_t lumox_ll_firmware_upgrade(lumox_ll_dev *dev, uint32_t type, uint16_t version,
                                            const char *file_name) LUMOX_NOEXCEPT;

/* Sends action 1 (info: al_action_info), 6 (info: al_chunk_hdr, chunk: its bytes) or 7 (info:
 * al_erase_info) and checks the status. 1 on success, -1 otherwise. */
LUMOX_API int32_t al_data_send_action_info(lumox_ll_dev *dev, uint8_t action, void *info,
                                           const uint8_t *chunk) LUMOX_NOEXCEPT;
/* Reads the acknowledge of action 4 (13 bytes) or 5 (9 bytes) into info. 1 on success, 0 when the
 * write phase fails, -1 when the read phase fails; 1 without any exchange for another action. */
LUMOX_API int32_t al_data_read_action_info(lumox_ll_dev *dev, uint8_t action,
                                           void *info) LUMOX_NOEXCEPT;
/* Data information exchange: writes size bytes of info, reads size bytes back into it. */
LUMOX_API uint8_t al_get_data_info(lumox_ll_dev *dev, uint8_t action, void *info,
                                   uint32_t size) LUMOX_NOEXCEPT;
/* Reads the next len (at most AL_DATA_PAYLOAD_MAX) bytes of the stored image. */
LUMOX_API uint8_t al_get_data_payload(lumox_ll_dev *dev, uint8_t *buf, uint32_t len) LUMOX_NOEXCEPT;
/* CRC-16/XMODEM of len bytes (0 for none). */
LUMOX_API uint16_t al_data_calc_crc(const uint8_t *data, uint16_t len) LUMOX_NOEXCEPT;
/* Checks that a file can be read whole; stores its size. 1 on success, -1 otherwise. */
LUMOX_API int32_t al_data_build_file_buffer(const char *path, uint32_t *size) LUMOX_NOEXCEPT;

LUMOX_END_DECLS

#endif /* LUMOX_FIRMWARE_H */
