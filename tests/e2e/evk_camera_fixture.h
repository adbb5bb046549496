// An E2 camera on the virtual bus, opened with its calibration files looked up in a fresh
// directory, with room for four frames; the evaluation kit is unbound again afterwards.
#pragma once

#include <string>

#include "lumox/lumox.h"
#include "support/temp_dir.h"
#include "support/vcam_fixture.h"

namespace lumox::test {

class EvkCameraTest : public VcamTest {
  protected:
    void SetUp() override {
        VcamTest::SetUp();
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_ERR, nullptr);
        prefix_ = dir_.path() + "/";
        lumox_path_cfg(prefix_.c_str());
        lumox_dev_t list[2];
        ASSERT_EQ(lumox_dev_list(list, 2), 1);
        dev_ = list[0];
        ASSERT_EQ(lumox_dev_open(&dev_), &dev_);
        ASSERT_TRUE(lumox_cap_set_frame_buffer(&dev_, nullptr, 4 * LUMOX_FRAME_BUF_UNIT));
    }

    void TearDown() override {
        epc_adapter_uninit();
        lumox_dev_close(&dev_);
        lumox_path_cfg(".\\");
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_WRN, nullptr);
        VcamTest::TearDown();
    }

    TempDir dir_;
    std::string prefix_;
    lumox_dev_t dev_{};
};

}  // namespace lumox::test
