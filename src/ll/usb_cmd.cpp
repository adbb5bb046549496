// USB transport, command channel: one control transfer per command, completed on the device's
// event thread, followed by the status request that tells how the camera ended the command.

#include "ll/usb_cmd.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ll/usb_dev.h"
#include "lumox/log.h"
#include "lx/byte_order.h"

namespace lumox::ll {
namespace {

constexpr uint32_t kSetupSize = LIBUSB_CONTROL_SETUP_SIZE;
constexpr uint32_t kMaxPayload = 0xFFFF;
constexpr uint8_t kRequestWrite = 0x22;  // host to device, class request, recipient endpoint
constexpr uint8_t kRequestRead = 0xA2;   // device to host, class request, recipient endpoint
constexpr uint8_t kStatusBusy = 0xFE;
constexpr uint8_t kStatusFailed = 0xFF;
constexpr uint32_t kRegHeaderSize = 7;
constexpr uint32_t kRegBatch = 16;
constexpr uint32_t kParamBatch = 3;

// One command in flight. The caller owns it until the completion arrives; when the caller gives
// up first (abandoned), ownership passes to the completion callback, which frees it, so libusb
// never writes into freed memory.
struct CmdState {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    bool abandoned = false;
    UsbTransfer xfer;
};

void on_cmd_finish(libusb_transfer *xfer) {
    lx_log(LX_LOG_TRC, "TRC", "[%s] tx actual_len = %d, status  = %d\n", "_usb_ll_on_cmd_finish",
           xfer->actual_length, static_cast<int>(xfer->status));
    auto *state = static_cast<CmdState *>(xfer->user_data);
    std::unique_lock lock(state->mutex);
    if (state->abandoned) {
        lock.unlock();
        delete state;
        return;
    }
    state->done = true;
    state->cv.notify_one();
}

int status_to_result(const libusb_transfer &xfer) {
    switch (xfer.status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return xfer.actual_length;
        case LIBUSB_TRANSFER_ERROR:
        case LIBUSB_TRANSFER_CANCELLED:
            return LIBUSB_ERROR_IO;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_STALL:
            return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_OVERFLOW:
            return LIBUSB_ERROR_OVERFLOW;
    }
    lx_log(LX_LOG_WRN, "WRN", "[%s] unrecognised status code %d", "usb_ll_exe_cmd",
           static_cast<int>(xfer.status));
    return -99;
}

void log_handler_null() {
    lx_log(LX_LOG_ERR, "ERR", "[%s]  USB handler Is NULL!\r\n", "usb_ll_exe_cmd");
}

void log_cmd_failed(int result) {
    lx_log(LX_LOG_ERR, "ERR", "[%s] exe usb cmd failed: %s\n", "usb_ll_exe_cmd",
           libusb_error_name(result));
}

// Runs one command and returns the number of bytes moved or a libusb error code. For a read the
// bytes that arrived are copied to buf, also when fewer than len arrived.
int run_cmd(usb_ll_dev_priv *priv, uint8_t dir, uint8_t type, uint16_t value, void *buf,
            uint32_t len, uint32_t timeout_ms) {
    const char *fn = "usb_ll_exe_cmd";
    if (len > kMaxPayload || (len > 0 && !buf)) return LIBUSB_ERROR_INVALID_PARAM;

    std::unique_ptr<CmdState> state(new (std::nothrow) CmdState);
    if (state) state->xfer.reset(libusb_alloc_transfer(0));
    if (!state || !state->xfer) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] no memory\n", fn);
        return LIBUSB_ERROR_NO_MEM;
    }
    // Freed together with the transfer (LIBUSB_TRANSFER_FREE_BUFFER).
    auto *data = static_cast<unsigned char *>(std::calloc(1, kSetupSize + len));
    if (!data) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] no memory\n", fn);
        return LIBUSB_ERROR_NO_MEM;
    }
    libusb_fill_control_setup(data, dir ? kRequestWrite : kRequestRead, type, value, 0,
                              static_cast<uint16_t>(len));
    if (dir && len > 0) std::memcpy(data + kSetupSize, buf, len);

    libusb_transfer *xfer = state->xfer.get();
    libusb_fill_control_transfer(xfer, priv->handle.get(), data, on_cmd_finish, state.get(),
                                 timeout_ms);
    xfer->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    if (libusb_submit_transfer(xfer) != 0) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] libusb_submit_transfer failed\n", fn);
        return LIBUSB_ERROR_IO;
    }

    const UsbTimeouts timeouts = usb_timeouts();
    std::unique_lock lock(state->mutex);
    auto done = [&] { return state->done; };
    if (!state->cv.wait_for(lock, std::chrono::milliseconds(timeouts.cmd_cancel_ms), done)) {
        lx_log(LX_LOG_WRN, "WRN", "[%s] contrl trans timeout , cancel it\n", fn);
        libusb_cancel_transfer(xfer);
        const uint32_t rest = timeouts.cmd_abandon_ms > timeouts.cmd_cancel_ms
                                  ? timeouts.cmd_abandon_ms - timeouts.cmd_cancel_ms
                                  : 0;
        if (!state->cv.wait_for(lock, std::chrono::milliseconds(rest), done)) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] control transfer timeout !\n", fn);
            state->abandoned = true;
            lock.unlock();
            state.release();
            return LIBUSB_ERROR_TIMEOUT;
        }
    }
    lock.unlock();

    if (!dir && xfer->actual_length > 0) {
        const uint32_t got = std::min(static_cast<uint32_t>(xfer->actual_length), len);
        std::memcpy(buf, data + kSetupSize, got);
    }
    return status_to_result(*xfer);
}

