// USB transport against virtual cameras: listing, opening by location or as the first camera,
// the full-speed warning, the interface fallback, and the USB-interface reset with its reopen.

#include <libusb-1.0/libusb.h>

#include <atomic>
#include <set>
#include <string>

#include "ll_fixture.h"

namespace lumox::test {
namespace {

class LlTwoCameras : public LlTest {
  protected:
    LlTwoCameras() { options_.cameras.resize(2); }
};

TEST_F(LlTwoCameras, ListingWithMaxOneFillsOnlyTheFirstCameraListed) {
    lumox_ll_dev all[3] = {};
    ASSERT_EQ(lumox_ll_dev_list(all, 3), 2);
    const std::set<int> ports = {all[0].port, all[1].port};
    EXPECT_EQ(ports, (std::set<int>{bus().port(0), bus().port(1)}));

    lumox_ll_dev one[2] = {};
    one[1].bus = 0xEE;
    ASSERT_EQ(lumox_ll_dev_list(one, 1), 1);
    EXPECT_EQ(one[0].bus, all[0].bus);
    EXPECT_EQ(one[0].port, all[0].port);
    EXPECT_EQ(one[0].addr, all[0].addr);
    EXPECT_EQ(one[0].speed, LIBUSB_SPEED_HIGH);
    EXPECT_EQ(one[0].location_valid, 1);
    EXPECT_EQ(one[0].if_type, 0);
    EXPECT_EQ(one[0].ops, &ll_op_usb);
    EXPECT_EQ(one[0].priv, nullptr);
    EXPECT_EQ(one[1].bus, 0xEE) << "the record beyond max was written";
}

TEST_F(LlTwoCameras, ListedRecordOpensItsOwnCameraOnly) {
    lumox_ll_dev all[2] = {};
    ASSERT_EQ(lumox_ll_dev_list(all, 2), 2);
    dev_ = all[1];
    ASSERT_EQ(lumox_ll_dev_open(&dev_), &dev_);
    const size_t opened = dev_.port == bus().port(0) ? 0 : 1;
    EXPECT_EQ(dev_.port, bus().port(opened));
    EXPECT_EQ(usb_stats(opened).claimed_interfaces, 1u);
    EXPECT_EQ(usb_stats(1 - opened).claimed_interfaces, 0u);
    lumox_ll_dev_close(&dev_);
    EXPECT_EQ(dev_.priv, nullptr);
    EXPECT_EQ(usb_stats(opened).claimed_interfaces, 0u);
}

TEST_F(LlTest, MovedCameraFailsToOpenWhileABlankRecordOpensTheFirstCamera) {
    ASSERT_EQ(lumox_ll_dev_list(&dev_, 1), 1);
    ASSERT_EQ(dev_.port, bus().port(0));

    vcam::BusOptions moved = options_;
    moved.cameras[0].port = static_cast<uint8_t>(bus().port(0) + 3);
    rebuild(moved);
    EXPECT_EQ(lumox_ll_dev_open(&dev_), nullptr);
    EXPECT_EQ(dev_.priv, nullptr);
    EXPECT_EQ(usb_stats().urbs_submitted, 0u);
    EXPECT_EQ(usb_stats().claimed_interfaces, 0u);

    lumox_ll_dev blank{};
    ASSERT_EQ(lumox_ll_dev_open(&blank), &blank);
    EXPECT_EQ(blank.ops, &ll_op_usb);
    EXPECT_EQ(blank.location_valid, 1);
    EXPECT_EQ(blank.bus, bus().bus_number());
    EXPECT_EQ(blank.port, bus().port(0));
    EXPECT_EQ(blank.addr, bus().address(0));
    EXPECT_EQ(usb_stats().configuration, 1u);
    EXPECT_EQ(usb_stats().claimed_interfaces, 1u);
    lumox_ll_dev_close(&blank);
    EXPECT_EQ(blank.priv, nullptr);
    EXPECT_EQ(blank.port, bus().port(0)) << "the location survives close";
}

class LlFullSpeed : public LlTest {
  protected:
    LlFullSpeed() { options_.cameras[0].high_speed = false; }
};

TEST_F(LlFullSpeed, OpensWithAWarning) {
    ASSERT_EQ(lumox_ll_dev_open(&dev_), &dev_);
    EXPECT_EQ(dev_.speed, LIBUSB_SPEED_FULL);
    EXPECT_TRUE(logged("[WRN] [_usb_ll_dev_open] found lumox device not in HS mode (speed=2) @ "));
}

class LlInterfaceOneOnly : public LlTest {
  protected:
    LlInterfaceOneOnly() { options_.cameras[0].interface0_claimable = false; }
};

TEST_F(LlInterfaceOneOnly, FallsBackToInterfaceOne) {
    ASSERT_NE(open_listed(), nullptr);
    EXPECT_EQ(usb_stats().claimed_interfaces, 2u);
    uint8_t record[20] = {vcam::kParamProduct};
    EXPECT_EQ(lumox_ll_param_get(&dev_, record, 1), 1);
    lumox_ll_dev_close(&dev_);
    EXPECT_EQ(usb_stats().claimed_interfaces, 0u);
}

TEST_F(LlTest, OpeningAnOpenRecordKeepsItOpen) {
    ASSERT_NE(open_listed(), nullptr);
    void *priv = dev_.priv;
    EXPECT_EQ(lumox_ll_dev_open(&dev_), &dev_);
    EXPECT_EQ(dev_.priv, priv);
    uint32_t value = 0;
    EXPECT_EQ(lumox_ll_reg_read(&dev_, 2, 0, &value, 1), 1);
}

std::atomic<int> g_sleeps{0};
std::atomic<uint32_t> g_slept_ms{0};
void count_sleep(uint32_t ms) {
    ++g_sleeps;
    g_slept_ms += ms;
}

class LlReset : public LlTest {
  protected:
    void SetUp() override {
        LlTest::SetUp();
        g_sleeps = 0;
        g_slept_ms = 0;
        platform::set_sleep_hook(count_sleep);
    }
};

TEST_F(LlReset, UsbInterfaceResetReopensOnTheSamePort) {
    ASSERT_NE(open_listed(), nullptr);
    const lumox_ll_dev before = dev_;
    EXPECT_EQ(lumox_ll_dev_reset(&dev_, 3), 1);
    ASSERT_NE(dev_.priv, nullptr);
    EXPECT_EQ(dev_.bus, before.bus);
    EXPECT_EQ(dev_.port, before.port);
    EXPECT_EQ(camera().reset_targets(), std::vector<uint8_t>{3});
    EXPECT_GE(g_sleeps.load(), 1);
    EXPECT_TRUE(logged("[usb_ll_dev_reset] Reset usb if end. \n"));

    uint32_t value = 0x5A5A;
    EXPECT_EQ(lumox_ll_reg_write(&dev_, 2, 4, &value, 1), 1);
    EXPECT_EQ(camera().reg(2, 4), 0x5A5Au);
}

TEST_F(LlReset, UsbInterfaceResetGivesUpAfterFifteenAttempts) {
    ASSERT_NE(open_listed(), nullptr);
    unplug();
    EXPECT_EQ(lumox_ll_dev_reset(&dev_, 3), 0);
    EXPECT_EQ(dev_.priv, nullptr);
    EXPECT_EQ(g_sleeps.load(), 15);
    EXPECT_EQ(g_slept_ms.load(), 3000u);
    EXPECT_TRUE(logged("[WRN] [usb_ll_dev_reset] reopen device failed!\n"));
}

TEST_F(LlReset, OtherTargetsAreCommandsWithAStatusCheck) {
    ASSERT_NE(open_listed(), nullptr);
    EXPECT_EQ(lumox_ll_dev_reset(&dev_, 0x101), 1);  // narrowed to target 1
    camera().fault_fail_next("reset refused", vcam::kCmdDevice, vcam::kDeviceReset);
    EXPECT_EQ(lumox_ll_dev_reset(&dev_, 2), 0);
    EXPECT_EQ(camera().reset_targets(), std::vector<uint8_t>{1});
    EXPECT_EQ(dev_.priv != nullptr, true);
    EXPECT_EQ(g_sleeps.load(), 0);
}

}  // namespace
}  // namespace lumox::test
