// USB transport, device side: camera discovery, open with its own libusb context and event
// thread, close, reset, and the USB operation table.

#include "ll/usb_dev.h"

#include <sys/time.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ll/usb_cap.h"
#include "ll/usb_cmd.h"
#include "lumox/log.h"
#include "platform/clock.h"

namespace lumox::ll {
namespace {

std::atomic<int32_t> g_libusb_level{0};

std::mutex g_timeouts_mutex;
UsbTimeouts g_timeouts;

bool is_camera(const libusb_device_descriptor &desc) {
    return desc.idVendor == kUsbVendorId && desc.idProduct == kUsbProductId;
}

// Creates the private record with its 16 transfers and buffers. Running out of memory here ends
// the process: the capture path relies on these existing from open to close.
usb_ll_dev_priv *priv_alloc() {
    auto *priv = new (std::nothrow) usb_ll_dev_priv;
    if (!priv) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] malloc failed\n", "_usb_ll_dev_priv_alloc");
        std::exit(-2);
    }
    for (int i = 0; i < kBulkTransfers; ++i) {
        priv->xfer[i].reset(libusb_alloc_transfer(0));
        priv->buf[i].reset(new (std::nothrow) uint8_t[kBulkBufferSize]);
        if (!priv->xfer[i] || !priv->buf[i]) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] malloc failed!\n", "_usb_ll_dev_priv_alloc");
            std::exit(-1);
        }
    }
    return priv;
}

// Frees a private record: its transfers and buffers first, then the handle, then the context.
// When bulk transfers are still in libusb's hands the handle goes first, which makes libusb drop
// them, so that freeing them afterwards is safe.
void priv_release(lumox_ll_dev *dev) {
    auto *priv = static_cast<usb_ll_dev_priv *>(dev->priv);
    if (!priv) return;
    bool flying = false;
    {
        std::lock_guard lock(priv->flight_mutex);
        for (bool f : priv->in_flight) flying = flying || f;
    }
    if (flying) priv->handle.reset();
    for (auto &xfer : priv->xfer) xfer.reset();
    for (auto &buf : priv->buf) buf.reset();
    priv->handle.reset();
    priv->ctx.reset();
    delete priv;
    dev->priv = nullptr;
}

void event_loop(usb_ll_dev_priv *priv) {
    lx_log(LX_LOG_TRC, "TRC", "[%s] Enter ll event loop...\n", "_ll_event_loop");
    const uint32_t wait_ms = usb_timeouts().evt_wait_ms;
    for (;;) {
        timeval tv{static_cast<time_t>(wait_ms / 1000),
                   static_cast<suseconds_t>((wait_ms % 1000) * 1000)};
        const int r = libusb_handle_events_timeout_completed(priv->ctx.get(), &tv, nullptr);
        const bool stop = priv->evt_stop.load(std::memory_order_acquire) != 0;
        if (r >= 0 || stop) {
            if (stop) break;
            continue;
        }
        lx_log(LX_LOG_ERR, "ERR", "[%s] libusb reports error: %s\n", "_ll_event_loop",
               libusb_error_name(r));
        if (r == LIBUSB_ERROR_INTERRUPTED) {
            lx_log(LX_LOG_WRN, "WRN", "[%s] libusb_handle_events LIBUSB_ERROR_INTERRUPTED \n",
                   "_ll_event_loop");
            break;
        }
        if (r == LIBUSB_ERROR_TIMEOUT) {
            lx_log(LX_LOG_WRN, "WRN", "[%s] libusb_handle_events timeout \n", "_ll_event_loop");
            break;
        }
        if (r != LIBUSB_ERROR_BUSY && r != LIBUSB_ERROR_OVERFLOW) break;
    }
    priv->evt_running.store(0, std::memory_order_release);
    lx_log(LX_LOG_TRC, "TRC", "[%s] Exit ll event loop...\n", "_ll_event_loop");
}

