// The camera model's command channel: status records, parameters, registers, capture, resets and
// the control faults, driven through setup packets as the host sends them.
#include "vcam/camera.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace lumox::vcam {
namespace {

class CameraTest : public ::testing::Test {
  protected:
    ControlResult out(uint8_t type, uint16_t value, std::vector<uint8_t> data) {
        SetupPacket s{kRequestTypeOut, type, value, 0, static_cast<uint16_t>(data.size())};
        return cam_.control(s, data);
    }
    ControlResult in(uint8_t type, uint16_t value, uint16_t len) {
        SetupPacket s{kRequestTypeIn, type, value, 0, len};
        return cam_.control(s, {});
    }
    std::vector<uint8_t> status() { return in(kCmdStatus, 0, 63).in_data; }
    std::string status_text() {
        auto s = status();
        return std::string(reinterpret_cast<const char *>(&s[3]));
    }
    static std::vector<uint8_t> record(uint8_t id, std::vector<uint8_t> value = {}) {
        std::vector<uint8_t> r(kParamRecordSize, 0);
        r[0] = id;
        r[1] = static_cast<uint8_t>(value.size());
        std::copy(value.begin(), value.end(), r.begin() + 2);
        return r;
    }
    // Parameter get of the given identifiers, as the host's two phases with status checks.
    std::vector<uint8_t> get_params(std::vector<uint8_t> ids) {
        std::vector<uint8_t> req;
        for (uint8_t id : ids) {
            auto r = record(id);
            req.insert(req.end(), r.begin(), r.end());
        }
        out(kCmdDevice, kDeviceParamGet, req);
        EXPECT_EQ(status()[0], kStatusDone);
        auto reply = in(kCmdDevice, kDeviceParamGet, static_cast<uint16_t>(req.size())).in_data;
        EXPECT_EQ(status()[0], kStatusDone);
        return reply;
    }
    static std::vector<uint8_t> reg_header(uint8_t target, uint32_t base, uint16_t count) {
        std::vector<uint8_t> h(kRegHeaderSize);
        h[0] = target;
        put_le32(&h[1], base);
        put_le16(&h[5], static_cast<uint16_t>(4 * count));
        return h;
    }
    uint32_t read_reg(uint8_t target, uint32_t address) {
        out(kCmdSensor, kSensorRegRead, reg_header(target, address, 1));
        EXPECT_EQ(status()[0], kStatusDone);
        auto v = in(kCmdSensor, kSensorRegRead, 4).in_data;
        EXPECT_EQ(status()[0], kStatusDone);
        return get_le32(v.data());
    }
    void write_reg(uint8_t target, uint32_t address, uint32_t value) {
        auto p = reg_header(target, address, 1);
        p.resize(p.size() + 4);
        put_le32(&p[kRegHeaderSize], value);
        out(kCmdSensor, kSensorRegWrite, p);
        EXPECT_EQ(status()[0], kStatusDone);
    }

    Camera cam_;
};

TEST_F(CameraTest, StatusNamesTheLastCommandAndIgnoresItself) {
    out(kCmdSensor, kSensorCaptureStart, {0, 0, 0, 0});
    auto s = status();
    ASSERT_EQ(s.size(), kStatusRecordSize);
    EXPECT_EQ(s[0], kStatusDone);
    EXPECT_EQ(s[1], kCmdSensor);
    EXPECT_EQ(s[2], kSensorCaptureStart);
    EXPECT_EQ(status(), s);  // a status request is not itself the last command
}

TEST_F(CameraTest, ParametersRoundTripAndKeepTheirDefaults) {
    auto reply = get_params({kParamProduct, kParamFrameRate, kParamChipInfo});
    ASSERT_EQ(reply.size(), 60u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(&reply[2]), reply[1]), "LXC660-E2-2.0.3");
    EXPECT_EQ(reply[20], kParamFrameRate);
    EXPECT_EQ(reply[21], 4);
    EXPECT_EQ(get_le32(&reply[22]), 20u);
    EXPECT_EQ(reply[41], 6);  // part version, chip id, wafer id
    EXPECT_EQ(get_le16(&reply[44]), 12u);
    EXPECT_EQ(get_le16(&reply[46]), 3u);

    std::vector<uint8_t> set = record(kParamFrameRate, {30, 0, 0, 0});
    auto other = record(44, {1, 2, 3});  // identifier 300 arrives as its low byte
    set.insert(set.end(), other.begin(), other.end());
    out(kCmdDevice, kDeviceParamSet, set);
    EXPECT_EQ(status()[0], kStatusDone);
    reply = get_params({kParamFrameRate, 44, 99});
    EXPECT_EQ(get_le32(&reply[2]), 30u);
    EXPECT_EQ(reply[21], 3);
    EXPECT_EQ(reply[22], 1);
    EXPECT_EQ(reply[40], 99);  // unknown identifier: length 0, value zero
    EXPECT_EQ(reply[41], 0);
    EXPECT_EQ(cam_.param(kParamFrameRate), (std::vector<uint8_t>{30, 0, 0, 0}));
}

