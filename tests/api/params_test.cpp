#include "api/params.h"

#include <gtest/gtest.h>

#include <cstring>

#include "api/fake_transport.h"
#include "lumox/device.h"

namespace lumox::test {
namespace {

using Params = FakeTransportTest;

TEST_F(Params, SetSendsTheLowIdentifierByteAndTheValueBytes) {
    ASSERT_NE(open_device(), nullptr);
    lumox_param_item items[2] = {};
    items[0].param_id = 300;
    items[0].param_val_len = 2;
    items[0].param_val[0] = 0x34;
    items[0].param_val[1] = 0x12;
    items[1].param_id = LUMOX_PARAM_FRAME_RATE;
    items[1].param_val_len = 4;
    items[1].param_val[0] = 20;
    items[1].param_val[17] = 0x77;
    ASSERT_EQ(lumox_param_batch_set(&dev_, items, 2), 1);

    const auto &wire = fake().last_set_wire;
    ASSERT_EQ(wire.size(), 40u) << "20-byte records on the wire";
    EXPECT_EQ(wire[0], 44);
    EXPECT_EQ(wire[1], 2);
    EXPECT_EQ(wire[2], 0x34);
    EXPECT_EQ(wire[3], 0x12);
    EXPECT_EQ(wire[20], LUMOX_PARAM_FRAME_RATE);
    EXPECT_EQ(wire[22], 20);
    EXPECT_EQ(wire[39], 0x77) << "all 18 value bytes travel";
    EXPECT_EQ(dev_.busy, 0);
}

TEST_F(Params, GetFillsLengthAndValueAndKeepsTheIdentifier) {
    ASSERT_NE(open_device(), nullptr);
    fake().fps = 25;
    fake().params[200 & 0xFF] = {1, 2, 3};
    lumox_param_item items[2] = {};
    items[0].param_id = LUMOX_PARAM_FRAME_RATE;
    items[1].param_id = 0x1C8;  // low byte 200
    ASSERT_EQ(lumox_param_batch_get(&dev_, items, 2), 1);
    EXPECT_EQ(items[0].param_id, static_cast<uint32_t>(LUMOX_PARAM_FRAME_RATE));
    EXPECT_EQ(items[0].param_val_len, 4);
    uint32_t fps = 0;
    std::memcpy(&fps, items[0].param_val, 4);
    EXPECT_EQ(fps, 25u);
    EXPECT_EQ(items[1].param_id, 0x1C8u);
    EXPECT_EQ(items[1].param_val_len, 3);
    EXPECT_EQ(items[1].param_val[2], 3);
}

TEST_F(Params, FailedGetLeavesTheItemsAlone) {
    ASSERT_NE(open_device(), nullptr);
    fake().param_get_ok = false;
    lumox_param_item item{};
    item.param_id = LUMOX_PARAM_FRAME_RATE;
    item.param_val_len = 9;
    item.param_val[0] = 0xEE;
    EXPECT_EQ(lumox_param_batch_get(&dev_, &item, 1), 0);
    EXPECT_EQ(item.param_val_len, 9);
    EXPECT_EQ(item.param_val[0], 0xEE);
    EXPECT_EQ(dev_.busy, 0);
}

TEST_F(Params, RegistersRoundTrip) {
    ASSERT_NE(open_device(), nullptr);
    const uint32_t values[3] = {0x11, 0x22, 0x33};
    ASSERT_EQ(lumox_reg_batch_write(&dev_, 1, 17, values, 3), 1);
    uint32_t back[3] = {};
    ASSERT_EQ(lumox_reg_batch_read(&dev_, 1, 17, back, 3), 1);
    EXPECT_EQ(back[0], 0x11u);
    EXPECT_EQ(back[2], 0x33u);
    EXPECT_EQ(lumox_reg_batch_read(&dev_, 1, 255, back, 3), 0) << "transport failure is false";
}

TEST_F(Params, ClosedDeviceSendsNothing) {
    const uint32_t value = 1;
    uint32_t out = 0;
    lumox_param_item item{};
    EXPECT_EQ(lumox_reg_batch_write(&dev_, 1, 0, &value, 1), 0);
    EXPECT_EQ(lumox_reg_batch_read(nullptr, 1, 0, &out, 1), 0);
    EXPECT_EQ(lumox_param_batch_set(&dev_, &item, 1), 0);
    EXPECT_EQ(lumox_param_batch_get(nullptr, &item, 1), 0);
    EXPECT_EQ(fake().reg_calls.load(), 0);
    EXPECT_EQ(fake().param_sets.load(), 0);
}

TEST(ParamNames, KnownIdentifiersHaveNames) {
    EXPECT_STREQ(lumox_param_name(LUMOX_PARAM_FRAME_RATE), "LUMOX_PARAM_FRAME_RATE");
    EXPECT_STREQ(lumox_param_name(LUMOX_PARAM_MODE), "LUMOX_PARAM_MODE");
    EXPECT_EQ(lumox_param_name(1), nullptr);
}

}  // namespace
}  // namespace lumox::test