void event_thread(usb_ll_dev_priv *priv) {
    lx_log(LX_LOG_DBG, "DBG", "[%s] enter\n", "_usb_ll_evt_thread");
    priv->evt_running.store(1, std::memory_order_release);
    event_loop(priv);
    lx_log(LX_LOG_DBG, "DBG", "[%s] exit\n", "_usb_ll_evt_thread");
}

// Cancels the bulk transfers still in flight and waits, bounded, until their completions have
// been delivered on the event thread, so that close never frees a transfer libusb still holds.
void drain_bulk_transfers(usb_ll_dev_priv *priv) {
    priv->cap_stopping.store(1, std::memory_order_release);
    std::unique_lock lock(priv->flight_mutex);
    bool any = false;
    for (int i = 0; i < kBulkTransfers; ++i) {
        if (!priv->in_flight[i]) continue;
        any = true;
        libusb_cancel_transfer(priv->xfer[i].get());
    }
    if (!any || !priv->evt_running.load(std::memory_order_acquire)) return;
    priv->flight_cv.wait_for(lock, std::chrono::milliseconds(usb_timeouts().cmd_abandon_ms), [&] {
        for (bool f : priv->in_flight)
            if (f) return false;
        return true;
    });
}

// Reads the location of a device into the record's fields.
void store_location(lumox_ll_dev *dev, libusb_device *usb) {
    dev->port = libusb_get_port_number(usb);
    dev->bus = libusb_get_bus_number(usb);
    dev->addr = libusb_get_device_address(usb);
    dev->speed = static_cast<uint8_t>(libusb_get_device_speed(usb));
}

// Walks the bus of a context: lists its devices, hands their count (or the negative libusb error
// of a failed listing) to report, then calls visit(index, device, descriptor) for each device
// whose descriptor reads, until visit returns true. False when the bus could not be listed.
template <typename Report, typename Visit>
bool walk_bus(libusb_context *ctx, const char *fn, Report &&report, Visit &&visit) {
    libusb_device **raw = nullptr;
    const ssize_t count = libusb_get_device_list(ctx, &raw);
    report(count);
    if (count < 0) return false;
    UsbDeviceList list(raw);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(list[i], &desc) != 0) {
            lx_log(LX_LOG_ERR, "ERR", "[%s]   Failed to get device desc of device %d\n", fn,
                   static_cast<int>(i));
            continue;
        }
        if (visit(static_cast<int>(i), list[i], desc)) break;
    }
    return true;
}

// Opens a device for find_and_open and logs a failure: named is the open of the camera at a
// known location, otherwise the first camera that opens is wanted.
libusb_device_handle *try_open(libusb_device *usb, const char *fn, bool named) {
    libusb_device_handle *handle = nullptr;
    const int r = libusb_open(usb, &handle);
    if (r == 0) return handle;
    if (named) {
        lx_log(LX_LOG_WRN, "WRN", "[%s] failed to open this device: %s\n", fn,
               libusb_error_name(r));
    } else {
        lx_log(LX_LOG_WRN, "WRN", "[%s]   failed to open this device: %s, try next ...\n", fn,
               libusb_error_name(r));
    }
    return nullptr;
}

