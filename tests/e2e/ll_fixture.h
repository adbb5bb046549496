// Shared set-up of the transport's end-to-end tests: a virtual camera on the emulated bus, the
// transport's log captured in a file, and the transport's time-outs restored after each test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "lumox/log.h"
#include "lumox/transport.h"
#include "support/temp_dir.h"
#include "support/vcam_fixture.h"
#include "testing/hooks.h"

namespace lumox::test {

class LlTest : public VcamTest {
  protected:
    void SetUp() override {
        VcamTest::SetUp();
        dir_ = std::make_unique<TempDir>();
        log_path_ = dir_->file("ll.log");
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_OFF, nullptr);
        ASSERT_TRUE(lx_log_enable(LX_LOG_OUT_FILE, LX_LOG_TRC, log_path_.c_str()));
        saved_timeouts_ = ll::usb_timeouts();
    }

    void TearDown() override {
        if (dev_.priv) lumox_ll_dev_close(&dev_);
        ll::set_usb_timeouts(saved_timeouts_);
        platform::set_sleep_hook(nullptr);
        lx_log_disable();
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_WRN, nullptr);
        dir_.reset();
        VcamTest::TearDown();
    }

    // Lists the cameras and opens the first one listed into dev_.
    lumox_ll_dev *open_listed() {
        if (lumox_ll_dev_list(&dev_, 1) != 1) return nullptr;
        return lumox_ll_dev_open(&dev_);
    }

    std::string log() const { return read_file(log_path_); }
    bool logged(const std::string &text) const { return log().find(text) != std::string::npos; }

    lumox_ll_dev dev_{};

  private:
    std::unique_ptr<TempDir> dir_;
    std::string log_path_;
    ll::UsbTimeouts saved_timeouts_;
};

}  // namespace lumox::test
