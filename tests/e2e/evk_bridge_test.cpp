// The evaluation-kit code bound to a virtual camera: the chip configuration reaches the sensor's
// registers through the library's register calls, the identity comes from parameter 7, and a
// frame fetch captures one frame and stops again.

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "lumox/lumox.h"
#include "support/temp_dir.h"
#include "evk_camera_fixture.h"
#include "support/vcam_fixture.h"
#include "vcam/stream.h"

namespace lumox::test {
namespace {

class EvkBridge : public EvkCameraTest {};

TEST_F(EvkBridge, BindingConfiguresTheSensor) {
    camera().set_reg(1, 174, 0);
    camera().set_reg(1, 150, 0xAA);
    ASSERT_NE(epc_adapter_init(&dev_), 0);
    EXPECT_EQ(g_lx_dev, &dev_);
    const auto &chip = camera().config().chip;
    EXPECT_EQ(configGetChipID(), chip.chip_id);
    EXPECT_EQ(configGetWaferID(), chip.wafer_id);
    EXPECT_EQ(configGetPartVersion(), chip.part_version);

    EXPECT_EQ(camera().reg(1, 139), 2u);
    EXPECT_EQ(camera().reg(1, 174), 4u);
    EXPECT_EQ(camera().reg(1, 34) & 0x30, 0x30u);  // ABS on
    const uint32_t roi[6] = {0, 4, 1, 323 & 0xFF, 6, 125};
    for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(camera().reg(1, 150 + i), roi[i]) << i;

    EXPECT_EQ(configGetSysClk(), 96000);
    configSetModulationFrequency(1, 32);
    EXPECT_EQ(configGetModulationFrequency(), 24000);
    EXPECT_EQ(camera().reg(1, 133), 0u);
    EXPECT_EQ(camera().reg(1, 128), 63u);
}

TEST_F(EvkBridge, IdentityPortReadsThroughTheBridge) {
    ASSERT_NE(epc_adapter_init(&dev_), 0);
    unsigned char index = 248;
    unsigned char *buffer = &index;
    ASSERT_EQ(i2c(32, 'w', 17, 1, &buffer), 0);
    unsigned char chip[2] = {};
    buffer = chip;
    ASSERT_EQ(i2c(32, 'r', 18, 1, &buffer), 0);
    buffer = chip + 1;
    ASSERT_EQ(i2c(32, 'r', 18, 1, &buffer), 0);
    EXPECT_EQ((chip[0] << 8) | chip[1], camera().config().chip.chip_id);
}

TEST_F(EvkBridge, FrameFetchCapturesOneFrame) {
    ASSERT_NE(epc_adapter_init(&dev_), 0);
    uint16_t *image = nullptr;
    testing::internal::CaptureStdout();
    ASSERT_EQ(pruGetImage(&image), 320 * 4 * 120 * 2);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(" get one frame #"), std::string::npos) << out;
    EXPECT_EQ(out.find("wrong frame size"), std::string::npos) << out;
    EXPECT_FALSE(lumox_cap_is_ongoing(&dev_));
    EXPECT_EQ(camera().counters().capture_starts, 1u);
    ASSERT_NE(image, nullptr);
    // The first sample carries the camera's pattern for whichever frame came.
    bool matches = false;
    for (uint32_t f = 0; f < 64 && !matches; ++f) matches = image[1] == vcam::pattern_sample(f, 1);
    EXPECT_TRUE(matches);
}

// The start-up sequence and the HDR times reach the sensor as exactly these writes, in order.
TEST_F(EvkBridge, ConfigurationWritesReachTheSensorInOrder) {
    ASSERT_NE(epc_adapter_init(&dev_), 0);
    using W = vcam::RegisterWrite;
    camera().clear_register_writes();
    ASSERT_EQ(configInit(32), 0);
    EXPECT_EQ(camera().register_writes(), (std::vector<W>{{1, 139, 2},
                                                          {1, 174, 1},
                                                          {1, 174, 1},
                                                          {1, 113, 0},
                                                          {1, 114, 0},
                                                          {1, 115, 0},
                                                          {1, 174, 4}}));

    camera().set_reg(1, 133, 3);  // Tmod 41.667 ns
    ASSERT_EQ(configSetIntegrationTime3D(1000), 0);
    ASSERT_EQ(configSetIntegrationTime3DHDR(100), 0);
    camera().clear_register_writes();
    configSetIntegrationTimesHDR();
    // M 1, N 23999, NH 2399, each high byte first.
    EXPECT_EQ(camera().register_writes(), (std::vector<W>{{1, 160, 0x00},
                                                          {1, 161, 0x01},
                                                          {1, 162, 0x5D},
                                                          {1, 163, 0xBF},
                                                          {1, 158, 0x09},
                                                          {1, 159, 0x5F}}));

    camera().clear_register_writes();
    EXPECT_EQ(configSetIntegrationTime3D(4001), -1);
    EXPECT_TRUE(camera().register_writes().empty());
    EXPECT_EQ(configGetIntegrationTime3D(), 1000);
}

// Opening an E2 camera binds the evaluation kit to it and configures the sensor on the way.
TEST_F(EvkBridge, OpeningBindsTheKitAndRunsTheStartUp) {
    EXPECT_EQ(g_lx_dev, &dev_);
    EXPECT_EQ(configGetChipID(), camera().config().chip.chip_id);
    lumox_dev_close(&dev_);

    const std::string log_path = dir_.path() + "/open.log";
    lx_log_enable(LX_LOG_OUT_FILE, LX_LOG_DBG, log_path.c_str());
    camera().clear_register_writes();
    lumox_dev_t list[2];
    ASSERT_EQ(lumox_dev_list(list, 2), 1);
    dev_ = list[0];
    ASSERT_EQ(lumox_dev_open(&dev_), &dev_);
    lx_log_disable();
    lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_ERR, nullptr);

    const auto writes = camera().register_writes();
    const std::vector<vcam::RegisterWrite> start_up{{1, 139, 2}, {1, 174, 1}, {1, 174, 1},
                                                    {1, 113, 0}, {1, 114, 0}, {1, 115, 0}};
    EXPECT_NE(std::search(writes.begin(), writes.end(), start_up.begin(), start_up.end()),
              writes.end());
    const std::string log = read_file(log_path);
    char chip_line[64];
    std::snprintf(chip_line, sizeof chip_line, "[printChipParam] chipID: %d",
                  camera().config().chip.chip_id);
    EXPECT_NE(log.find(chip_line), std::string::npos) << log.substr(0, 2000);
    EXPECT_NE(log.find("[configLoadParameters]"), std::string::npos);
}

}  // namespace
}  // namespace lumox::test
