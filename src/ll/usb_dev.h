// USB transport, device side: discovery, open, the per-device event thread, close and reset,
// and the private record of an open device. The time-outs the USB transport waits with
// (UsbTimeouts) are among the test hooks of testing/hooks.h.
//
// Threads: open, close and reset run on an application thread and must not overlap each other or
// commands on the same device. Every libusb completion of a device (commands and bulk capture
// transfers) runs on that device's event thread, one at a time.
#pragma once

#include <libusb.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "lumox/transport.h"
#include "testing/hooks.h"

namespace lumox::ll {

inline constexpr uint16_t kUsbVendorId = 0x111B;
inline constexpr uint16_t kUsbProductId = 0x1238;
inline constexpr int kUsbConfiguration = 1;
inline constexpr unsigned char kBulkInEndpoint = 0x81;
inline constexpr int kBulkTransfers = 16;
inline constexpr int kBulkBufferSize = 153600;
inline constexpr int kSpeedHigh = LIBUSB_SPEED_HIGH;
inline constexpr uint8_t kResetTargetUsbIf = 3;

struct ContextDeleter {
    void operator()(libusb_context *ctx) const { libusb_exit(ctx); }
};
struct HandleDeleter {
    void operator()(libusb_device_handle *handle) const { libusb_close(handle); }
};
struct TransferDeleter {
    void operator()(libusb_transfer *xfer) const { libusb_free_transfer(xfer); }
};
struct DeviceListDeleter {
    void operator()(libusb_device **list) const { libusb_free_device_list(list, 1); }
};
using UsbContext = std::unique_ptr<libusb_context, ContextDeleter>;
using UsbHandle = std::unique_ptr<libusb_device_handle, HandleDeleter>;
using UsbTransfer = std::unique_ptr<libusb_transfer, TransferDeleter>;
using UsbDeviceList = std::unique_ptr<libusb_device *[], DeviceListDeleter>;

}  // namespace lumox::ll

// Private record of an open device, pointed to by lumox_ll_dev::priv. Created with all transfers
// and buffers the first time a record is opened and freed whole by close, so the capture path
// never allocates. Members are destroyed in reverse order: buffers and transfers, then the
// handle, then the context.
struct usb_ll_dev_priv {
    lumox::ll::UsbContext ctx;
    lumox::ll::UsbHandle handle;
    std::array<lumox::ll::UsbTransfer, lumox::ll::kBulkTransfers> xfer;
    std::array<std::unique_ptr<uint8_t[]>, lumox::ll::kBulkTransfers> buf;
    // 1: completed bulk transfers are not submitted again. Written by capture start, stop and
    // abort (application or event thread), read by the completion on the event thread.
    std::atomic<uint8_t> cap_stopping{0};
    std::atomic<lumox_ll_cap_cb> cap_cb{nullptr};
    std::atomic<void *> cap_user{nullptr};
    // Held across a command and the status check that tells how it ended, and across a whole
    // register or parameter batch, so that another application thread's command cannot fall
    // between them (the camera's status record describes only its last command). Recursive:
    // a batch takes it and then runs commands that take it again.
    std::recursive_mutex cmd_lock;
    std::thread evt_thread;
    std::atomic<int32_t> evt_stop{0};
    std::atomic<uint8_t> evt_running{0};

    // Bulk transfers libusb currently owns (submitted, completion not yet delivered). Close waits
    // for them to drain so that it never frees a transfer libusb still holds.
    std::mutex flight_mutex;
    std::condition_variable flight_cv;
    std::array<bool, lumox::ll::kBulkTransfers> in_flight{};
};

namespace lumox::ll {

uint8_t usb_ll_init();
void usb_ll_uninit();
// Maps the library's log level (0 TRC .. 5 off) to libusb's (4 debug .. 0 none) and keeps it for
// the contexts that later opens create.
void usb_ll_set_debug(uint32_t level);
// The libusb level that set_debug stored.
int32_t usb_ll_debug_level();
// libusb_init, tried again a few times over about 100 ms when it fails: starting its device
// monitor can fail for a moment while another process starts its own (seen under the emulated
// bus when two programs start at once). The last result.
int usb_context_init(libusb_context **ctx);
int32_t usb_ll_dev_list(lumox_ll_dev *devs, int32_t max);
lumox_ll_dev *usb_ll_dev_open(lumox_ll_dev *dev);
lumox_ll_dev *usb_ll_dev_open_by_fd(lumox_ll_dev *dev);
void usb_ll_dev_close(lumox_ll_dev *dev);
uint8_t usb_ll_dev_reset(lumox_ll_dev *dev, uint8_t target);

// The private record of an open device with a handle, or null.
inline usb_ll_dev_priv *usb_priv(lumox_ll_dev *dev) {
    if (!dev || !dev->priv) return nullptr;
    auto *priv = static_cast<usb_ll_dev_priv *>(dev->priv);
    return priv->handle ? priv : nullptr;
}

}  // namespace lumox::ll
