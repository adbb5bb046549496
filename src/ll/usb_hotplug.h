// USB transport, hot-plug: watches the bus for cameras (111b:1238) arriving and leaving through
// libusb's hot-plug notifications, on a libusb context of its own.
//
// Threads: libusb calls its notification on the monitor's event thread, inside
// libusb_handle_events; there only the device's location is read (no I/O, as libusb requires)
// and a notice is queued. The monitor's worker thread takes the notices in order and hands each
// to the sink, which may do I/O (open the camera) and may take as long as it needs. start and
// stop run on an application thread, never on the worker thread (stop joins it).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace lumox::ll {

struct HotplugNotice {
    enum class Kind {
        kArrived,
        kLeft,
        kPresent,  // attached when the monitor started (libusb's enumeration)
        kWake      // no change: lets the sink run on the worker thread, in order (wake())
    };
    Kind kind = Kind::kWake;
    uint8_t bus = 0;
    uint8_t port = 0;
    uint8_t addr = 0;
    uint8_t speed = 0;
};

class UsbHotplugMonitor {
  public:
    using Sink = std::function<void(const HotplugNotice &)>;
    enum class Start { kStarted, kUnsupported, kFailed };

    UsbHotplugMonitor();
    ~UsbHotplugMonitor();  // stops
    UsbHotplugMonitor(const UsbHotplugMonitor &) = delete;
    UsbHotplugMonitor &operator=(const UsbHotplugMonitor &) = delete;

    // Starts watching: the cameras attached now are reported first (kPresent), then every
    // change. kUnsupported when libusb has no hot-plug support on this platform.
    Start start(Sink sink);
    // Stops both threads; notices not yet handed to the sink are dropped.
    void stop();
    bool running() const;
    // Queues a kWake notice behind the notices queued so far.
    void wake();
    // True on the worker thread (where the sink runs).
    bool on_worker_thread() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace lumox::ll