// Scans the context's devices and opens the camera the record names (or the first camera).
UsbHandle find_and_open(lumox_ll_dev *dev, libusb_context *ctx) {
    const char *fn = "_usb_ll_dev_open";
    UsbHandle opened;
    const auto report = [fn](ssize_t count) {
        if (count < 0) {
            lx_log(LX_LOG_ERR, "ERR", "[%s]   enum libusb device failed: %d \n", fn,
                   static_cast<int>(count));
        } else {
            lx_log(LX_LOG_TRC, "TRC", "[%s]   %d usb device found \n", fn, static_cast<int>(count));
        }
    };
    walk_bus(ctx, fn, report, [&](int i, libusb_device *usb, const libusb_device_descriptor &desc) {
        const int speed = libusb_get_device_speed(usb);
        const int port = libusb_get_port_number(usb);
        const int bus = libusb_get_bus_number(usb);
        const int addr = libusb_get_device_address(usb);
        libusb_device_handle *handle = nullptr;
        if (dev->location_valid == 1) {
            lx_log(LX_LOG_TRC, "TRC", "[%s] [%d] %04x:%04x (speed=%d) @ %03d:%03d:%03d\n", fn, i,
                   desc.idVendor, desc.idProduct, speed, port, bus, addr);
            if (!is_camera(desc) || bus != dev->bus || port != dev->port) return false;
            lx_log(LX_LOG_DBG, "DBG", "[%s] open lumox device @ %03d:%03d:%03d\n", fn, dev->port,
                   dev->bus, dev->addr);
            handle = try_open(usb, fn, true);
            if (!handle) return false;
        } else {
            if (!is_camera(desc)) return false;
            lx_log(LX_LOG_DBG, "DBG", "[%s] found lumox device (speed=%d) @ %03d:%03d:%03d\n", fn,
                   speed, port, bus, addr);
            if (speed < kSpeedHigh) {
                lx_log(LX_LOG_WRN, "WRN",
                       "[%s] found lumox device not in HS mode (speed=%d) @ %03d:%03d:%03d\n", fn,
                       speed, port, bus, addr);
            }
            handle = try_open(usb, fn, false);
            if (!handle) return false;
            dev->location_valid = 1;
            dev->if_type = 0;
        }
        store_location(dev, usb);
        opened.reset(handle);
        return true;
    });
    return opened;
}

}  // namespace

UsbTimeouts usb_timeouts() {
    std::lock_guard lock(g_timeouts_mutex);
    return g_timeouts;
}

UsbTimeouts set_usb_timeouts(const UsbTimeouts &timeouts) {
    std::lock_guard lock(g_timeouts_mutex);
    const UsbTimeouts previous = g_timeouts;
    g_timeouts = timeouts;
    return previous;
}

uint8_t usb_ll_init() { return 1; }

void usb_ll_uninit() {}

void usb_ll_set_debug(uint32_t level) {
    const int32_t libusb_level = level <= 1 ? 4 : level <= 4 ? static_cast<int32_t>(5 - level) : 0;
    g_libusb_level.store(libusb_level, std::memory_order_relaxed);
}

int32_t usb_ll_debug_level() { return g_libusb_level.load(std::memory_order_relaxed); }

int usb_context_init(libusb_context **ctx) {
    constexpr int kAttempts = 5;
    constexpr uint32_t kPauseMs = 25;
    int r = libusb_init(ctx);
    for (int attempt = 1; r != 0 && attempt < kAttempts; ++attempt) {
        lx_log(LX_LOG_WRN, "WRN", "[%s] libusb_init failed (%s), trying again\n",
               "usb_context_init", libusb_error_name(r));
        platform::sleep_ms(kPauseMs);
        r = libusb_init(ctx);
    }
    return r;
}

