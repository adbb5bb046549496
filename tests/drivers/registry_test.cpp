#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "lumox/driver.h"

namespace lumox::test {
namespace {

lumox_drv *find(const std::string &product) {
    lumox_dev_t dev{};
    std::memcpy(dev.product, product.data(), std::min(product.size(), sizeof dev.product));
    return lumox_drv_find(&dev);
}

TEST(DriverFind, SelectsByTheSecondFieldOfTheProductString) {
    lumox_drv *e2 = find("ABC-E2-2.0.1");
    ASSERT_NE(e2, nullptr);
    EXPECT_STREQ(e2->name, "EPC chip driver");
    EXPECT_STREQ(e2->code, "E2");
    EXPECT_EQ(e2->ops, &g_lumox_driver_op_epc);
    EXPECT_NE(find("ABC-E1-2"), e2) << "each code has its own record";
    EXPECT_EQ(find("ABC-E1-2")->ops, &g_lumox_driver_op_epc);

    lumox_drv *ti = find("ABC-T0-1");
    ASSERT_NE(ti, nullptr);
    EXPECT_STREQ(ti->name, "TI OP8241 chip driver");
    EXPECT_EQ(ti->ops, &g_lumox_driver_op_ti);
}

TEST(DriverFind, RejectsUnknownOrMalformedProducts) {
    EXPECT_EQ(find("ABC-E4-1"), nullptr);
    EXPECT_EQ(find("ABC-E2"), nullptr);
    EXPECT_EQ(find("ABC-e2-1"), nullptr);
    EXPECT_EQ(find("-E2-1"), nullptr);
    EXPECT_EQ(find("ABC-E2XXXXXXXXXXXXXXX-1"), nullptr) << "field cut at 16 characters";
    EXPECT_EQ(find(""), nullptr);
    EXPECT_EQ(lumox_drv_find(nullptr), nullptr);
}

TEST(DriverFind, ProductFillingTheWholeFieldIsReadWithinIt) {
    lumox_dev_t dev{};
    const std::string product = "ABCDEFGHIJKLMNOP-E3-0123456789AB";  // 32 characters, no NUL
    ASSERT_EQ(product.size(), sizeof dev.product);
    std::memcpy(dev.product, product.data(), sizeof dev.product);
    std::memset(dev.id2, 'Z', sizeof dev.id2);  // must not leak into the firmware field
    lumox_drv *drv = lumox_drv_find(&dev);
    ASSERT_NE(drv, nullptr);
    EXPECT_STREQ(drv->code, "E3");
}

lx_raw_frame_info raw_info(uint32_t frlen, uint16_t fmt, uint16_t w, uint16_t h) {
    lx_raw_frame_info raw{};
    raw.frlen = frlen;
    raw.fridx = 77;
    raw.frfmt = fmt;
    raw.width = w;
    raw.height = h;
    return raw;
}

TEST(TiDriver, DescribesEveryFrameAs320By240WithFourBytesPerPixel) {
    lumox_frame_info info{};
    const auto raw = raw_info(1234, 5, 1, 1);
    ASSERT_EQ(g_lumox_driver_op_ti.frame_get_info(nullptr, &info, &raw), 1);
    EXPECT_EQ(info.frame_size, 1234u);
    EXPECT_EQ(info.frame_format, 5);
    EXPECT_EQ(info.frame_idx, 77);
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.height, 240u);
    EXPECT_EQ(info.pixel_bytes, 4);
    EXPECT_EQ(g_lumox_driver_op_ti.lens_param_get, nullptr);
    EXPECT_EQ(g_lumox_driver_op_ti.filter_enable, nullptr);
    EXPECT_EQ(g_lumox_driver_op_ti.filter_disable, nullptr);
    EXPECT_EQ(g_lumox_driver_op_ti.calib_load(nullptr, 0, 0, 2), 0);
    EXPECT_EQ(g_lumox_driver_op_ti.reserved_6(nullptr, 0, 42, 2), 42);
    EXPECT_EQ(g_lumox_driver_op_ti.reserved_8(nullptr), 1);
}

TEST(TiDriver, DecodeScalesTwelveBitHalvesAndStaysInBounds) {
    lumox_frame_info info{};
    info.width = 320;
    info.height = 240;
    // Word 0: upper 0x0800 (half scale), lower 0x1400 (0x400 after the 12-bit mask).
    // The raw length of 6 holds one whole word only.
    const std::vector<uint8_t> raw = {0x00, 0x14, 0x00, 0x08, 0xFF, 0xFF};
    float out[2] = {-1.0f, -1.0f};
    auto *dst = reinterpret_cast<uint16_t *>(out);
    EXPECT_EQ(g_lumox_driver_op_ti.frame_decode(nullptr, dst, sizeof out, 1, raw.data(),
                                                static_cast<uint32_t>(raw.size()), &info),
              320 * 240);
    EXPECT_NEAR(out[0], 0.5 * 3.122838, 1e-6);
    EXPECT_EQ(out[1], -1.0f) << "a partial word is not decoded";
    EXPECT_EQ(g_lumox_driver_op_ti.frame_decode(nullptr, dst, 4, 2, raw.data(), 4, &info),
              320 * 240);
    EXPECT_FLOAT_EQ(out[0], 0.25f);
}

TEST(TiDriver, InitBindsTheDevice) {
    lumox_drv drv{"t", "T0", &g_lumox_driver_op_ti, nullptr, nullptr};
    lumox_dev_t dev{};
    EXPECT_EQ(drv.ops->init(&drv, &dev), 1);
    EXPECT_EQ(drv.dev, &dev);
    EXPECT_EQ(drv.priv, nullptr);
}

TEST(EpcDriver, FrameInformationFromTheHeader) {
    lumox_frame_info info{};
    auto raw = raw_info(320 * 240 * 8, 2, 0, 0);
    ASSERT_EQ(g_lumox_driver_op_epc.frame_get_info(nullptr, &info, &raw), 1);
    EXPECT_EQ(info.width, 320u) << "0 means the full sensor";
    EXPECT_EQ(info.height, 240u);
    EXPECT_EQ(info.pixel_bytes, 8);
    EXPECT_EQ(info.frame_idx, 77);

    raw = raw_info(100, 2, 4, 2);
    info.frame_size = 5;
    EXPECT_EQ(g_lumox_driver_op_epc.frame_get_info(nullptr, &info, &raw), 0);
    EXPECT_EQ(info.frame_size, 0u) << "a length that is no whole number of pixels clears it";

    raw = raw_info(100, 171, 4, 2);
    ASSERT_EQ(g_lumox_driver_op_epc.frame_get_info(nullptr, &info, &raw), 1);
    EXPECT_EQ(info.frame_format, 171) << "calibration data frames have any length";
    EXPECT_EQ(info.frame_size, 100u);
}

}  // namespace
}  // namespace lumox::test
