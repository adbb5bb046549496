// Firmware and data images: writing an image file into the camera's flash in CRC-checked chunks,
// and reading a stored image back into a file, over the 0xCC action protocol.

#include "lumox/firmware.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "api/device_state.h"
#include "lumox/log.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "testing/hooks.h"

static_assert(sizeof(al_data_info) == 16);
static_assert(sizeof(al_action_info) == 12);
static_assert(sizeof(al_erase_info) == 13);
static_assert(sizeof(al_ack_info) == 13);
static_assert(sizeof(al_chunk_hdr) == 6);
static_assert(sizeof(al_payload_req) == 12);
static_assert(offsetof(al_data_info, size) == 4 && offsetof(al_data_info, addr) == 8);
static_assert(offsetof(al_erase_info, chunk_size) == 5);
static_assert(offsetof(al_ack_info, status) == 4);

namespace lumox::api {
namespace {

constexpr uint8_t kDirWrite = 1;
constexpr uint8_t kDirRead = 0;
constexpr uint32_t kShortTimeoutMs = 1000;
constexpr uint32_t kAckTimeoutMs = 5000;
constexpr uint32_t kLongTimeoutMs = 10000;
constexpr size_t kAckShortSize = 9;

DataTransferTiming g_timing;

// One command of the action protocol followed by its status check.
bool exchange(lumox_ll_dev *dev, uint8_t dir, uint8_t action, void *buf, uint32_t len,
              uint32_t timeout_ms) {
    return lumox_ll_exe_cmd(dev, dir, AL_DATA_CMD_TYPE, action, buf, len, timeout_ms) &&
           lumox_ll_check_last_cmd(dev, AL_DATA_CMD_TYPE, action);
}

// Reads a whole image file. *size receives its size, or -1 when it is not a regular file. A file
// larger than the 4 GiB a transfer can describe, or one that does not fit in memory, is not read
// (an empty result); the caller's size checks then refuse it.
std::vector<uint8_t> read_whole_file(FILE *f, long *size, const char *func) {
    std::vector<uint8_t> bytes;
    const long long file_size = lumox::platform::regular_file_size(f);
    if (file_size < 0) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] not a regular file\n", func);
        *size = -1;
        return bytes;
    }
    *size = static_cast<long>(file_size);
    if (file_size == 0) return bytes;
    if (static_cast<unsigned long long>(file_size) > UINT32_MAX) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] file of %lld bytes is larger than an image can be\n", func,
               file_size);
        return bytes;
    }
    try {
        bytes.resize(static_cast<size_t>(file_size));
    } catch (const std::bad_alloc &) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] no memory for a file of %lld bytes\n", func, file_size);
        return bytes;
    }
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
    return bytes;
}

void warn_do_not_reset(const char *func) {
    lx_log(LX_LOG_WRN, "WRN", "[%s] ----------------------------------------------------------\n",
           func);
    lx_log(LX_LOG_WRN, "WRN", "[%s] !!! DO NOT RESET or POWER OFF the board until return !!!!\n",
           func);
    lx_log(LX_LOG_WRN, "WRN", "[%s] ----------------------------------------------------------\n",
           func);
}

// Sends the chunks of image one by one; true when the camera acknowledged the last one.
bool send_chunks(lumox_ll_dev *dev, const std::vector<uint8_t> &image, const char *func,
                 lumox_progress_fn progress, void *user) {
    const uint32_t count =
        static_cast<uint32_t>((image.size() + AL_DATA_CHUNK_SIZE - 1) / AL_DATA_CHUNK_SIZE);
    uint8_t chunk[AL_DATA_CHUNK_SIZE];
    uint32_t k = 0;
    for (;;) {
        const size_t offset = static_cast<size_t>(k) * AL_DATA_CHUNK_SIZE;
        const size_t len = std::min<size_t>(AL_DATA_CHUNK_SIZE, image.size() - offset);
        if (len == 0) {
            lx_log(LX_LOG_INF, "INF", "[%s] Frame Length is zero.\n", func);
            return false;
        }
        std::memcpy(chunk, image.data() + offset, len);
        al_chunk_hdr hdr{al_data_calc_crc(chunk, static_cast<uint16_t>(len)),
                         static_cast<uint32_t>(len)};
        if (al_data_send_action_info(dev, AL_ACTION_CHUNK, &hdr, chunk) != 1) {
            lx_log(LX_LOG_INF, "INF", "[%s] Data transfer failed D.\n", func);
            return false;
        }
        al_ack_info ack{};
        if (al_data_read_action_info(dev, AL_ACTION_ACK, &ack) != 1) {
            lx_log(LX_LOG_INF, "INF", "[%s] Data transfer failed C.\n", func);
            return false;
        }
        if (ack.next == k) {
            lx_log(LX_LOG_INF, "INF", "[%s] Data transfer failed A.indx%d, %d\n", func,
                   static_cast<int>(k), static_cast<int>(k));
            return false;
        }
        if (ack.next != k + 1) {
            lx_log(LX_LOG_INF, "INF", "[%s] Data transfer failed B.\n", func);
            return false;
        }
        if (progress)
            progress(std::min<uint64_t>(uint64_t{ack.next} * AL_DATA_CHUNK_SIZE, image.size()),
                     image.size(), user);
        if (ack.next == count) {
            lx_log(LX_LOG_INF, "INF", "[%s] Data transfer finished.\n", func);
            return true;
        }
        k = ack.next;
    }
}

