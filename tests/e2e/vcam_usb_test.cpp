// The virtual camera as libusb sees it: enumeration, descriptors, claiming, the command channel,
// the frame stream, and the bridge's faults, time-outs, cancellation and unplugging.
#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "support/vcam_fixture.h"
#include "vcam/wire.h"

namespace lumox::test {
namespace {

using vcam::BulkAction;

constexpr uint16_t kVid = 0x111B;
constexpr uint16_t kPid = 0x1238;

// An independent Fletcher-16, as the host computes it.
uint16_t reference_fletcher(const uint8_t *p, size_t n) {
    unsigned a = 0, b = 0;
    for (size_t i = 0; i < n; ++i) {
        a = (a + p[i]) % 255;
        b = (b + a) % 255;
    }
    return static_cast<uint16_t>(a | (b << 8));
}

class Usb {
  public:
    Usb() { libusb_init(&ctx_); }
    ~Usb() {
        if (handle_) libusb_close(handle_);
        libusb_exit(ctx_);
    }
    std::vector<libusb_device *> cameras() {
        libusb_device **list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx_, &list);
        std::vector<libusb_device *> found;
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor d;
            if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == kVid &&
                d.idProduct == kPid)
                found.push_back(libusb_ref_device(list[i]));
        }
        libusb_free_device_list(list, 1);
        return found;
    }
    libusb_device_handle *open() {
        handle_ = libusb_open_device_with_vid_pid(ctx_, kVid, kPid);
        return handle_;
    }
    // A class command with its data stage; returns libusb's result.
    int out(uint8_t type, uint16_t value, std::vector<uint8_t> data) {
        return libusb_control_transfer(handle_, vcam::kRequestTypeOut, type, value, 0, data.data(),
                                       static_cast<uint16_t>(data.size()), 1000);
    }
    int in(uint8_t type, uint16_t value, uint8_t *buf, uint16_t len) {
        return libusb_control_transfer(handle_, vcam::kRequestTypeIn, type, value, 0, buf, len,
                                       1000);
    }
    std::vector<uint8_t> status() {
        std::vector<uint8_t> s(63);
        EXPECT_EQ(in(vcam::kCmdStatus, 0, s.data(), 63), 63);
        return s;
    }
    libusb_context *ctx() const { return ctx_; }
    libusb_device_handle *handle() const { return handle_; }

  private:
    libusb_context *ctx_ = nullptr;
    libusb_device_handle *handle_ = nullptr;
};

class VcamUsbTest : public VcamTest {};

TEST_F(VcamUsbTest, EnumeratesOpensAndAnswersCommands) {
    Usb usb;
    auto found = usb.cameras();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(libusb_get_bus_number(found[0]), 1);
    EXPECT_EQ(libusb_get_port_number(found[0]), 1);
    EXPECT_EQ(libusb_get_device_address(found[0]), 2);
    EXPECT_EQ(libusb_get_device_speed(found[0]), LIBUSB_SPEED_HIGH);
    libusb_unref_device(found[0]);

    ASSERT_NE(usb.open(), nullptr);
    EXPECT_EQ(libusb_set_configuration(usb.handle(), 1), 0);
    EXPECT_EQ(libusb_claim_interface(usb.handle(), 0), 0);
    EXPECT_EQ(usb_stats().claimed_interfaces, 1u);

    // Parameter get: write phase, status, read phase, status.
    std::vector<uint8_t> record(20, 0);
    record[0] = vcam::kParamProduct;
    EXPECT_EQ(usb.out(vcam::kCmdDevice, vcam::kDeviceParamGet, record), 20);
    EXPECT_EQ(usb.status()[0], vcam::kStatusDone);
    ASSERT_EQ(usb.in(vcam::kCmdDevice, vcam::kDeviceParamGet, record.data(), 20), 20);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&record[2]), record[1]), "LXC660-E2-2.0.3");
    auto status = usb.status();
    EXPECT_EQ(status[0], vcam::kStatusDone);
    EXPECT_EQ(status[1], vcam::kCmdDevice);
    EXPECT_EQ(status[2], vcam::kDeviceParamGet);

    // Register write and read back through the control endpoint.
    std::vector<uint8_t> write = {1, 150, 0, 0, 0, 8, 0, 0x12, 0, 0, 0, 0x34, 0, 0, 0};
    EXPECT_EQ(usb.out(vcam::kCmdSensor, vcam::kSensorRegWrite, write), 15);
    EXPECT_EQ(camera().reg(1, 151), 0x34u);
    EXPECT_EQ(usb.out(vcam::kCmdSensor, vcam::kSensorRegRead, {1, 150, 0, 0, 0, 8, 0}), 7);
    uint8_t values[8] = {};
    EXPECT_EQ(usb.in(vcam::kCmdSensor, vcam::kSensorRegRead, values, 8), 8);
    EXPECT_EQ(values[0], 0x12);
    EXPECT_EQ(values[4], 0x34);

    // The camera saw every class request with its data stage.
    auto log = camera().commands();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().type(), vcam::kCmdDevice);
    EXPECT_EQ(log.front().data[0], vcam::kParamProduct);
}

