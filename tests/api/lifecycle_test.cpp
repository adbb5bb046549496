#include "api/lifecycle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "api/fake_transport.h"
#include "lumox/device.h"
#include "lumox/driver.h"
#include "lumox/log.h"
#include "support/temp_dir.h"
#include "testing/hooks.h"

namespace lumox::test {
namespace {

using Lifecycle = FakeTransportTest;

TEST_F(Lifecycle, ListRefusesBadArgumentsWithoutTouchingTheBus) {
    lumox_dev_t list[4];
    EXPECT_EQ(lumox_dev_list(nullptr, 4), 0);
    EXPECT_EQ(lumox_dev_list(list, 0), 0);
    EXPECT_EQ(lumox_dev_list(list, -1), 0);
    EXPECT_EQ(fake().lists.load(), 0);
}

TEST_F(Lifecycle, ListFillsNoMoreRecordsThanAskedFor) {
    lumox_dev_t list[3];
    std::memset(list, 0xAA, sizeof list);
    ASSERT_EQ(lumox_dev_list(list, 1), 1);
    EXPECT_EQ(list[0].bus, 1);
    EXPECT_EQ(list[0].port, 1);
    EXPECT_EQ(list[0].location_valid, 1);
    EXPECT_EQ(list[0].state, nullptr);
    EXPECT_EQ(list[0].product[0], 0);
    EXPECT_EQ(list[1].bus, 0xAA) << "records beyond count are not touched";

    ASSERT_EQ(lumox_dev_list(list, 3), 2);
    EXPECT_EQ(list[1].port, 2);
    EXPECT_EQ(list[2].location_valid, 0) << "unused records are zeroed";
}

TEST_F(Lifecycle, OpenReadsIdentityAndBindsTheDriver) {
    lumox_dev_t *dev = open_device();
    ASSERT_NE(dev, nullptr);
    EXPECT_STREQ(dev->product, "LX-E2-2.0.1");
    EXPECT_STREQ(dev->id2, "SN0042");
    EXPECT_EQ(dev->id5_data[3], 5);
    EXPECT_EQ(dev->id5_data[4], 0);
    EXPECT_EQ(dev->id6_data[1], 6);
    EXPECT_EQ(dev->port, 3) << "location copied back from the transport";
    EXPECT_EQ(dev->location_valid, 1);
    EXPECT_STREQ(dev->calib_path, lumox_path_get());
    EXPECT_EQ(dev->busy, 0);

    lumox_drv *drv = lumox_dev_get_drv(dev);
    ASSERT_NE(drv, nullptr);
    EXPECT_STREQ(drv->code, "E2");
    EXPECT_EQ(drv->dev, dev) << "driver init binds the device";
    EXPECT_EQ(lumox_cap_is_ongoing(dev), 0);
}

TEST_F(Lifecycle, OpenFailuresLeaveTheRecordClosed) {
    fake().open_ok = false;
    EXPECT_EQ(lumox_dev_open(&dev_), nullptr);
    EXPECT_EQ(dev_.state, nullptr);

    fake().open_ok = true;
    fake().param_get_ok = false;
    EXPECT_EQ(lumox_dev_open(&dev_), nullptr);
    EXPECT_EQ(dev_.state, nullptr);
    EXPECT_EQ(fake().closes.load(), 1) << "a camera without identity is closed again";

    fake().param_get_ok = true;
    fake().product = "LX-E4-1";
    EXPECT_EQ(lumox_dev_open(&dev_), nullptr);
    EXPECT_EQ(dev_.state, nullptr);
    EXPECT_EQ(fake().closes.load(), 2) << "a camera without driver is closed again";
    EXPECT_EQ(lumox_dev_get_drv(&dev_), nullptr);

    fake().product = "LX-T0-1";
    ASSERT_EQ(lumox_dev_open(&dev_), &dev_);
    EXPECT_STREQ(lumox_dev_get_drv(&dev_)->name, "TI OP8241 chip driver");
}

TEST_F(Lifecycle, FailedOpenReleasesARecordThatAsksForIt) {
    auto *dev = static_cast<lumox_dev_t *>(std::calloc(1, sizeof(lumox_dev_t)));
    dev->release = 1;
    fake().product = "nodriver";
    EXPECT_EQ(lumox_dev_open(dev), nullptr);  // the leak checker sees whether it was freed
}

TEST_F(Lifecycle, DefaultDeviceOpensOnceUntilClosed) {
    lumox_dev_t *first = lumox_dev_open(nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(lumox_dev_open(nullptr), nullptr);
    lumox_dev_close(first);
    EXPECT_EQ(first->state, nullptr);
    lumox_dev_t *again = lumox_dev_open(nullptr);
    EXPECT_EQ(again, first);
    lumox_dev_close(again);
}

TEST_F(Lifecycle, ReopeningAnOpenRecordClosesItFirst) {
    ASSERT_NE(open_device(), nullptr);
    ASSERT_NE(lumox_dev_open(&dev_), nullptr);
    EXPECT_EQ(fake().opens.load(), 2);
    EXPECT_EQ(fake().closes.load(), 1);
    EXPECT_NE(dev_.state, nullptr);
}

TEST_F(Lifecycle, CallsOnClosedDevicesAreRefused) {
    EXPECT_EQ(lumox_dev_reset(nullptr, 1), 0);
    EXPECT_EQ(lumox_dev_reset(&dev_, 1), 0);
    EXPECT_EQ(lumox_cap_start(&dev_), 0);
    EXPECT_EQ(lumox_cap_stop(&dev_), 0);
    EXPECT_EQ(lumox_dev_get_drv(nullptr), nullptr);
    EXPECT_EQ(lumox_dev_open_by_fd(3), nullptr);
    lumox_dev_close(nullptr);
    lumox_dev_close(&dev_);
    EXPECT_EQ(fake().resets.load(), 0);
}

TEST_F(Lifecycle, ResetChecksTheTarget) {
    ASSERT_NE(open_device(), nullptr);
    EXPECT_EQ(lumox_dev_reset(&dev_, 9), 0);
    EXPECT_EQ(fake().resets.load(), 0);
    EXPECT_EQ(lumox_dev_reset(&dev_, 8), 1);
    EXPECT_EQ(fake().last_reset_target, 8);
}

std::atomic<int> g_sleeps{0};
lumox_dev_t *g_busy_dev = nullptr;

TEST_F(Lifecycle, CloseWaitsAtMostThreeSecondsForABusyCall) {
    ASSERT_NE(open_device(), nullptr);
    g_sleeps = 0;
    platform::set_sleep_hook([](uint32_t ms) {
        EXPECT_EQ(ms, 100u);
        ++g_sleeps;
    });
    dev_.busy = 1;  // a call that never leaves
    lumox_dev_close(&dev_);
    EXPECT_EQ(g_sleeps.load(), 30);
    EXPECT_EQ(dev_.state, nullptr);
}

TEST_F(Lifecycle, CloseProceedsOnceTheBusyCallLeaves) {
    ASSERT_NE(open_device(), nullptr);
    g_sleeps = 0;
    g_busy_dev = &dev_;
    platform::set_sleep_hook([](uint32_t) {
        if (++g_sleeps == 3) g_busy_dev->busy = 0;
    });
    dev_.busy = 1;
    lumox_dev_close(&dev_);
    EXPECT_EQ(g_sleeps.load(), 3);
}

TEST_F(Lifecycle, CloseStopsARunningCapture) {
    ASSERT_NE(open_device(), nullptr);
    ASSERT_TRUE(lumox_cap_set_frame_buffer(&dev_, nullptr, 2 * LUMOX_FRAME_BUF_UNIT));
    ASSERT_TRUE(lumox_cap_start(&dev_));
    lumox_dev_close(&dev_);
    EXPECT_EQ(fake().cap_stops.load(), 1);
    EXPECT_EQ(fake().closes.load(), 1);
    EXPECT_EQ(dev_.state, nullptr);
}

// A reset ends the camera's stream, and uninit ends the transport: neither leaves a capture
// reading as running with no frame to come.
TEST_F(Lifecycle, ResetAndUninitStopARunningCapture) {
    ASSERT_NE(open_device(), nullptr);
    ASSERT_TRUE(lumox_cap_start(&dev_));
    EXPECT_EQ(lumox_dev_reset(&dev_, 1), 1);
    EXPECT_EQ(lumox_cap_is_ongoing(&dev_), 0);
    EXPECT_EQ(fake().cap_stops.load(), 1);
    EXPECT_EQ(fake().resets.load(), 1);

    ASSERT_TRUE(lumox_cap_start(&dev_));
    lumox_uninit();
    EXPECT_EQ(lumox_cap_is_ongoing(&dev_), 0);
    EXPECT_EQ(fake().cap_stops.load(), 2);
    EXPECT_NE(dev_.state, nullptr) << "the device stays open until closed";
    lumox_dev_close(&dev_);
    lumox_uninit();  // no device left: nothing to stop
    EXPECT_EQ(fake().cap_stops.load(), 2);
    lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_WRN, nullptr);
}

TEST_F(Lifecycle, SecondEpcCameraIsRefusedWhileOneIsOpen) {
    ASSERT_NE(open_device(), nullptr);
    lumox_drv *drv = lumox_dev_get_drv(&dev_);
    ASSERT_NE(drv, nullptr);
    void *const context = drv->priv;

    lumox_dev_t second{};
    testing::internal::CaptureStdout();
    lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_ERR, nullptr);
    EXPECT_EQ(lumox_dev_open(&second), nullptr);
    lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_WRN, nullptr);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("an EPC camera is already open in this process"), std::string::npos) << log;
    EXPECT_EQ(second.state, nullptr);
    EXPECT_EQ(fake().closes.load(), 1) << "the second camera's connection was closed again";
    EXPECT_EQ(drv->dev, &dev_) << "the driver stays bound to the first camera";
    EXPECT_EQ(drv->priv, context);

    lumox_dev_close(&dev_);
    ASSERT_EQ(lumox_dev_open(&second), &second) << "free again once the first is closed";
    lumox_dev_close(&second);
}

TEST(LifecycleLibrary, InitSetsUpTheColourMapAndUninitReleasesIt) {
    TempDir dir;
    const std::string saved_prefix = lumox_path_get();
    lumox_init(dir.file("lx_test.log").c_str());
    EXPECT_EQ(api::library_cmap().size, 30000);
    EXPECT_NE(api::library_cmap().palette, nullptr);
    EXPECT_STREQ(lumox_path_get(), ".\\");
    lumox_uninit();
    EXPECT_EQ(api::library_cmap().palette, nullptr);
    EXPECT_NE(read_file(dir.file("lx_test.log")).find("LUMOX v1.43"), std::string::npos);

    lumox_path_cfg(saved_prefix.c_str());
    lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_WRN, nullptr);
}

}  // namespace
}  // namespace lumox::test
