// USB command channel against a virtual camera: register and parameter batches, the status check
// with busy, failing and mismatched replies, short reads, and commands that never complete.

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "ll_fixture.h"

namespace lumox::test {
namespace {

class LlCommands : public LlTest {
  protected:
    void SetUp() override {
        LlTest::SetUp();
        ASSERT_NE(open_listed(), nullptr);
        camera().clear_commands();
    }

    // The commands of one type and value the camera received, in order (status requests apart).
    std::vector<vcam::CommandRecord> sent(uint8_t type, uint16_t value, bool in) {
        std::vector<vcam::CommandRecord> out;
        for (const auto &c : camera().commands())
            if (c.type() == type && c.value() == value && c.is_in() == in) out.push_back(c);
        return out;
    }
    size_t status_requests() { return sent(vcam::kCmdStatus, 0, true).size(); }
};

TEST_F(LlCommands, SeventeenRegistersTravelInTwoBatches) {
    std::vector<uint32_t> values(17);
    for (uint32_t i = 0; i < values.size(); ++i) values[i] = 0x01020304u * (i + 1);
    ASSERT_EQ(lumox_ll_reg_write(&dev_, 2, 0x100, values.data(), 17), 1);
    EXPECT_EQ(camera().reg(2, 0x110), values[16]);
    ASSERT_EQ(sent(vcam::kCmdSensor, vcam::kSensorRegWrite, false).size(), 1u)
        << "a register write goes out in one transfer";

    camera().clear_commands();
    std::vector<uint32_t> read(17, 0);
    ASSERT_EQ(lumox_ll_reg_read(&dev_, 2, 0x100, read.data(), 17), 1);
    EXPECT_EQ(read, values);

    const auto headers = sent(vcam::kCmdSensor, vcam::kSensorRegRead, false);
    ASSERT_EQ(headers.size(), 2u);
    const std::vector<uint8_t> first = {2, 0x00, 0x01, 0, 0, 64, 0};
    const std::vector<uint8_t> second = {2, 0x10, 0x01, 0, 0, 4, 0};
    EXPECT_EQ(headers[0].data, first);
    EXPECT_EQ(headers[1].data, second);
    const auto reads = sent(vcam::kCmdSensor, vcam::kSensorRegRead, true);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].setup.length, 64);
    EXPECT_EQ(reads[1].setup.length, 4);
    EXPECT_EQ(status_requests(), 4u);
}

TEST_F(LlCommands, SevenParametersTravelInThreeBatches) {
    camera().set_param_u32(vcam::kParamFrameRate, 33);
    const uint8_t ids[7] = {vcam::kParamId2,     vcam::kParamProduct,  vcam::kParamId5,
                            vcam::kParamId6,     vcam::kParamChipInfo, vcam::kParamFrameRate,
                            vcam::kParamIntgTime};
    uint8_t records[7][20];
    std::memset(records, 0xAA, sizeof records);
    for (int i = 0; i < 7; ++i) records[i][0] = ids[i];
    ASSERT_EQ(lumox_ll_param_get(&dev_, records, 7), 1);

    for (int i = 0; i < 7; ++i) {
        const std::vector<uint8_t> value = camera().param(ids[i]);
        ASSERT_LE(value.size(), 18u);
        EXPECT_EQ(records[i][0], ids[i]);
        EXPECT_EQ(records[i][1], value.size()) << "parameter " << int(ids[i]);
        EXPECT_EQ(std::vector<uint8_t>(records[i] + 2, records[i] + 2 + value.size()), value);
    }
    EXPECT_EQ(records[5][2], 33);

    const auto writes = sent(vcam::kCmdDevice, vcam::kDeviceParamGet, false);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].data.size(), 60u);
    EXPECT_EQ(writes[1].data.size(), 60u);
    EXPECT_EQ(writes[2].data.size(), 20u);
    EXPECT_EQ(writes[2].data[0], vcam::kParamIntgTime);
    EXPECT_EQ(status_requests(), 6u);
}