// Begin, erase and chunk phases of a write; true when the camera took the whole image.
bool transfer_image(lumox_ll_dev *dev, uint8_t type, uint16_t version,
                    const std::vector<uint8_t> &image, const char *func, lumox_progress_fn progress,
                    void *user) {
    const auto size = static_cast<uint32_t>(image.size());
    lx_log(LX_LOG_INF, "INF", "[%s] send action info\n", func);
    al_action_info begin{type, 0, version, size, 0};
    if (al_data_send_action_info(dev, AL_ACTION_BEGIN, &begin, nullptr) != 1) return false;
    al_ack_info ack{};
    if (al_data_read_action_info(dev, AL_ACTION_ACK, &ack) == -1) return false;
    lx_log(LX_LOG_INF, "INF", "[%s] read ack: next=%d, status=%d\n", func,
           static_cast<int>(ack.next), ack.status);
    if (ack.next != 0 || ack.status != AL_ACK_STATUS_ACCEPTED) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] Wrong version(Target:%d,Now:%d)\n", func,
               static_cast<int>(ack.next), version);
        return false;
    }

    lx_log(LX_LOG_INF, "INF", "[%s] INFO ack ok\n", func);
    lx_log(LX_LOG_INF, "INF", "[%s] Wait flash erase.....\n", func);
    al_erase_info erase{type, size, AL_DATA_CHUNK_SIZE, 0};
    if (al_data_send_action_info(dev, AL_ACTION_ERASE, &erase, nullptr) != 1) return false;

    // The camera answers "busy" while it erases; ask again until it is done, but never forever.
    const int64_t deadline = platform::monotonic_ms() + g_timing.erase_limit_ms;
    do {
        if (al_data_read_action_info(dev, AL_ACTION_ACK, &ack) != 1) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] DATA ACK failed\n", func);
            return false;
        }
        if (ack.status == AL_ACK_STATUS_BUSY && platform::monotonic_ms() >= deadline) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] flash erase did not finish\n", func);
            return false;
        }
    } while (ack.status == AL_ACK_STATUS_BUSY);
    lx_log(LX_LOG_INF, "INF", "[%s] Download.....\n", func);
    if (ack.next != 0 || ack.status != AL_ACK_STATUS_READY) return false;

    if (progress) progress(0, image.size(), user);
    return send_chunks(dev, image, func, progress, user);
}

}  // namespace

DataTransferTiming set_data_transfer_timing(const DataTransferTiming &timing) {
    const DataTransferTiming previous = g_timing;
    g_timing = timing;
    return previous;
}

}  // namespace lumox::api

using lumox::api::exchange;