TEST_F(CameraTest, MalformedParameterRequestsFailWithAText) {
    std::vector<uint8_t> four;
    for (uint8_t id : {2, 3, 5, 6}) {
        auto r = record(id);
        four.insert(four.end(), r.begin(), r.end());
    }
    out(kCmdDevice, kDeviceParamGet, four);  // more than 3 records per get
    EXPECT_EQ(status()[0], kStatusFailed);
    EXPECT_NE(status_text(), "");

    out(kCmdDevice, kDeviceParamSet, std::vector<uint8_t>(19, 0));  // not whole records
    EXPECT_EQ(status()[0], kStatusFailed);

    auto bad = record(13);
    bad[1] = 19;  // longer than the value area
    out(kCmdDevice, kDeviceParamSet, bad);
    EXPECT_EQ(status()[0], kStatusFailed);

    out(kCmdDevice, kDeviceParamSet, record(kParamFrameRate, {0, 0, 0, 0}));
    EXPECT_EQ(status_text(), "frame rate out of range");
    EXPECT_EQ(cam_.param(kParamFrameRate), (std::vector<uint8_t>{20, 0, 0, 0}));

    out(kCmdDevice, kDeviceParamGet, record(3));
    in(kCmdDevice, kDeviceParamGet, 40);  // read phase longer than the write phase asked for
    EXPECT_EQ(status()[0], kStatusFailed);
}

TEST_F(CameraTest, SensorRegistersHoldBytesAndTheIdentityPort) {
    write_reg(kTargetSensor, 200, 0x1AB);
    EXPECT_EQ(read_reg(kTargetSensor, 200), 0xABu);  // 8-bit registers

    // System clock from the clock registers: ((reg130 & 0x1F) + 1) * 4000 >> ((reg129 >> 4) & 3).
    const uint32_t sysclk =
        (((read_reg(1, 130) & 0x1F) + 1) * 4000) >> ((read_reg(1, 129) >> 4) & 3);
    EXPECT_EQ(sysclk, 96000u);

    write_reg(kTargetSensor, kRegIdentityIndex, kIdentityWafer);
    const uint32_t wafer = read_reg(1, 18) << 8 | read_reg(1, 18);
    write_reg(kTargetSensor, kRegIdentityIndex, kIdentityChip);
    const uint32_t chip = read_reg(1, 18) << 8 | read_reg(1, 18);
    write_reg(kTargetSensor, kRegIdentityIndex, kIdentityPartType);
    EXPECT_EQ(wafer, 3u);
    EXPECT_EQ(chip, 12u);
    EXPECT_EQ(read_reg(1, 18), 2u);
    EXPECT_EQ(read_reg(1, 18), 7u);  // part version follows

    write_reg(5, 0x10000, 0xDEADBEEF);  // other targets hold 32-bit words anywhere
    EXPECT_EQ(read_reg(5, 0x10000), 0xDEADBEEFu);
}

TEST_F(CameraTest, RegisterRequestsOutOfRangeOrTooLongFail) {
    out(kCmdSensor, kSensorRegRead, reg_header(1, 250, 7));
    EXPECT_EQ(status()[0], kStatusFailed);
    out(kCmdSensor, kSensorRegRead, reg_header(1, 0, 17));
    EXPECT_EQ(status()[0], kStatusFailed);
    auto p = reg_header(1, 0, 2);
    p.resize(p.size() + 4);  // one value for a count of two
    out(kCmdSensor, kSensorRegWrite, p);
    EXPECT_EQ(status()[0], kStatusFailed);
    in(kCmdSensor, kSensorRegRead, 4);  // a read phase without its write phase
    EXPECT_EQ(status()[0], kStatusFailed);
}

TEST_F(CameraTest, CaptureAndResetChangeState) {
    out(kCmdSensor, kSensorCaptureStart, {7, 0, 0, 0});
    EXPECT_TRUE(cam_.capturing());
    EXPECT_EQ(cam_.capture_arg(), 7u);
    out(kCmdSensor, kSensorCaptureStop, {0xC2});
    EXPECT_FALSE(cam_.capturing());
    EXPECT_EQ(cam_.counters().capture_starts, 1u);
    EXPECT_EQ(cam_.counters().capture_stops, 1u);

    cam_.set_param_u32(kParamFrameRate, 55);
    cam_.set_reg(1, 200, 9);
    out(kCmdDevice, kDeviceReset, {0, 0, 0, 0});  // whole camera: defaults again
    EXPECT_EQ(status()[0], kStatusDone);
    EXPECT_EQ(cam_.param(kParamFrameRate)[0], 20);
    EXPECT_EQ(cam_.reg(1, 200), 0u);
    out(kCmdDevice, kDeviceReset, {9, 0, 0, 0});
    EXPECT_EQ(status()[0], kStatusFailed);
    EXPECT_EQ(cam_.reset_targets(), (std::vector<uint8_t>{0}));
}