int32_t usb_ll_dev_list(lumox_ll_dev *devs, int32_t max) {
    const char *fn = "usb_ll_dev_list";
    if (!devs || max <= 0) return 0;
    libusb_context *raw_ctx = nullptr;
    const int init = usb_context_init(&raw_ctx);
    if (init != 0) {
        lx_log(LX_LOG_ERR, "ERR", "[%s]   enum usb device failed: %d \n", fn, init);
        return 0;
    }
    UsbContext ctx(raw_ctx);
    std::memset(devs, 0, sizeof(lumox_ll_dev) * static_cast<size_t>(max));

    int32_t found = 0;
    const auto report = [fn, max](ssize_t count) {
        if (count < 0) {
            lx_log(LX_LOG_ERR, "ERR", "[%s]   enum usb device failed: %d \n", fn,
                   static_cast<int>(count));
        } else {
            lx_log(LX_LOG_DBG, "DBG", "[%s] probe lumox device (max=%d) in %d usb device\n", fn,
                   max, static_cast<int>(count));
        }
    };
    walk_bus(ctx.get(), fn, report,
             [&](int i, libusb_device *usb, const libusb_device_descriptor &desc) {
                 lx_log(LX_LOG_TRC, "TRC", "[%s] [%02d] %04x:%04x @ %03d:%03d:%03d\n", fn, i,
                        desc.idVendor, desc.idProduct, libusb_get_port_number(usb),
                        libusb_get_bus_number(usb), libusb_get_device_address(usb));
                 if (!is_camera(desc)) return false;
                 lumox_ll_dev *rec = &devs[found++];
                 std::memset(rec, 0, sizeof *rec);
                 rec->location_valid = 1;
                 rec->if_type = 0;
                 store_location(rec, usb);
                 rec->ops = &ll_op_usb;
                 lx_log(LX_LOG_DBG, "DBG",
                        "[%s]   LUMOX device (speed=%d) found @ %03d:%03d:%03d, %p\n", fn,
                        rec->speed, rec->port, rec->bus, rec->addr, static_cast<void *>(rec));
                 return found >= max;
             });
    return found;
}

lumox_ll_dev *usb_ll_dev_open(lumox_ll_dev *dev) {
    if (!dev || dev->if_type != 0) return nullptr;
    // Opening a record that is already open would leak its handle and start a second event
    // thread; the open device is returned as it stands.
    if (usb_priv(dev)) return dev;
    if (!dev->priv) dev->priv = priv_alloc();
    auto *priv = static_cast<usb_ll_dev_priv *>(dev->priv);

    if (!priv->ctx) {
        lx_log(LX_LOG_DBG, "DBG", "[%s]  create usb context\n", "_usb_ll_dev_open");
        libusb_context *raw_ctx = nullptr;
        const int r = usb_context_init(&raw_ctx);
        if (r != 0) {
            lx_log(LX_LOG_ERR, "ERR", "[%s]  create usb context failed: %s\n", "_usb_ll_dev_open",
                   libusb_error_name(r));
            priv_release(dev);
            return nullptr;
        }
        priv->ctx.reset(raw_ctx);
        libusb_set_option(priv->ctx.get(), LIBUSB_OPTION_LOG_LEVEL, usb_ll_debug_level());
    }

    priv->handle = find_and_open(dev, priv->ctx.get());
    if (!priv->handle) {
        priv_release(dev);
        return nullptr;
    }

    const char *fn = "usb_ll_dev_open";
    libusb_device_handle *handle = priv->handle.get();
    int r = libusb_set_configuration(handle, kUsbConfiguration);
    if (r != 0) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] libusb_set_configuration failed: %s\n", fn,
               libusb_error_name(r));
        usb_ll_dev_close(dev);
        return nullptr;
    }
    libusb_set_auto_detach_kernel_driver(handle, 1);
    if (libusb_claim_interface(handle, 0) != 0) {
        r = libusb_claim_interface(handle, 1);
        if (r != 0) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] libusb_claim_interface failed: %s\n", fn,
                   libusb_error_name(r));
            usb_ll_dev_close(dev);
            return nullptr;
        }
    }

    priv->evt_running.store(0, std::memory_order_relaxed);
    priv->evt_stop.store(0, std::memory_order_relaxed);
    try {
        priv->evt_thread = std::thread(event_thread, priv);
    } catch (const std::system_error &) {
        lx_log(LX_LOG_ERR, "ERR", "[%s]  create evt thread failed\n", fn);
        usb_ll_dev_close(dev);
        return nullptr;
    }
    dev->ops = &ll_op_usb;
    return dev;
}

lumox_ll_dev *usb_ll_dev_open_by_fd(lumox_ll_dev *dev) {
    if (!dev || dev->if_type != 0) return nullptr;
    if (!dev->priv) dev->priv = priv_alloc();
    return usb_ll_dev_open(dev);
}

