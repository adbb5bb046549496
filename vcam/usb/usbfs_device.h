// The usbdevfs side of one virtual camera: URBs submitted through the device node are served from
// the camera model and handed back through REAPURBNDELAY, as the kernel's usbfs would.
//
// Threads: handle_ioctl() runs on umockdev's worker thread and never blocks; timers for paced
// frames live in that thread's main context. unplug(), hold_cancellations() and stats() may be
// called from any thread.
// A mutex guards the URB lists.
//
// Readiness: libusb waits for reapable URBs by polling the device node. The node is a FIFO of
// our own; it is kept readable-and-writable only while a URB is reapable, so that libusb's event
// loop sleeps when nothing is to be reaped.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include <umockdev.h>

#include "vcam/camera.h"
#include "vcam/usb/bus.h"
#include "vcam/usb/descriptors.h"

namespace lumox::vcam {

class UsbfsDevice {
  public:
    UsbfsDevice(Camera &camera, const UsbCameraOptions &options, UsbStrings strings,
                const std::string &fifo_path);
    ~UsbfsDevice();
    UsbfsDevice(const UsbfsDevice &) = delete;
    UsbfsDevice &operator=(const UsbfsDevice &) = delete;

    // The umockdev handler object that forwards to this device (owned by this object).
    UMockdevIoctlBase *handler() const { return handler_; }
    // Called with the configuration value after SETCONFIGURATION (worker thread).
    void on_configuration(std::function<void(unsigned)> callback) {
        on_configuration_ = std::move(callback);
    }

    bool handle_ioctl(UMockdevIoctlClient *client);
    void unplug();
    // While held, cancelled URBs are not given back (a host controller slow to return them);
    // releasing the hold makes them reapable.
    void hold_cancellations(bool hold);
    bool plugged() const;
    UsbStats stats() const;

  private:
    struct Urb {
        uint64_t client_addr = 0;  // address of the client's struct usbdevfs_urb
        uint8_t type = 0;
        uint8_t endpoint = 0;
        int buffer_length = 0;
        bool hang = false;  // left pending until discarded
        int status = 0;
        int actual = 0;                // bytes transferred (after the setup packet for control)
        std::vector<uint8_t> in_data;  // bytes for the client's buffer (after the setup packet)
    };

    void submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    void reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    void discard(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    // The ioctls that set the device up (capabilities, configuration, interfaces, halts,
    // reset); every one of them fails with ENODEV once the device is unplugged.
    void setup_ioctl(UMockdevIoctlClient *client, unsigned long request, UMockdevIoctlData *arg);
    void interface_ioctl(UMockdevIoctlClient *client, unsigned long request,
                         UMockdevIoctlData *arg);
    Urb control(Urb urb, const uint8_t *buffer);
    std::vector<uint8_t> standard_request(const SetupPacket &setup, bool &stall);
    void pump_locked();
    void schedule_locked();
    void pump_soon_locked();  // on the worker's next turn, after what waits now
    static gboolean on_timer(gpointer self);
    void update_readiness_locked();

    Camera &camera_;
    UsbCameraOptions options_;
    UsbStrings strings_;
    UMockdevIoctlBase *handler_ = nullptr;
    int fifo_fd_ = -1;
    bool fifo_ready_ = false;
    std::function<void(unsigned)> on_configuration_;

    mutable std::mutex mutex_;
    std::list<Urb> pending_;
    std::list<Urb> reapable_;
    std::list<Urb> held_;  // cancelled while cancellations are held
    bool hold_cancellations_ = false;
    bool unplugged_ = false;
    GMainContext *worker_context_ = nullptr;
    GSource *timer_ = nullptr;
    UsbStats stats_;
    uint32_t configuration_ = kConfigurationValue;  // the device comes up configured
};

}  // namespace lumox::vcam
