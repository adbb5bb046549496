// Cameras by serial: two virtual cameras with their own serials, read without opening them, and
// each opened by its serial wherever it is plugged in.

#include <cstdlib>
#include <cstring>

#include "lumox/lumox.h"
#include "support/vcam_fixture.h"

namespace lumox::test {
namespace {

class Identity : public VcamTest {
  protected:
    Identity() {
        options_.cameras.resize(2);
        options_.cameras[0].port = 3;  // the second serial sits on the lower port
        options_.cameras[1].port = 1;
    }
    void SetUp() override {
        VcamTest::SetUp();
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_OFF, nullptr);
    }
    void TearDown() override {
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_WRN, nullptr);
        VcamTest::TearDown();
    }
};

TEST_F(Identity, EachCameraHasItsOwnSerialAndOpensByIt) {
    lumox_dev_t list[4];
    ASSERT_EQ(lumox_dev_list(list, 4), 2);
    for (int i = 0; i < 2; ++i) {
        const lumox_dev_t &listed = list[i];
        char serial[LUMOX_SERIAL_MAX + 1];
        ASSERT_EQ(lumox_dev_read_serial(&listed, serial, sizeof serial), 7);
        EXPECT_STREQ(serial, listed.port == 3 ? "VC00001" : "VC00002");
        char short_buffer[7];  // no room for the terminator
        EXPECT_EQ(lumox_dev_read_serial(&listed, short_buffer, sizeof short_buffer), -1);
        EXPECT_EQ(listed.state, nullptr);
    }

    for (const char *serial : {"VC00002", "VC00001"}) {
        lumox_dev_t dev{};
        ASSERT_EQ(lumox_dev_open_serial(&dev, serial), &dev) << serial;
        EXPECT_STREQ(dev.id2, serial);
        EXPECT_EQ(dev.port, std::strcmp(serial, "VC00001") == 0 ? 3 : 1);
        EXPECT_EQ(lumox_dev_find_serial(&dev, serial), 0);  // an open record is not re-aimed
        EXPECT_NE(dev.state, nullptr);
        lumox_dev_close(&dev);
    }
}

TEST_F(Identity, UnknownOrMalformedSerialsFindNothingAndOpenNothing) {
    lumox_dev_t dev{};
    EXPECT_EQ(lumox_dev_find_serial(&dev, "VC00003"), 0);
    EXPECT_EQ(lumox_dev_find_serial(&dev, "VC0000"), 0);  // a prefix is not the serial
    EXPECT_EQ(lumox_dev_find_serial(&dev, ""), 0);
    EXPECT_EQ(lumox_dev_find_serial(&dev, "VC00001-far-too-long-for-a-parameter"), 0);
    EXPECT_EQ(lumox_dev_find_serial(nullptr, "VC00001"), 0);
    EXPECT_EQ(dev.location_valid, 0);
    EXPECT_EQ(lumox_dev_open_serial(&dev, "VC00003"), nullptr);
    EXPECT_EQ(dev.state, nullptr);
    // A record that asks to be released is freed by the failed open (the leak checker sees it).
    auto *owned = static_cast<lumox_dev_t *>(std::calloc(1, sizeof(lumox_dev_t)));
    owned->release = 1;
    EXPECT_EQ(lumox_dev_open_serial(owned, "VC00003"), nullptr);
}

}  // namespace
}  // namespace lumox::test
