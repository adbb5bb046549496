// A virtual USB bus carrying virtual cameras, built on a umockdev testbed: a root hub "usb1" (for
// bus 1) and each camera at ".../usb<B>/<B>-<port>", with the sysfs attributes and udev properties
// that libusb reads, a device node, and an ioctl handler that serves the usbdevfs requests from the
// camera model. A process sees the bus through libusb only when it runs under the umockdev
// preload library (see reexec_under_preload); the bus lives as long as this object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vcam/camera.h"

namespace lumox::vcam {

struct UsbCameraOptions {
    CameraConfig camera;
    uint8_t port = 0;                  // port on the root hub; 0: 1 + the camera's index
    bool high_speed = true;            // false: a full-speed (12 Mbit/s) device
    bool interface0_claimable = true;  // false: claiming interface 0 fails with EBUSY
    std::string serial;                // USB serial string; empty: the identity text (id2)
};

struct BusOptions {
    uint8_t bus = 1;
    std::vector<UsbCameraOptions> cameras = std::vector<UsbCameraOptions>(1);
};

// What the bridge saw of the host's usbdevfs traffic on one camera.
struct UsbStats {
    uint64_t urbs_submitted = 0;
    uint64_t urbs_reaped = 0;
    uint64_t urbs_discarded = 0;
    uint64_t control_transfers = 0;
    uint64_t bulk_transfers = 0;
    uint32_t urbs_pending = 0;        // submitted, not yet completed (or cancelled and held)
    uint32_t claimed_interfaces = 0;  // bit mask
    uint32_t configuration = 0;       // last SETCONFIGURATION value
    uint32_t clear_halts = 0;
    uint32_t resets = 0;
};

class UsbfsDevice;

class VirtualBus {
  public:
    explicit VirtualBus(const BusOptions &options = {});
    ~VirtualBus();
    VirtualBus(const VirtualBus &) = delete;
    VirtualBus &operator=(const VirtualBus &) = delete;

    size_t size() const;
    Camera &camera(size_t index);
    UsbStats stats(size_t index) const;
    // Pulls the camera off the bus: transfers in flight complete with "no device", later requests
    // fail with ENODEV, and the device leaves sysfs with a "remove" event.
    void unplug(size_t index);
    // Plugs a camera that was pulled out back in, at the same port with a new address: the
    // camera starts afresh (Camera::power_cycle) and udev
    // sees "add". Nothing happens for a camera that is plugged in.
    void replug(size_t index);
    // While held, transfers the host cancels on the camera are not given back to it (as by a host
    // controller slow to return them); releasing the hold gives them back.
    void hold_cancellations(size_t index, bool hold);
    bool plugged(size_t index) const;

    std::string root_dir() const;             // the testbed's root (UMOCKDEV_DIR)
    std::string devnode(size_t index) const;  // "/dev/bus/usb/BBB/DDD"
    std::string syspath(size_t index) const;  // "/sys/devices/usbB/B-P"
    uint8_t bus_number() const;
    uint8_t port(size_t index) const;
    uint8_t address(size_t index) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// True when this process runs with the umockdev preload library.
bool running_under_preload();

// Makes sure the program runs under the umockdev preload: when it does not yet, re-executes
// /proc/self/exe with argv and LD_PRELOAD (and ASAN_OPTIONS=verify_asan_link_order=0 added) and
// does not return; returns true when the preload is already active, false when re-executing failed.
bool reexec_under_preload(int argc, char **argv);

}  // namespace lumox::vcam