// A paced camera keeps its own frame clock: a host that comes back late gets one frame at once
// and the next a period later, not the frames it missed in a burst.
TEST_F(CameraTest, APacedCameraNeverSendsTheFramesItWasNotReadFor) {
    cam_.set_param_u32(kParamFrameRate, 20);
    out(kCmdSensor, kSensorCaptureStart, {0, 0, 0, 0});
    std::vector<uint8_t> buf(4u << 20);
    EXPECT_GT(cam_.read_stream(buf), 0u);                         // the first frame is due at once
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // six periods unread
    EXPECT_GT(cam_.read_stream(buf), 0u);
    EXPECT_EQ(cam_.read_stream(buf), 0u) << "a missed frame sent late";
    const auto next = cam_.next_frame_due();
    ASSERT_TRUE(next.has_value());
    EXPECT_GT(*next, Clock::now());
    EXPECT_EQ(cam_.counters().frames_sent, 2u);
}

TEST_F(CameraTest, UnknownCommandsFailAndUnknownReadsStall) {
    out(0xC4, 2, {1});
    EXPECT_EQ(status()[0], kStatusFailed);
    EXPECT_EQ(status_text(), "unknown command 0xC4/2");
    EXPECT_EQ(in(0xC4, 2, 4).kind, ControlResult::Kind::kStall);
    // Data actions reach the flash store; one without a read phase fails its status instead.
    EXPECT_EQ(in(kCmdData, 0, 16).kind, ControlResult::Kind::kAck);
    EXPECT_EQ(in(kCmdData, 7, 13).kind, ControlResult::Kind::kAck);
    EXPECT_EQ(status()[0], kStatusFailed);
}

TEST_F(CameraTest, StatusFaults) {
    out(kCmdDevice, kDeviceParamSet, record(kParamFrameRate, {25, 0, 0, 0}));
    cam_.fault_status_busy(2);
    EXPECT_EQ(status()[0], kStatusBusy);
    EXPECT_EQ(status()[0], kStatusBusy);
    EXPECT_EQ(status()[0], kStatusDone);

    cam_.fault_status_names(0xC2, 4);
    auto s = status();
    EXPECT_EQ(s[1], 0xC2);
    EXPECT_EQ(s[2], 4);
    EXPECT_EQ(status()[1], kCmdDevice);  // once only

    cam_.fault_fail_next("sensor not ready", kCmdSensor, kSensorCaptureStart);
    out(kCmdDevice, kDeviceParamSet, record(kParamFrameRate, {26, 0, 0, 0}));  // not matching
    EXPECT_EQ(status()[0], kStatusDone);
    out(kCmdSensor, kSensorCaptureStart, {0, 0, 0, 0});
    EXPECT_EQ(status()[0], kStatusFailed);
    EXPECT_EQ(status_text(), "sensor not ready");
    EXPECT_FALSE(cam_.capturing());  // a failed command is not carried out
}

TEST_F(CameraTest, TransferFaultsShortReplyHangAndStall) {
    cam_.fault_short_reply(5, kCmdStatus, 0);
    EXPECT_EQ(in(kCmdStatus, 0, 63).in_data.size(), 58u);
    EXPECT_EQ(in(kCmdStatus, 0, 63).in_data.size(), 63u);

    cam_.fault_control_hang(kCmdSensor, kSensorCaptureStart);
    EXPECT_EQ(out(kCmdSensor, kSensorCaptureStart, {0, 0, 0, 0}).kind,
              ControlResult::Kind::kNeverComplete);
    EXPECT_FALSE(cam_.capturing());
    EXPECT_TRUE(cam_.commands().back().hung);

    cam_.fault_control_stall();
    EXPECT_EQ(in(kCmdStatus, 0, 63).kind, ControlResult::Kind::kStall);
    cam_.clear_faults();
    EXPECT_EQ(in(kCmdStatus, 0, 63).kind, ControlResult::Kind::kAck);
}

TEST_F(CameraTest, CommandLogRecordsWhatTheHostSent) {
    out(kCmdSensor, kSensorCaptureStop, {0xC2});
    status();
    auto log = cam_.commands();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_FALSE(log[0].is_in());
    EXPECT_EQ(log[0].type(), kCmdSensor);
    EXPECT_EQ(log[0].value(), kSensorCaptureStop);
    EXPECT_EQ(log[0].data, (std::vector<uint8_t>{0xC2}));
    EXPECT_TRUE(log[1].is_in());
    EXPECT_EQ(log[1].data.size(), 63u);
    cam_.clear_commands();
    EXPECT_TRUE(cam_.commands().empty());
}

}  // namespace
}  // namespace lumox::vcam