void usb_ll_dev_close(lumox_ll_dev *dev) {
    if (!dev || dev->if_type != 0) return;
    auto *priv = static_cast<usb_ll_dev_priv *>(dev->priv);
    if (!priv || !priv->ctx || !priv->handle) {
        lx_log(LX_LOG_WRN, "WRN", "[%s] device no need to closed!\n", "usb_ll_dev_close");
        return;
    }
    if (priv->evt_thread.joinable()) {
        drain_bulk_transfers(priv);
        if (priv->evt_stop.load(std::memory_order_acquire) == 0) {
            lx_log(LX_LOG_DBG, "DBG", "[%s] stop evt thread...\n", "usb_ll_dev_close");
            priv->evt_stop.store(1, std::memory_order_release);
            libusb_interrupt_event_handler(priv->ctx.get());
        }
        priv->evt_thread.join();
    }
    libusb_release_interface(priv->handle.get(), 0);
    libusb_release_interface(priv->handle.get(), 1);
    priv_release(dev);
}

uint8_t usb_ll_dev_reset(lumox_ll_dev *dev, uint8_t target) {
    const char *fn = "usb_ll_dev_reset";
    lx_log(LX_LOG_TRC, "TRC", "[%s] rest device (target=%d)\n", fn, target);
    uint8_t payload[4] = {target, 0, 0, 0};
    if (target != kResetTargetUsbIf) {
        CommandBatch batch(dev);
        if (!usb_ll_exe_cmd(dev, kToCamera, kCmdDevice, kDeviceReset, payload, sizeof payload,
                            kCmdTimeoutMs))
            return 0;
        return usb_ll_check_last_cmd(dev, kCmdDevice, kDeviceReset);
    }

    const UsbTimeouts timeouts = usb_timeouts();
    lx_log(LX_LOG_TRC, "TRC", "[%s] Reset usb if (timeout = %d ms) ...\n", fn, 3000);
    usb_ll_exe_cmd(dev, kToCamera, kCmdDevice, kDeviceReset, payload, sizeof payload,
                   kCmdTimeoutMs);
    usb_ll_dev_close(dev);
    for (uint32_t attempt = 0; attempt < timeouts.reopen_attempts; ++attempt) {
        platform::sleep_ms(timeouts.reopen_interval_ms);
        if (lumox_ll_dev_open(dev)) {
            lx_log(LX_LOG_TRC, "TRC", "[%s] Reset usb if end. \n", fn);
            return 1;
        }
    }
    lx_log(LX_LOG_WRN, "WRN", "[%s] reopen device failed!\n", fn);
    lx_log(LX_LOG_TRC, "TRC", "[%s] Reset usb if end. \n", fn);
    return 0;
}

}  // namespace lumox::ll

extern "C" {

const lumox_ll_op ll_op_usb = {
    .init = lumox::ll::usb_ll_init,
    .uninit = lumox::ll::usb_ll_uninit,
    .set_debug = lumox::ll::usb_ll_set_debug,
    .dev_open = lumox::ll::usb_ll_dev_open,
    .dev_open_by_fd = lumox::ll::usb_ll_dev_open_by_fd,
    .dev_close = lumox::ll::usb_ll_dev_close,
    .dev_list = lumox::ll::usb_ll_dev_list,
    .exe_cmd = lumox::ll::usb_ll_exe_cmd,
    .check_last_cmd = lumox::ll::usb_ll_check_last_cmd,
    .cap_abort = lumox::ll::usb_ll_cap_abort,
    .cap_start = lumox::ll::usb_ll_cap_start,
    .cap_stop = lumox::ll::usb_ll_cap_stop,
    .dev_reset = lumox::ll::usb_ll_dev_reset,
    .reg_write = lumox::ll::usb_ll_reg_write,
    .reg_read = lumox::ll::usb_ll_reg_read,
    .param_set = lumox::ll::usb_ll_param_set,
    .param_get = lumox::ll::usb_ll_param_get,
};

}  // extern "C"