// Two application threads on one camera: each thread's commands keep their own status checks,
// so neither sees the other's command in the status record.
TEST_F(LlCommands, TwoThreadsIssuingCommandsDoNotInterleave) {
    camera().set_param_u32(vcam::kParamFrameRate, 33);
    constexpr int kRounds = 40;
    std::atomic<int> reg_failures{0};
    std::atomic<int> param_failures{0};
    std::thread registers([&] {
        for (int i = 0; i < kRounds; ++i) {
            uint32_t values[3] = {0x1000u + i, 0x2000u + i, 0x3000u + i};
            uint32_t back[3] = {};
            if (!lumox_ll_reg_write(&dev_, 2, 0x40, values, 3) ||
                !lumox_ll_reg_read(&dev_, 2, 0x40, back, 3) || back[2] != values[2])
                ++reg_failures;
        }
    });
    std::thread params([&] {
        for (int i = 0; i < kRounds; ++i) {
            uint8_t record[20] = {vcam::kParamFrameRate};
            if (!lumox_ll_param_get(&dev_, record, 1) || record[2] != 33) ++param_failures;
        }
    });
    registers.join();
    params.join();
    EXPECT_EQ(reg_failures.load(), 0);
    EXPECT_EQ(param_failures.load(), 0);
    EXPECT_FALSE(logged("is not as expect")) << "a status check saw the other thread's command";
}

TEST_F(LlCommands, ParameterSetSendsEveryRecordInOneTransfer) {
    uint8_t records[2][20] = {{vcam::kParamFrameRate, 4, 25}, {vcam::kParamIntgTime, 4, 0x2C, 1}};
    ASSERT_EQ(lumox_ll_param_set(&dev_, records, 2), 1);
    EXPECT_EQ(camera().param(vcam::kParamFrameRate)[0], 25);
    const auto writes = sent(vcam::kCmdDevice, vcam::kDeviceParamSet, false);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].data.size(), 40u);
}

TEST_F(LlCommands, BusyStatusIsPolledUntilDone) {
    camera().fault_status_busy(2);
    uint32_t value = 7;
    EXPECT_EQ(lumox_ll_reg_write(&dev_, 2, 0, &value, 1), 1);
    EXPECT_EQ(status_requests(), 3u);
    EXPECT_EQ(camera().reg(2, 0), 7u);
}

TEST_F(LlCommands, StatusNamingAnotherCommandFails) {
    camera().fault_status_names(0xC2, 4);
    uint8_t record[20] = {vcam::kParamFrameRate, 4, 25};
    EXPECT_EQ(lumox_ll_param_set(&dev_, record, 1), 0);
    EXPECT_TRUE(logged(
        "[WRN] [usb_ll_check_last_cmd]  last cmd (t=194,v=4) is not as expect(t=192,v=3)\r\n"));
    EXPECT_EQ(lumox_ll_param_set(&dev_, record, 1), 1) << "the next command is unaffected";
}

TEST_F(LlCommands, FailedStatusReportsTheCamerasText) {
    camera().fault_fail_next("value out of range", vcam::kCmdDevice, vcam::kDeviceParamSet);
    uint8_t record[20] = {vcam::kParamFrameRate, 4, 99};
    EXPECT_EQ(lumox_ll_param_set(&dev_, record, 1), 0);
    EXPECT_TRUE(logged("[ERR] [usb_ll_check_last_cmd] value out of range\n"));
}

TEST_F(LlCommands, ShortReadFailsWithTheArrivedBytesCopied) {
    uint8_t request[20] = {vcam::kParamProduct};
    ASSERT_EQ(lumox_ll_exe_cmd(&dev_, 1, 0xC0, 4, request, 20, 1000), 1);
    ASSERT_EQ(lumox_ll_check_last_cmd(&dev_, 0xC0, 4), 1);

    camera().fault_short_reply(5, vcam::kCmdDevice, vcam::kDeviceParamGet);
    uint8_t reply[20];
    std::memset(reply, 0xAA, sizeof reply);
    EXPECT_EQ(lumox_ll_exe_cmd(&dev_, 0, 0xC0, 4, reply, 20, 1000), 0);
    EXPECT_TRUE(logged("[ERR] [usb_ll_exe_cmd] exe usb cmd failed: "));

    const std::vector<uint8_t> value = camera().param(vcam::kParamProduct);
    EXPECT_EQ(reply[0], vcam::kParamProduct);
    EXPECT_EQ(reply[1], value.size());
    EXPECT_EQ(std::memcmp(reply + 2, value.data(), 13), 0);
    for (int i = 15; i < 20; ++i) EXPECT_EQ(reply[i], 0xAA) << "byte " << i;
}

TEST_F(LlCommands, WideCommandValueReachesTheWireWhileTheCheckComparesItsLowByte) {
    uint8_t payload[12] = {};
    lumox_ll_exe_cmd(&dev_, 1, 0xCC, 0x0311, payload, sizeof payload, 1000);
    const auto cmds = sent(0xCC, 0x0311, false);
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].setup.request_type, vcam::kRequestTypeOut);
}