void put_reg_header(uint8_t *p, uint8_t target, uint32_t base, uint32_t count) {
    const uint32_t bytes = count * 4;
    p[0] = target;
    store_le32(p + 1, base);
    p[5] = static_cast<uint8_t>(bytes);
    p[6] = static_cast<uint8_t>(bytes >> 8);
}

}  // namespace

uint8_t usb_ll_exe_cmd(lumox_ll_dev *dev, uint8_t dir, uint8_t type, uint16_t value, void *buf,
                       uint32_t len, uint32_t timeout_ms) {
    usb_ll_dev_priv *priv = usb_priv(dev);
    if (!priv) {
        log_handler_null();
        return 0;
    }
    std::lock_guard command(priv->cmd_lock);
    const int result = run_cmd(priv, dir, type, value, buf, len, timeout_ms);
    if (result >= 0 && static_cast<uint32_t>(result) == len) return 1;
    log_cmd_failed(result);
    return 0;
}

uint8_t usb_ll_check_last_cmd(lumox_ll_dev *dev, uint8_t type, uint8_t value) {
    // A camera that never leaves the busy state would keep the caller here for good; after a
    // generous bound (far above any erase or store the camera reports as busy) the command fails.
    const auto busy_deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(usb_timeouts().cmd_busy_ms);
    usb_ll_dev_priv *locked = usb_priv(dev);
    if (!locked) {
        log_handler_null();
        return 0;
    }
    std::lock_guard command(locked->cmd_lock);
    for (;;) {
        usb_ll_dev_priv *priv = usb_priv(dev);
        if (!priv) {
            log_handler_null();
            return 0;
        }
        uint8_t status[kStatusRecordSize] = {};
        const int result =
            run_cmd(priv, kFromCamera, kCmdStatus, 0, status, kStatusRecordSize, kCmdTimeoutMs);
        if (result != static_cast<int>(kStatusRecordSize)) {
            log_cmd_failed(result);
            return 0;
        }
        if (status[1] != type || status[2] != value) {
            lx_log(LX_LOG_WRN, "WRN", "[%s]  last cmd (t=%u,v=%u) is not as expect(t=%u,v=%u)\r\n",
                   "usb_ll_check_last_cmd", status[1], status[2], type, value);
            return 0;
        }
        if (status[0] == kStatusFailed) {
            // The camera's text need not be terminated within the record.
            lx_log(LX_LOG_ERR, "ERR", "[%s] %.*s\n", "usb_ll_check_last_cmd",
                   static_cast<int>(kStatusRecordSize - 3), reinterpret_cast<char *>(status + 3));
            return 0;
        }
        if (status[0] != kStatusBusy) return 1;
        if (std::chrono::steady_clock::now() >= busy_deadline) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] camera still busy after %u ms, giving up\n",
                   "usb_ll_check_last_cmd", usb_timeouts().cmd_busy_ms);
            return 0;
        }
    }
}