TEST_F(VcamUsbTest, StandardRequestsAndStringsWork) {
    Usb usb;
    ASSERT_NE(usb.open(), nullptr);
    unsigned char text[64];
    libusb_device_descriptor d;
    ASSERT_EQ(libusb_get_device_descriptor(libusb_get_device(usb.handle()), &d), 0);
    ASSERT_GT(libusb_get_string_descriptor_ascii(usb.handle(), d.iProduct, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char *>(text), "LXC660-E2-2.0.3");
    uint8_t buf[10];
    // No device qualifier: the request stalls.
    EXPECT_EQ(libusb_control_transfer(usb.handle(), 0x80, 6, 0x0600, 0, buf, 10, 1000),
              LIBUSB_ERROR_PIPE);
}

TEST_F(VcamUsbTest, BulkReadsCarryValidSegmentsWithThePattern) {
    camera().set_paced(false);
    Usb usb;
    ASSERT_NE(usb.open(), nullptr);
    ASSERT_EQ(libusb_claim_interface(usb.handle(), 0), 0);
    EXPECT_EQ(usb.out(vcam::kCmdSensor, vcam::kSensorCaptureStart, {0, 0, 0, 0}), 4);
    EXPECT_TRUE(camera().capturing());

    std::vector<uint8_t> buf(153600);
    int got = 0;
    ASSERT_EQ(libusb_bulk_transfer(usb.handle(), 0x81, buf.data(), 153600, &got, 1000), 0);
    ASSERT_EQ(got, 153600);  // one URB: the transfer is not split
    EXPECT_EQ(buf[0], 0xFB);
    EXPECT_EQ(buf[1], 0x98);
    EXPECT_EQ(vcam::get_le16(&buf[34]), reference_fletcher(buf.data(), 34));
    EXPECT_EQ(vcam::get_le32(&buf[4]), 153600u);  // segment length
    EXPECT_EQ(vcam::get_le32(&buf[8]), 614400u);  // frame length
    EXPECT_EQ(buf[32] & 1, 1);                    // frame start
    for (uint32_t i = 0; i < (153600 - 36) / 2; ++i)
        ASSERT_EQ(vcam::get_le16(&buf[36 + 2 * i]), vcam::pattern_sample(0, i)) << i;

    // Throughput of back-to-back reads, as fast as the bridge goes.
    const auto t0 = std::chrono::steady_clock::now();
    uint64_t total = 0;
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(libusb_bulk_transfer(usb.handle(), 0x81, buf.data(), 153600, &got, 1000), 0);
        total += static_cast<uint64_t>(got);
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("[ vcam     ] %.1f MB/s with one transfer at a time\n", total / s / 1e6);
    EXPECT_EQ(camera().counters().bytes_streamed, total + 153600);
}

TEST_F(VcamUsbTest, PacedStreamEndsEachFrameWithAShortTransfer) {
    camera().set_param_u32(vcam::kParamFrameRate, 200);
    Usb usb;
    ASSERT_NE(usb.open(), nullptr);
    ASSERT_EQ(libusb_claim_interface(usb.handle(), 0), 0);
    EXPECT_EQ(usb.out(vcam::kCmdSensor, vcam::kSensorCaptureStart, {0, 0, 0, 0}), 4);
    std::vector<uint8_t> buf(153600);
    std::vector<int> lengths;
    for (int i = 0; i < 10; ++i) {
        int got = 0;
        ASSERT_EQ(libusb_bulk_transfer(usb.handle(), 0x81, buf.data(), 153600, &got, 2000), 0);
        lengths.push_back(got);
    }
    // A frame is 4 segments of 153600 data bytes with a 36-byte header each.
    const std::vector<int> expected = {153600, 153600, 153600, 153600, 144,
                                       153600, 153600, 153600, 153600, 144};
    EXPECT_EQ(lengths, expected);
}

TEST_F(VcamUsbTest, BulkFaultsStallErrorAndTimeOut) {
    camera().set_paced(false);
    Usb usb;
    ASSERT_NE(usb.open(), nullptr);
    ASSERT_EQ(libusb_claim_interface(usb.handle(), 0), 0);
    EXPECT_EQ(usb.out(vcam::kCmdSensor, vcam::kSensorCaptureStart, {0, 0, 0, 0}), 4);
    std::vector<uint8_t> buf(153600);
    int got = 0;
    camera().fault_bulk(BulkAction::kStall, 1);
    EXPECT_EQ(libusb_bulk_transfer(usb.handle(), 0x81, buf.data(), 153600, &got, 1000),
              LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_clear_halt(usb.handle(), 0x81), 0);
    EXPECT_EQ(usb_stats().clear_halts, 1u);
    camera().fault_bulk(BulkAction::kError, 1);
    EXPECT_EQ(libusb_bulk_transfer(usb.handle(), 0x81, buf.data(), 153600, &got, 1000),
              LIBUSB_ERROR_IO);
    camera().fault_bulk(BulkAction::kHang, 1);
    EXPECT_EQ(libusb_bulk_transfer(usb.handle(), 0x81, buf.data(), 153600, &got, 50),
              LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(usb_stats().urbs_discarded, 1u);
    EXPECT_EQ(usb_stats().urbs_pending, 0u);
    // The stream goes on afterwards.
    EXPECT_EQ(libusb_bulk_transfer(usb.handle(), 0x81, buf.data(), 153600, &got, 1000), 0);
    EXPECT_EQ(got, 153600);
}

TEST_F(VcamUsbTest, ControlTransferThatNeverCompletesIsCancelledAndTheNextOneWorks) {
    Usb usb;
    ASSERT_NE(usb.open(), nullptr);
    camera().fault_control_hang(vcam::kCmdSensor, vcam::kSensorCaptureStart);
    EXPECT_EQ(usb.out(vcam::kCmdSensor, vcam::kSensorCaptureStart, {0, 0, 0, 0}),
              LIBUSB_ERROR_TIMEOUT);
    EXPECT_FALSE(camera().capturing());
    EXPECT_EQ(usb.out(vcam::kCmdSensor, vcam::kSensorCaptureStart, {0, 0, 0, 0}), 4);
    EXPECT_TRUE(camera().capturing());
}

TEST_F(VcamUsbTest, UnplugCompletesPendingTransfersWithNoDevice) {
    Usb usb;
    ASSERT_NE(usb.open(), nullptr);
    ASSERT_EQ(libusb_claim_interface(usb.handle(), 0), 0);
    // Not capturing: the bulk read waits until the camera goes away.
    std::vector<uint8_t> buf(153600);
    int status = -1;
    libusb_transfer *xfer = libusb_alloc_transfer(0);
    libusb_fill_bulk_transfer(
        xfer, usb.handle(), 0x81, buf.data(), 153600,
        [](libusb_transfer *t) { *static_cast<int *>(t->user_data) = t->status; }, &status, 0);
    ASSERT_EQ(libusb_submit_transfer(xfer), 0);
    ASSERT_TRUE(wait_until([&] { return usb_stats().urbs_pending == 1; }));
    unplug();
    timeval tv{0, 10000};
    ASSERT_TRUE(wait_until([&] {
        libusb_handle_events_timeout(usb.ctx(), &tv);
        return status != -1;
    }));
    EXPECT_EQ(status, LIBUSB_TRANSFER_NO_DEVICE);
    libusb_free_transfer(xfer);
    uint8_t s[63];
    EXPECT_EQ(usb.in(vcam::kCmdStatus, 0, s, 63), LIBUSB_ERROR_NO_DEVICE);
}

// Sixteen bulk reads outstanding, as the host keeps them: every segment arrives in order, with a
// valid header, and the frame indices run on without a gap.
struct StreamCheck {
    std::vector<uint8_t> pending;  // bytes not yet cut into segments
    int next_sidx = 0;
    int frames = 0;
    int last_fridx = -1;
    bool broken = false;
    uint64_t bytes = 0;

    void feed(const uint8_t *p, int n) {
        bytes += static_cast<uint64_t>(n);
        pending.insert(pending.end(), p, p + n);
        size_t pos = 0;
        while (pending.size() - pos >= 36) {
            const uint8_t *h = &pending[pos];
            const uint32_t len = vcam::get_le32(h + 4);
            if (pending.size() - pos < 36 + len) break;
            if (h[0] != 0xFB || h[1] != 0x98 ||
                vcam::get_le16(h + 34) != reference_fletcher(h, 34) ||
                vcam::get_le16(h + 2) != static_cast<uint16_t>(next_sidx))
                broken = true;
            ++next_sidx;
            if (h[32] & 1) {
                const int fridx = vcam::get_le16(h + 12);
                if (last_fridx >= 0 && fridx != static_cast<uint16_t>(last_fridx + 1))
                    broken = true;
                last_fridx = fridx;
                ++frames;
            }
            pos += 36 + len;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(pos));
    }
};

void stream_with_16_transfers(Usb &usb, StreamCheck &check, int frames_wanted) {
    struct Slot {
        StreamCheck *check;
        std::vector<uint8_t> buf = std::vector<uint8_t>(153600);
        libusb_transfer *xfer = libusb_alloc_transfer(0);
        bool resubmit = true;
        bool idle = false;
    };
    std::vector<Slot> slots(16);
    auto done = [](libusb_transfer *t) {
        auto *slot = static_cast<Slot *>(t->user_data);
        if (t->status == LIBUSB_TRANSFER_COMPLETED) slot->check->feed(t->buffer, t->actual_length);
        if (slot->resubmit && t->status == LIBUSB_TRANSFER_COMPLETED &&
            libusb_submit_transfer(t) == 0)
            return;
        slot->idle = true;
    };
    for (Slot &s : slots) {
        s.check = &check;
        libusb_fill_bulk_transfer(s.xfer, usb.handle(), 0x81, s.buf.data(), 153600, done, &s, 6000);
        ASSERT_EQ(libusb_submit_transfer(s.xfer), 0);
    }
    ASSERT_EQ(usb.out(vcam::kCmdSensor, vcam::kSensorCaptureStart, {0, 0, 0, 0}), 4);
    timeval tv{0, 100000};
    while (check.frames < frames_wanted && !check.broken)
        libusb_handle_events_timeout(usb.ctx(), &tv);
    for (Slot &s : slots) {
        s.resubmit = false;
        libusb_cancel_transfer(s.xfer);
    }
    auto all_idle = [&] {
        for (Slot &s : slots)
            if (!s.idle) return false;
        return true;
    };
    while (!all_idle()) libusb_handle_events_timeout(usb.ctx(), &tv);
    for (Slot &s : slots) libusb_free_transfer(s.xfer);
}

TEST_F(VcamUsbTest, PacedStreamStaysInOrderWithSixteenTransfersOutstanding) {
    camera().set_param_u32(vcam::kParamFrameRate, 100);
    Usb usb;
    ASSERT_NE(usb.open(), nullptr);
    ASSERT_EQ(libusb_claim_interface(usb.handle(), 0), 0);
    StreamCheck check;
    stream_with_16_transfers(usb, check, 30);
    EXPECT_FALSE(check.broken);
    EXPECT_GE(check.frames, 30);
    EXPECT_EQ(usb_stats().urbs_pending, 0u);
}

TEST_F(VcamUsbTest, UnpacedStreamWithSixteenTransfersOutstanding) {
    camera().set_paced(false);
    Usb usb;
    ASSERT_NE(usb.open(), nullptr);
    ASSERT_EQ(libusb_claim_interface(usb.handle(), 0), 0);
    StreamCheck check;
    const auto t0 = std::chrono::steady_clock::now();
    stream_with_16_transfers(usb, check, 50);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("[ vcam     ] %.1f MB/s with 16 transfers outstanding\n", check.bytes / s / 1e6);
    EXPECT_FALSE(check.broken);
    EXPECT_EQ(usb_stats().urbs_pending, 0u);
}

class TwoCamerasTest : public VcamTest {
  protected:
    TwoCamerasTest() {
        options_.cameras.resize(2);
        options_.cameras[0].interface0_claimable = false;
        options_.cameras[1].high_speed = false;
        options_.cameras[1].port = 4;
    }
};

TEST_F(TwoCamerasTest, ListsBothWithTheirPortsSpeedsAndInterfaces) {
    Usb usb;
    auto found = usb.cameras();
    ASSERT_EQ(found.size(), 2u);
    std::vector<std::pair<int, int>> port_speed;
    for (libusb_device *d : found) {
        port_speed.emplace_back(libusb_get_port_number(d), libusb_get_device_speed(d));
        if (libusb_get_port_number(d) == 1) {
            libusb_device_handle *h = nullptr;
            ASSERT_EQ(libusb_open(d, &h), 0);
            EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_BUSY);
            EXPECT_EQ(libusb_claim_interface(h, 1), 0);
            libusb_close(h);
        }
        libusb_unref_device(d);
    }
    std::sort(port_speed.begin(), port_speed.end());
    EXPECT_EQ(port_speed,
              (std::vector<std::pair<int, int>>{{1, LIBUSB_SPEED_HIGH}, {4, LIBUSB_SPEED_FULL}}));
}

}  // namespace
}  // namespace lumox::test
