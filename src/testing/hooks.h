// The library's test hooks, in one place: the waits that tests shorten, the allocator and the
// transport they replace, and the process-wide state they reset between tests.
//
// Internal: none of these names is exported by the shared library. Tests link the static archive
// of the same objects (lumox_static) and include this header; it is the only internal header the
// end-to-end tests see, so it depends on nothing but the standard library.
//
// Each hook is defined beside the state it replaces (platform/clock.cpp, ll/usb_dev.cpp,
// api/firmware.cpp, api/lifecycle.cpp, lx/stream.cpp, evk/boot.cpp, evk/mode.cpp). None is meant
// to race with device activity: install hooks before opening a device or between tests.
#pragma once

#include <cstddef>
#include <cstdint>

struct lumox_ll_op;

namespace lumox::platform {

// Every wait of the library goes through platform::sleep_ms, which calls this hook.
using SleepHook = void (*)(uint32_t ms);

// Installs a replacement for sleep_ms (nullptr restores the real sleep); returns the previous one.
SleepHook set_sleep_hook(SleepHook hook);

}  // namespace lumox::platform

namespace lumox::ll {

// The waits of the USB transport. The shipped values are those below; tests shorten them so that
// time-outs and reopen loops run in milliseconds.
struct UsbTimeouts {
    uint32_t bulk_ms = 6000;            // libusb time-out of every bulk capture read
    uint32_t cmd_cancel_ms = 1000;      // a command not completed by then is cancelled
    uint32_t cmd_abandon_ms = 2000;     // ... and abandoned (reported as a time-out) by then
    uint32_t evt_wait_ms = 200;         // one event-handling wait of the event thread
    uint32_t cmd_busy_ms = 30000;       // a status that stays busy longer fails the command
    uint32_t reopen_attempts = 15;      // reopen attempts after a USB-interface reset
    uint32_t reopen_interval_ms = 200;  // sleep before each reopen attempt
};

// The time-outs currently in force.
UsbTimeouts usb_timeouts();
// Replaces the time-outs; returns the previous ones.
UsbTimeouts set_usb_timeouts(const UsbTimeouts &timeouts);

}  // namespace lumox::ll

namespace lumox::api {

// Limits of the flash-image protocol.
struct DataTransferTiming {
    // How long a write keeps asking while the camera reports that it is still erasing.
    int64_t erase_limit_ms = 120000;
};

// Installs new limits; returns the previous ones.
DataTransferTiming set_data_transfer_timing(const DataTransferTiming &timing);

// Makes lumox_dev_open and lumox_dev_list use ops instead of the USB transport (nullptr restores
// it), so that the device layer runs over a fake transport.
void set_transport_for_tests(const lumox_ll_op *ops);

}  // namespace lumox::api

namespace lumox {

// Allocator of the stream parser's frame buffers (malloc by default); memory it returns is
// released with std::free. Tests replace it to make an allocation fail or to count allocations.
// Returns the previous allocator; null restores malloc.
using FrameAllocFn = void *(*)(size_t bytes);
FrameAllocFn set_frame_alloc(FrameAllocFn alloc);

}  // namespace lumox

namespace lumox::evk {

// Asks which bus address the sensor answers on; writes it into reply[0] and returns 0, or -1.
// By default the register bridge's device query ('d').
using DeviceQuery = int (*)(unsigned char reply[2]);

// Installs a device query (nullptr restores the bridge's); returns the previous one, e.g. to model
// a sensor that never answers the boot sequence.
DeviceQuery set_device_query(DeviceQuery query);

// Sets the evaluation kit's current mode (what configGetCurrentMode returns: 0 normal,
// 1 time-of-flight, 2 grayscale) without a camera command. The kit's state is process-wide;
// tests use this to start each from the same mode.
void set_current_mode(int mode);

}  // namespace lumox::evk
