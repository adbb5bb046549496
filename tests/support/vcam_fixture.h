// End-to-end test support: virtual cameras on an emulated USB bus, reachable through the real
// libusb (and so through the whole library) from inside the test process.
//
// Running under the preload
//   libusb sees the virtual bus only when the process runs with libumockdev-preload. An e2e test
//   executable therefore uses lumox::test::vcam_main as its main():
//
//       int main(int argc, char **argv) { return lumox::test::vcam_main(argc, argv); }
//
//   It re-executes the binary under LD_PRELOAD when needed (adding
//   ASAN_OPTIONS=verify_asan_link_order=0), then runs every test. tests/e2e/main.cpp does this for
//   lumox_e2e_tests, so test files there only define tests.
//
// The fixture
//   class MyTest : public lumox::test::VcamTest {};
//   TEST_F(MyTest, Something) { ... camera().set_param_u32(12, 30); ... }
//
//   SetUp() builds a fresh bus from `options_` (one high-speed camera on bus 1, port 1, device
//   address 2 by default); TearDown() removes it. To change the set-up, assign `options_` in the
//   test class's constructor (or call rebuild(options) inside a test):
//
//       MyTest() { options_.cameras.resize(2); options_.cameras[0].interface0_claimable = false; }
//
//   Per camera (vcam::UsbCameraOptions): camera (vcam::CameraConfig: product string, identity,
//   frame rate, paced or as fast as possible, stream segmentation and checksum), port,
//   high_speed, interface0_claimable, serial.
//
//   Access during a test (every call is thread-safe; the bridge runs on umockdev's own thread):
//   - camera(i): the vcam::Camera model of camera i (vcam/camera.h). Examples:
//       camera().set_param_u32(vcam::kParamFrameRate, 50);   // parameters by identifier
//       camera().param(vcam::kParamProduct);                  // current value bytes
//       camera().reg(1, 130);  camera().set_reg(1, 17, 246);  // register spaces
//       camera().commands();   // every class request the host sent (status requests included),
//                              // with its setup packet and data stage; clear_commands() empties it
//       camera().counters();   // bytes streamed, segments and frames sent, capture starts/stops
//       camera().capturing(); camera().capture_arg(); camera().reset_targets();
//       camera().set_paced(false); camera().set_stream_config({...}); camera().set_renderer(...);
//     Faults, each applying to the next matching event (type/value -1 = any command):
//       fault_status_busy(n)            next n status replies report 0xFE
//       fault_fail_next(text, t, v)     next matching command fails: status 0xFF with text
//       fault_status_names(t, v)        next status reply names another command
//       fault_short_reply(k, t, v)      next matching IN data stage comes back k bytes short
//       fault_control_hang(t, v)        next matching control transfer never completes
//                                       (until the host cancels it; it then reaps -ENOENT)
//       fault_control_stall(t, v)       next matching control transfer stalls
//       fault_bulk(BulkAction::kStall | kError | kHang | kEmpty, n)   next n bulk IN transfers:
//                                       -EPIPE, -EPROTO, never complete (until cancelled), or
//                                       complete at once with zero bytes
//       fault_stream(StreamFault::kCorruptHeader | kCorruptData | kDropSegment, n)
//       clear_faults()
//     Stream content: frame f, sample i of a format-2 frame is vcam::pattern_sample(f, i)
//     (vcam/stream.h) unless a renderer is set.
//   - unplug(i): pulls camera i off the bus (in-flight transfers end with "no device", later
//     requests fail with ENODEV, udev sees "remove").
//   - replug(i): plugs camera i back in after unplug(i): same port and serial, a new address,
//     the camera as after power-up; udev sees "add" once the device is complete.
//   - hold_cancellations(hold, i): while held, transfers the host cancels stay with the camera
//     (counted as pending) instead of being given back; releasing gives them back at once.
//   - usb_stats(i): URBs submitted, reaped, discarded and pending, claimed interfaces, the
//     configuration set, halts cleared (vcam::UsbStats in vcam/usb/bus.h).
//   - bus(): the vcam::VirtualBus (devnode(i), syspath(i), port(i), address(i), root_dir()).
//   - wait_until(cond, timeout): polls cond every millisecond until true or the time-out;
//     returns its last value. Use it instead of sleeping.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "vcam/camera.h"
#include "vcam/usb/bus.h"

namespace lumox::test {

// main() of an e2e test executable: re-executes under the preload when needed, then runs the
// tests. Returns the exit status.
int vcam_main(int argc, char **argv);

class VcamTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Replaces the bus by a new one built from `options`.
    void rebuild(const vcam::BusOptions &options);

    vcam::Camera &camera(size_t index = 0) { return bus_->camera(index); }
    vcam::VirtualBus &bus() { return *bus_; }
    vcam::UsbStats usb_stats(size_t index = 0) const { return bus_->stats(index); }
    void unplug(size_t index = 0) { bus_->unplug(index); }
    void replug(size_t index = 0) { bus_->replug(index); }
    void hold_cancellations(bool hold, size_t index = 0) { bus_->hold_cancellations(index, hold); }

    static bool wait_until(const std::function<bool()> &cond,
                           std::chrono::milliseconds timeout = std::chrono::seconds(5));

    vcam::BusOptions options_;

  private:
    std::unique_ptr<vcam::VirtualBus> bus_;
};

}  // namespace lumox::test