TEST_F(LlCommands, OversizedPayloadsAreRefusedBeforeTheWire) {
    std::vector<uint8_t> records(20 * 3277);
    EXPECT_EQ(lumox_ll_param_set(&dev_, records.data(), 3277), 0);
    std::vector<uint8_t> big(70000);
    EXPECT_EQ(lumox_ll_exe_cmd(&dev_, 1, 0xCC, 6, big.data(), 70000, 1000), 0);
    std::vector<uint32_t> regs(16383);
    EXPECT_EQ(lumox_ll_reg_write(&dev_, 2, 0, regs.data(), 16383), 0);
    EXPECT_TRUE(camera().commands().empty());
}

TEST_F(LlCommands, CommandThatNeverCompletesFailsAfterAboutOneSecond) {
    // With the shipped waits the transfer's own 1000 ms time-out and the cancel coincide; either
    // ends the command as a failure after about a second.
    camera().fault_control_hang(vcam::kCmdSensor, vcam::kSensorRegWrite);
    uint32_t value = 11;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lumox_ll_reg_write(&dev_, 2, 8, &value, 1), 0);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(950));
    EXPECT_LT(waited, std::chrono::milliseconds(1900));
    EXPECT_EQ(camera().reg(2, 8), 0u);
}

TEST_F(LlCommands, CommandThatNeverCompletesIsCancelledAndTheNextWorks) {
    ll::UsbTimeouts fast = ll::usb_timeouts();
    fast.cmd_cancel_ms = 150;
    fast.cmd_abandon_ms = 300;
    ll::set_usb_timeouts(fast);
    camera().fault_control_hang(vcam::kCmdSensor, vcam::kSensorRegWrite);
    uint32_t value = 11;
    EXPECT_EQ(lumox_ll_reg_write(&dev_, 2, 8, &value, 1), 0);
    EXPECT_TRUE(logged("[WRN] [usb_ll_exe_cmd] contrl trans timeout , cancel it\n"));
    EXPECT_TRUE(logged("[ERR] [usb_ll_exe_cmd] exe usb cmd failed: LIBUSB_ERROR_IO\n"));

    value = 12;
    EXPECT_EQ(lumox_ll_reg_write(&dev_, 2, 8, &value, 1), 1);
    EXPECT_EQ(camera().reg(2, 8), 12u);
}

TEST_F(LlCommands, AbandonedCommandIsFreedByItsLateCompletion) {
    // No grace after the cancel, and the camera holds the cancelled transfer back: the caller
    // gives up before libusb delivers the cancellation, which then arrives on the event thread
    // and must find the transfer still alive.
    ll::UsbTimeouts fast = ll::usb_timeouts();
    fast.cmd_cancel_ms = 100;
    fast.cmd_abandon_ms = 100;
    ll::set_usb_timeouts(fast);
    hold_cancellations(true);
    camera().fault_control_hang(vcam::kCmdSensor, vcam::kSensorRegWrite);
    uint32_t value = 11;
    EXPECT_EQ(lumox_ll_reg_write(&dev_, 2, 8, &value, 1), 0);
    EXPECT_TRUE(logged("[ERR] [usb_ll_exe_cmd] control transfer timeout !\n"));
    EXPECT_TRUE(logged("[ERR] [usb_ll_exe_cmd] exe usb cmd failed: LIBUSB_ERROR_TIMEOUT\n"));
    EXPECT_EQ(usb_stats().urbs_discarded, 1u);
    EXPECT_EQ(usb_stats().urbs_pending, 1u) << "the cancelled transfer is still with the camera";

    hold_cancellations(false);
    ASSERT_TRUE(wait_until([&] {
        const vcam::UsbStats stats = usb_stats();
        return stats.urbs_pending == 0 && stats.urbs_reaped == stats.urbs_submitted;
    })) << "the late completion was reaped";

    ll::set_usb_timeouts(ll::UsbTimeouts{});
    value = 12;
    EXPECT_EQ(lumox_ll_reg_write(&dev_, 2, 8, &value, 1), 1);
    EXPECT_EQ(camera().reg(2, 8), 12u);
}

TEST_F(LlCommands, StalledCommandFails) {
    camera().fault_control_stall(vcam::kCmdDevice, vcam::kDeviceParamSet);
    uint8_t record[20] = {vcam::kParamFrameRate, 4, 25};
    EXPECT_EQ(lumox_ll_param_set(&dev_, record, 1), 0);
    EXPECT_TRUE(logged("[ERR] [usb_ll_exe_cmd] exe usb cmd failed: LIBUSB_ERROR_PIPE\n"));
}

}  // namespace
}  // namespace lumox::test