uint8_t usb_ll_reg_write(lumox_ll_dev *dev, uint8_t target, uint32_t reg_base,
                         const uint32_t *values, uint16_t count) {
    usb_ll_dev_priv *priv = usb_priv(dev);
    if (!priv) {
        log_handler_null();
        return 0;
    }
    std::lock_guard batch(priv->cmd_lock);
    const uint32_t len = kRegHeaderSize + 4u * count;
    if (len > kMaxPayload || (count > 0 && !values)) {
        log_cmd_failed(LIBUSB_ERROR_INVALID_PARAM);
        return 0;
    }
    std::unique_ptr<uint8_t[]> payload(new (std::nothrow) uint8_t[len]);
    if (!payload) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] malloc failed\n", "usb_ll_reg_write");
        return 0;
    }
    put_reg_header(payload.get(), target, reg_base, count);
    for (uint32_t i = 0; i < count; ++i)
        store_le32(payload.get() + kRegHeaderSize + 4 * i, values[i]);
    if (!usb_ll_exe_cmd(dev, kToCamera, kCmdRegister, kRegisterWrite, payload.get(), len,
                        kCmdTimeoutMs))
        return 0;
    return usb_ll_check_last_cmd(dev, kCmdRegister, kRegisterWrite);
}

uint8_t usb_ll_reg_read(lumox_ll_dev *dev, uint8_t target, uint32_t reg_base, uint32_t *values,
                        uint16_t count) {
    const char *fn = "usb_ll_reg_read";
    if (count > 0 && !values) {
        log_cmd_failed(LIBUSB_ERROR_INVALID_PARAM);
        return 0;
    }
    CommandBatch batch(dev);
    uint32_t remaining = count;
    uint32_t base = reg_base;
    uint32_t *out = values;
    while (remaining > 0) {
        const uint32_t n = std::min(remaining, kRegBatch);
        uint8_t header[kRegHeaderSize];
        put_reg_header(header, target, base, n);
        if (!usb_ll_exe_cmd(dev, kToCamera, kCmdRegister, kRegisterRead, header, sizeof header,
                            kCmdTimeoutMs) ||
            !usb_ll_check_last_cmd(dev, kCmdRegister, kRegisterRead)) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] write phase failed\n", fn);
            return 0;
        }
        uint8_t words[kRegBatch * 4] = {};
        const uint8_t read_ok = usb_ll_exe_cmd(dev, kFromCamera, kCmdRegister, kRegisterRead, words,
                                               4 * n, kCmdTimeoutMs);
        for (uint32_t i = 0; i < n; ++i) out[i] = load_le32(words + 4 * i);
        if (!read_ok || !usb_ll_check_last_cmd(dev, kCmdRegister, kRegisterRead)) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] read phase failed\n", fn);
            return 0;
        }
        base += n;
        out += n;
        remaining -= n;
    }
    return 1;
}

uint8_t usb_ll_param_set(lumox_ll_dev *dev, void *records, uint32_t count) {
    // One transfer carries every record; more than its 16-bit length can hold is refused rather
    // than sent truncated.
    if (count > kMaxPayload / kParamRecordSize || (count > 0 && !records)) {
        log_cmd_failed(LIBUSB_ERROR_INVALID_PARAM);
        return 0;
    }
    CommandBatch batch(dev);
    if (!usb_ll_exe_cmd(dev, kToCamera, kCmdDevice, kDeviceParamSet, records,
                        kParamRecordSize * count, kCmdTimeoutMs))
        return 0;
    return usb_ll_check_last_cmd(dev, kCmdDevice, kDeviceParamSet);
}

uint8_t usb_ll_param_get(lumox_ll_dev *dev, void *records, uint32_t count) {
    const char *fn = "usb_ll_param_get";
    if (count > 0 && !records) {
        log_cmd_failed(LIBUSB_ERROR_INVALID_PARAM);
        return 0;
    }
    auto *bytes = static_cast<uint8_t *>(records);
    for (uint32_t i = 0; i < count; ++i)
        std::memset(bytes + i * kParamRecordSize + 1, 0, kParamRecordSize - 1);

    CommandBatch batch(dev);
    uint32_t remaining = count;
    while (remaining > 0) {
        const uint32_t n = std::min(remaining, kParamBatch);
        const uint32_t len = n * kParamRecordSize;
        if (!usb_ll_exe_cmd(dev, kToCamera, kCmdDevice, kDeviceParamGet, bytes, len,
                            kCmdTimeoutMs)) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] write phase failed\n", fn);
            return 0;
        }
        if (!usb_ll_check_last_cmd(dev, kCmdDevice, kDeviceParamGet)) return 0;
        if (!usb_ll_exe_cmd(dev, kFromCamera, kCmdDevice, kDeviceParamGet, bytes, len,
                            kCmdTimeoutMs) ||
            !usb_ll_check_last_cmd(dev, kCmdDevice, kDeviceParamGet)) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] read phase failed\n", fn);
            return 0;
        }
        bytes += len;
        remaining -= n;
    }
    return 1;
}

}  // namespace lumox::ll