extern "C" {

LUMOX_API uint16_t al_data_calc_crc(const uint8_t *data, uint16_t len) noexcept {
    uint16_t crc = 0;
    if (!data) return 0;
    for (uint16_t i = 0; i < len; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

LUMOX_API int32_t al_data_send_action_info(lumox_ll_dev *dev, uint8_t action, void *info,
                                           const uint8_t *chunk) noexcept {
    if (!info) return -1;
    switch (action) {
        case AL_ACTION_BEGIN: {
            al_action_info rec;
            std::memcpy(&rec, info, sizeof rec);
            lx_log(LX_LOG_INF, "INF", "[%s] type = %hu, version = %hu, size = %d\n",
                   "al_data_send_action_info", static_cast<unsigned short>(rec.type),
                   static_cast<unsigned short>(rec.version), static_cast<int>(rec.size));
            return exchange(dev, 1, action, &rec, sizeof rec, lumox::api::kLongTimeoutMs) ? 1 : -1;
        }
        case AL_ACTION_ERASE: {
            al_erase_info rec;
            std::memcpy(&rec, info, sizeof rec);
            return exchange(dev, 1, action, &rec, sizeof rec, lumox::api::kLongTimeoutMs) ? 1 : -1;
        }
        case AL_ACTION_CHUNK: {
            al_chunk_hdr hdr;
            std::memcpy(&hdr, info, sizeof hdr);
            if (hdr.len == 0 || hdr.len > AL_DATA_CHUNK_SIZE || !chunk) return -1;
            uint8_t packet[sizeof hdr + AL_DATA_CHUNK_SIZE];
            std::memcpy(packet, &hdr, sizeof hdr);
            std::memcpy(packet + sizeof hdr, chunk, hdr.len);
            return exchange(dev, 1, action, packet, static_cast<uint32_t>(sizeof hdr + hdr.len),
                            lumox::api::kShortTimeoutMs)
                       ? 1
                       : -1;
        }
        default:
            return -1;
    }
}

LUMOX_API int32_t al_data_read_action_info(lumox_ll_dev *dev, uint8_t action, void *info) noexcept {
    if (action != AL_ACTION_ACK && action != AL_ACTION_ACK_SHORT) return 1;
    const uint32_t size = action == AL_ACTION_ACK ? sizeof(al_ack_info) : lumox::api::kAckShortSize;
    uint8_t rec[sizeof(al_ack_info)] = {};
    if (!exchange(dev, lumox::api::kDirWrite, action, rec, size, lumox::api::kAckTimeoutMs)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] Write phase failed\n", "al_data_read_action_info");
        return 0;
    }
    if (!exchange(dev, lumox::api::kDirRead, action, rec, size, lumox::api::kAckTimeoutMs)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] Read phase failed\n", "al_data_read_action_info");
        return -1;
    }
    if (info) std::memcpy(info, rec, size);
    return 1;
}

LUMOX_API uint8_t al_get_data_info(lumox_ll_dev *dev, uint8_t action, void *info,
                                   uint32_t size) noexcept {
    if (!info) return 0;
    if (!exchange(dev, lumox::api::kDirWrite, action, info, size, lumox::api::kShortTimeoutMs)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] write phase failed\n", "al_get_data_info");
        return 0;
    }
    if (!exchange(dev, lumox::api::kDirRead, action, info, size, lumox::api::kShortTimeoutMs)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] read phase failed\n", "al_get_data_info");
        return 0;
    }
    return 1;
}

LUMOX_API uint8_t al_get_data_payload(lumox_ll_dev *dev, uint8_t *buf, uint32_t len) noexcept {
    if (!buf || len == 0 || len > AL_DATA_PAYLOAD_MAX) return 0;
    al_payload_req req{0, len, 0};
    if (!exchange(dev, lumox::api::kDirWrite, AL_ACTION_PAYLOAD, &req, sizeof req,
                  lumox::api::kShortTimeoutMs)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] write phase failed\n", "al_get_data_payload");
        return 0;
    }
    if (!exchange(dev, lumox::api::kDirRead, AL_ACTION_PAYLOAD, buf, len,
                  lumox::api::kShortTimeoutMs)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] read phase failed\n", "al_get_data_payload");
        return 0;
    }
    return 1;
}

LUMOX_API int32_t lumox_bin_data_write(lumox_ll_dev *dev, uint8_t type, uint16_t version,
                                       uint32_t addr, const char *file_name) noexcept {
    return lumox_bin_data_write_progress(dev, type, version, addr, file_name, nullptr, nullptr);
}

