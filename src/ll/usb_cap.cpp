// USB transport, capture: the 16 bulk reads on endpoint 0x81, their completion on the event
// thread, and the capture start and stop commands.

#include "ll/usb_cap.h"

#include "ll/usb_cmd.h"
#include "ll/usb_dev.h"
#include "lumox/log.h"
#include "lx/byte_order.h"

namespace lumox::ll {
namespace {

int transfer_index(const usb_ll_dev_priv *priv, const libusb_transfer *xfer) {
    for (int i = 0; i < kBulkTransfers; ++i)
        if (priv->xfer[i].get() == xfer) return i;
    return -1;
}

void clear_halt(usb_ll_dev_priv *priv, const char *fn) {
    if (libusb_clear_halt(priv->handle.get(), kBulkInEndpoint) != 0) {
        lx_log(LX_LOG_ERR, "ERR", "[%s]  Clear halt failed on EP: %0x!\r\n", fn, kBulkInEndpoint);
    }
}

int32_t event_code(usb_ll_dev_priv *priv, const libusb_transfer *xfer, int i) {
    const char *fn = "on_usb_trans_event";
    switch (xfer->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return LUMOX_LL_CAP_DATA;
        case LIBUSB_TRANSFER_CANCELLED:
            lx_log(LX_LOG_TRC, "TRC", "[%s] trans[%d] cancelled (last_tx=%d)\n", fn, i,
                   xfer->actual_length);
            return LUMOX_LL_CAP_CANCELLED;
        case LIBUSB_TRANSFER_TIMED_OUT:
            lx_log(LX_LOG_DBG, "DBG", "[%s] trans[%d] timeout (last_tx=%d)\n", fn, i,
                   xfer->actual_length);
            return LUMOX_LL_CAP_TIMEOUT;
        case LIBUSB_TRANSFER_STALL:
            lx_log(LX_LOG_WRN, "WRN", "[%s] trans[%d] stall (last_tx=%d)\n", fn, i,
                   xfer->actual_length);
            clear_halt(priv, fn);
            return LUMOX_LL_CAP_STALL;
        default:
            lx_log(LX_LOG_WRN, "WRN", "[%s] trans[%d] error (%d) (last_tx=%d)\n", fn, i,
                   static_cast<int>(xfer->status), xfer->actual_length);
            return LUMOX_LL_CAP_ERROR;
    }
}

// Completion of a bulk read, on the event thread: report it, then put the transfer back on the
// bus unless the capture is stopping. The resubmission happens under the flight lock so that a
// concurrent stop either sees the transfer in flight and cancels it, or the transfer sees the
// stop and stays idle.
void on_usb_trans_event(libusb_transfer *xfer) {
    auto *dev = static_cast<lumox_ll_dev *>(xfer->user_data);
    auto *priv = static_cast<usb_ll_dev_priv *>(dev->priv);
    const int i = transfer_index(priv, xfer);
    lx_log(LX_LOG_TRC, "TRC", "[%s] trans[%d]: txlen=%d, status = %d\n", "on_usb_trans_event", i,
           xfer->actual_length, static_cast<int>(xfer->status));
    const int32_t code = event_code(priv, xfer, i);

    if (lumox_ll_cap_cb cb = priv->cap_cb.load(std::memory_order_acquire)) {
        cb(dev, code, xfer->buffer, xfer->actual_length,
           priv->cap_user.load(std::memory_order_acquire));
    }

    bool capture_lost = false;
    {
        std::lock_guard lock(priv->flight_mutex);
        if (xfer->length > 0 && !priv->cap_stopping.load(std::memory_order_acquire)) {
            lx_log(LX_LOG_TRC, "TRC", "[%s] trans[%d] issue: size=%d \n", "on_usb_trans_event", i,
                   xfer->length);
            xfer->timeout = usb_timeouts().bulk_ms;
            const int r = libusb_submit_transfer(xfer);
            if (r == 0) return;
            lx_log(LX_LOG_ERR, "ERR", "[%s] Unable to submit URB. libusb error code: %d\n",
                   "on_usb_trans_event", r);
            // When the last transfer cannot go back on the bus (the camera is gone), no data
            // and no error would ever arrive again: the capture is told it has ended.
            capture_lost = true;
        }
        if (i >= 0) priv->in_flight[i] = false;
        priv->flight_cv.notify_all();
        for (bool busy : priv->in_flight) capture_lost = capture_lost && !busy;
        capture_lost = capture_lost && !priv->cap_stopping.load(std::memory_order_acquire);
    }
    if (!capture_lost) return;
    lx_log(LX_LOG_WRN, "WRN", "[%s] no transfer left on the bus: capture lost\n",
           "on_usb_trans_event");
    if (lumox_ll_cap_cb cb = priv->cap_cb.load(std::memory_order_acquire)) {
        cb(dev, LUMOX_LL_CAP_ERROR, nullptr, 0, priv->cap_user.load(std::memory_order_acquire));
    }
}

// Cancels every transfer of the device; the cancelled ones complete later on the event thread.
// Called with the flight lock held.
void cancel_all(usb_ll_dev_priv *priv, const char *fn) {
    for (int i = 0; i < kBulkTransfers; ++i) {
        libusb_transfer *xfer = priv->xfer[i].get();
        lx_log(LX_LOG_TRC, "TRC", "[%s] trans[%d] cancel: status=%d\n", fn, i,
               static_cast<int>(xfer->status));
        if (priv->in_flight[i]) libusb_cancel_transfer(xfer);
    }
}

}  // namespace

uint8_t usb_ll_cap_start(lumox_ll_dev *dev, uint32_t arg, lumox_ll_cap_cb cb, void *user) {
    const char *fn = "usb_ll_cap_start";
    usb_ll_dev_priv *priv = usb_priv(dev);
    if (!priv) {
        lx_log(LX_LOG_ERR, "ERR", "[%s]  USB handler Is NULL!\r\n", fn);
        return 0;
    }
    priv->cap_stopping.store(0, std::memory_order_release);
    clear_halt(priv, fn);
    priv->cap_cb.store(cb, std::memory_order_release);
    priv->cap_user.store(user, std::memory_order_release);

    const uint32_t bulk_ms = usb_timeouts().bulk_ms;
    {
        std::lock_guard lock(priv->flight_mutex);
        for (int i = 0; i < kBulkTransfers; ++i) {
            // A transfer of an earlier capture still in libusb's hands must not be refilled.
            if (priv->in_flight[i]) {
                lx_log(LX_LOG_ERR, "ERR", "[%s] trans[%d] issue failed\n", fn, i);
                continue;
            }
            libusb_transfer *xfer = priv->xfer[i].get();
            libusb_fill_bulk_transfer(xfer, priv->handle.get(), kBulkInEndpoint, priv->buf[i].get(),
                                      kBulkBufferSize, on_usb_trans_event, dev, bulk_ms);
            xfer->flags = 0;
            if (libusb_submit_transfer(xfer) != 0) {
                lx_log(LX_LOG_ERR, "ERR", "[%s] trans[%d] issue failed\n", fn, i);
                continue;
            }
            priv->in_flight[i] = true;
            lx_log(LX_LOG_TRC, "TRC", "[%s] trans[%d] issue: txlen=%d\n", fn, i, kBulkBufferSize);
        }
    }

    lx_log(LX_LOG_TRC, "TRC", "[%s] Enter\n", fn);
    uint8_t payload[4];
    store_le32(payload, arg);
    CommandBatch batch(dev);
    if (usb_ll_exe_cmd(dev, kToCamera, kCmdRegister, kCapStartValue, payload, sizeof payload,
                       kCmdTimeoutMs) &&
        usb_ll_check_last_cmd(dev, kCmdRegister, kCapStartValue)) {
        return 1;
    }

    lx_log(LX_LOG_WRN, "WRN", "[%s] lumox_ll_cap_start failed\n", fn);
    // A refused start leaves nothing running: the cancelled transfers report -3 once and stay
    // idle even when the callback does not abort.
    std::lock_guard lock(priv->flight_mutex);
    priv->cap_stopping.store(1, std::memory_order_release);
    cancel_all(priv, fn);
    return 0;
}

uint8_t usb_ll_cap_stop(lumox_ll_dev *dev) {
    const char *fn = "usb_ll_cap_stop";
    usb_ll_dev_priv *priv = usb_priv(dev);
    if (!priv) {
        lx_log(LX_LOG_ERR, "ERR", "[%s]  USB handler Is NULL!\r\n", fn);
        return 0;
    }
    {
        std::lock_guard lock(priv->flight_mutex);
        priv->cap_stopping.store(1, std::memory_order_release);
        cancel_all(priv, fn);
    }
    uint8_t payload = kCmdRegister;
    CommandBatch batch(dev);
    if (!usb_ll_exe_cmd(dev, kToCamera, kCmdRegister, kCapStopValue, &payload, 1, kCmdTimeoutMs))
        return 0;
    return usb_ll_check_last_cmd(dev, kCmdRegister, kCapStopValue);
}

void usb_ll_cap_abort(lumox_ll_dev *dev) {
    if (!dev || !dev->priv) return;
    static_cast<usb_ll_dev_priv *>(dev->priv)->cap_stopping.store(1, std::memory_order_release);
}

}  // namespace lumox::ll
