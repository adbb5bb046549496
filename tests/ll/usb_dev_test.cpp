// USB transport without a device: the debug-level mapping and the refusals of records that are
// not open.

#include "ll/usb_dev.h"

#include <gtest/gtest.h>

#include <string>

#include "ll/usb_cap.h"
#include "ll/usb_cmd.h"
#include "lumox/log.h"
#include "support/temp_dir.h"

namespace lumox::ll {
namespace {

TEST(UsbDebugLevel, MapsLibraryLevelsOntoLibusbLevels) {
    const int32_t expected[] = {4, 4, 3, 2, 1, 0, 0, 0};
    for (uint32_t level = 0; level < 8; ++level) {
        lumox_ll_set_debug(level);
        EXPECT_EQ(usb_ll_debug_level(), expected[level]) << "library level " << level;
    }
    lumox_ll_set_debug(0xFFFFFFFFu);
    EXPECT_EQ(usb_ll_debug_level(), 0);
    lumox_ll_set_debug(LX_LOG_OFF);
}

class UsbClosedRecord : public ::testing::Test {
  protected:
    void SetUp() override {
        log_ = dir_.file("usb.log");
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_OFF, nullptr);
        ASSERT_TRUE(lx_log_enable(LX_LOG_OUT_FILE, LX_LOG_TRC, log_.c_str()));
    }
    void TearDown() override {
        lx_log_disable();
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_WRN, nullptr);
    }
    std::string log() { return test::read_file(log_); }

    test::TempDir dir_;
    std::string log_;
    lumox_ll_dev dev_{};
};

TEST_F(UsbClosedRecord, CommandsAndCaptureFailWithHandlerMessage) {
    uint8_t buf[20] = {};
    uint32_t regs[2] = {};
    EXPECT_EQ(usb_ll_exe_cmd(&dev_, 1, 0xC0, 0, buf, 4, 1000), 0);
    EXPECT_EQ(usb_ll_check_last_cmd(&dev_, 0xC0, 0), 0);
    EXPECT_EQ(usb_ll_reg_write(&dev_, 1, 0, regs, 2), 0);
    EXPECT_EQ(usb_ll_reg_read(&dev_, 1, 0, regs, 2), 0);
    EXPECT_EQ(usb_ll_param_set(&dev_, buf, 1), 0);
    EXPECT_EQ(usb_ll_param_get(&dev_, buf, 1), 0);
    EXPECT_EQ(usb_ll_cap_start(&dev_, 0, nullptr, nullptr), 0);
    EXPECT_EQ(usb_ll_cap_stop(&dev_), 0);
    usb_ll_cap_abort(&dev_);
    const std::string text = log();
    EXPECT_NE(text.find("[usb_ll_exe_cmd]  USB handler Is NULL!\r\n"), std::string::npos);
    EXPECT_NE(text.find("[usb_ll_reg_read] write phase failed\n"), std::string::npos);
    EXPECT_NE(text.find("[usb_ll_cap_start]  USB handler Is NULL!\r\n"), std::string::npos);
}

TEST_F(UsbClosedRecord, ClosingANeverOpenedRecordOnlyWarns) {
    dev_.bus = 7;
    dev_.port = 2;
    lumox_ll_dev_close(&dev_);
    EXPECT_EQ(dev_.priv, nullptr);
    EXPECT_EQ(dev_.bus, 7);
    EXPECT_EQ(dev_.port, 2);
    EXPECT_NE(log().find("[WRN] [usb_ll_dev_close] device no need to closed!\n"),
              std::string::npos);
}

TEST_F(UsbClosedRecord, OpenRefusesNonUsbRecords) {
    dev_.if_type = 1;
    EXPECT_EQ(lumox_ll_dev_open(&dev_), nullptr);
    EXPECT_EQ(dev_.priv, nullptr);
    lumox_ll_dev_close(&dev_);
    EXPECT_EQ(log().find("device no need to closed"), std::string::npos);
}

}  // namespace
}  // namespace lumox::ll