LUMOX_API int32_t lumox_bin_data_write_progress(lumox_ll_dev *dev, uint8_t type, uint16_t version,
                                                uint32_t /*addr*/, const char *file_name,
                                                lumox_progress_fn progress, void *user) noexcept {
    static const char *const kFunc = "lumox_bin_data_write";
    lx_log(LX_LOG_INF, "INF", "[%s] name:%s, type:%hu, version:%hu\n", kFunc,
           file_name ? file_name : "(null)", static_cast<unsigned short>(type),
           static_cast<unsigned short>(version));
    lumox::platform::UniqueFile file(file_name ? lumox::platform::open_file(file_name, "rb")
                                               : nullptr);
    if (!file) {
        lx_log(LX_LOG_INF, "INF", "[%s] File open failed\n", kFunc);
        return -1;
    }
    long size = 0;
    const std::vector<uint8_t> image = lumox::api::read_whole_file(file.get(), &size, kFunc);
    lx_log(LX_LOG_INF, "INF", "[%s] File size:%d\n", kFunc, static_cast<int>(size));
    if (size <= 0 || size > static_cast<long>(UINT32_MAX)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] data upgrade failed!\n", kFunc);
        return -1;
    }
    lx_log(LX_LOG_INF, "INF", "[%s] File read ok,%d\n", kFunc, static_cast<int>(image.size()));
    if (image.size() < static_cast<size_t>(size)) {
        lx_log(LX_LOG_INF, "INF", "[%s] Firmware image file loading failed.\n", kFunc);
        return -1;
    }
    lx_log(LX_LOG_INF, "INF", "[%s] Firmware image file loaded.\n", kFunc);
    file.reset();

    // The stored version guards against writing an older image; without a reply there is no
    // guard, so a failed query ends the write.
    lx_log(LX_LOG_DBG, "DBG", "[%s] Get info\n", kFunc);
    al_data_info info{};
    const bool info_ok = al_get_data_info(dev, AL_ACTION_DATA_INFO, &info, sizeof info);
    lx_log(LX_LOG_INF, "INF", "[%s] Version:%hu,type:%hu, addr:0x%x,data size:%d\n", kFunc,
           static_cast<unsigned short>(info.version), static_cast<unsigned short>(info.type),
           static_cast<unsigned>(info.addr), static_cast<int>(info.size));
    if (!info_ok) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] data upgrade failed!\n", kFunc);
        return -1;
    }
    if (info.version >= version) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] Wrong version(Target:%d,Now:%d)\n", kFunc,
               static_cast<int>(info.version), static_cast<int>(version));
        return -1;
    }

    if (!lumox::api::transfer_image(dev, type, version, image, kFunc, progress, user)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] data upgrade failed!\n", kFunc);
        return -1;
    }

    if (type == 0 || type == 1) {
        lumox_ll_dev_reset(dev, 0);
        lx_log(LX_LOG_WRN, "WRN", "[%s]  * Wait board to reset...\n", kFunc);
        lumox::api::warn_do_not_reset(kFunc);
        lumox::platform::sleep_ms(20000);
    } else if (type == 2 || type == 3) {
        lumox::api::warn_do_not_reset(kFunc);
        lumox::platform::sleep_ms(7000);
    }
    return 1;
}

LUMOX_API int32_t lumox_bin_data_read(lumox_ll_dev *dev, uint8_t type, const char *path) noexcept {
    return lumox_bin_data_read_progress(dev, type, path, nullptr, nullptr);
}

LUMOX_API int32_t lumox_bin_data_read_progress(lumox_ll_dev *dev, uint8_t type, const char *path,
                                               lumox_progress_fn progress, void *user) noexcept {
    static const char *const kFunc = "lumox_bin_data_read";
    lx_log(LX_LOG_DBG, "DBG", "[%s] Get info\n", kFunc);
    al_data_info info{};
    info.type = type;
    const bool info_ok = al_get_data_info(dev, AL_ACTION_DATA_INFO, &info, sizeof info);
    lx_log(LX_LOG_INF, "INF", "[%s] Version:%hu,type:%hu, addr:0x%x,data size:%d\n", kFunc,
           static_cast<unsigned short>(info.version), static_cast<unsigned short>(type),
           static_cast<unsigned>(info.addr), static_cast<int>(info.size));
    if (!info_ok) return -1;
    if (info.size == AL_DATA_NO_IMAGE) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] No valid data to read, please check\n", kFunc);
        return -1;
    }
    const char *target = path ? path : "calib.bin";
    lumox::platform::UniqueFile file(lumox::platform::open_file(target, "wb+"));
    if (!file) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] File open failed\n", kFunc);
        return -1;
    }
    // A failed piece ends the read: a file with a hole in it must not pass for the image.
    uint8_t piece[AL_DATA_PAYLOAD_MAX];
    uint32_t remaining = info.size;
    while (remaining > 0) {
        const uint32_t len = std::min<uint32_t>(remaining, AL_DATA_PAYLOAD_MAX);
        if (!al_get_data_payload(dev, piece, len) ||
            std::fwrite(piece, 1, len, file.get()) != len) {
            file.reset();
            lumox::platform::remove_file(target);
            lx_log(LX_LOG_ERR, "ERR", "[%s] data upload failed!\n", kFunc);
            return -1;
        }
        remaining -= len;
        if (progress) progress(info.size - remaining, info.size, user);
    }
    if (std::fflush(file.get()) != 0) {
        file.reset();
        lumox::platform::remove_file(target);
        return -1;
    }
    return 1;
}

LUMOX_API int32_t lumox_ll_firmware_upgrade(lumox_ll_dev *dev, uint32_t type, uint16_t version,
                                            const char *file_name) noexcept {
    return lumox_bin_data_write(dev, static_cast<uint8_t>(type), version, 0, file_name);
}

LUMOX_API int32_t al_data_build_file_buffer(const char *path, uint32_t *size) noexcept {
    static const char *const kFunc = "al_data_build_file_buffer";
    lx_log(LX_LOG_INF, "INF", "[%s] Loading data image file:%s\n", kFunc, path ? path : "(null)");
    lumox::platform::UniqueFile file(path ? lumox::platform::open_file(path, "rb") : nullptr);
    if (!file) return -1;
    long file_size = 0;
    const std::vector<uint8_t> bytes = lumox::api::read_whole_file(file.get(), &file_size, kFunc);
    lx_log(LX_LOG_INF, "INF", "[%s] File size:%d\n", kFunc, static_cast<int>(file_size));
    lx_log(LX_LOG_INF, "INF", "[%s] File read ok,%d,%x\n", kFunc, static_cast<int>(bytes.size()),
           bytes.empty() ? 0u : static_cast<unsigned>(bytes[0]));
    const bool whole = file_size >= 0 && bytes.size() == static_cast<size_t>(file_size);
    if (size) *size = whole ? static_cast<uint32_t>(file_size) : 0;
    if (!whole) {
        lx_log(LX_LOG_INF, "INF", "[%s] Data image file loading failed.\n", kFunc);
        return -1;
    }
    lx_log(LX_LOG_INF, "INF", "[%s] Data image file loaded.\n", kFunc);
    return 1;
}

LUMOX_API int32_t lumox_firmware_upgrade(lumox_dev_t *dev, uint8_t type, uint16_t version,
                                         const char *file_name) noexcept {
    if (!lumox::api::is_open(dev)) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] Wrong params\n", "lumox_firmware_upgrade");
        return -1;
    }
    lumox::api::BusyMark busy(dev);
    if (!busy) return -1;  // closed meanwhile
    return lumox_bin_data_write(&dev->state->ll, type, version, 0, file_name);
}

LUMOX_API int32_t lumox_data_download(lumox_dev_t *dev, const char *file_name, uint8_t type,
                                      uint16_t version, uint32_t addr) noexcept {
    return lumox_data_download_progress(dev, file_name, type, version, addr, nullptr, nullptr);
}

LUMOX_API int32_t lumox_data_download_progress(lumox_dev_t *dev, const char *file_name,
                                               uint8_t type, uint16_t version, uint32_t addr,
                                               lumox_progress_fn progress, void *user) noexcept {
    if (!lumox::api::is_open(dev)) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] Wrong params\n", "lumox_data_download");
        return -1;
    }
    lumox::api::BusyMark busy(dev);
    if (!busy) return -1;  // closed meanwhile
    return lumox_bin_data_write_progress(&dev->state->ll, type, version, addr, file_name, progress,
                                         user);
}

LUMOX_API int32_t lumox_data_upload(lumox_dev_t *dev, uint8_t type, const char *path) noexcept {
    return lumox_data_upload_progress(dev, type, path, nullptr, nullptr);
}

LUMOX_API int32_t lumox_data_upload_progress(lumox_dev_t *dev, uint8_t type, const char *path,
                                             lumox_progress_fn progress, void *user) noexcept {
    if (!lumox::api::is_open(dev)) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] Wrong params\n", "lumox_data_upload");
        return -1;
    }
    lumox::api::BusyMark busy(dev);
    if (!busy) return -1;  // closed meanwhile
    return lumox_bin_data_read_progress(&dev->state->ll, type, path, progress, user);
}

}  // extern "C"
