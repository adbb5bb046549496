#include "lx/byte_order.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace lumox {
namespace {

// Loads at every alignment read the bytes low first; stores write them back the same way.
TEST(ByteOrder, LoadsAndStoresAreLittleEndianAtAnyAlignment) {
    const uint8_t bytes[] = {0xAA, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xF0};
    EXPECT_EQ(load_le16(bytes + 1), 0x0201u);
    EXPECT_EQ(load_le32(bytes + 1), 0x04030201u);
    EXPECT_EQ(load_le64(bytes + 1), 0x0807060504030201ull);
    EXPECT_EQ(load_le_i16(bytes + 8), static_cast<int16_t>(0xF008));
    const uint8_t minus_two[] = {0xFE, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(load_le_i32(minus_two), -2);
    const uint8_t one_and_half[] = {0, 0, 0, 0, 0, 0, 0xF8, 0x3F};  // 1.5 as an IEEE double
    EXPECT_EQ(load_le_f64(one_and_half), 1.5);

    uint8_t out[7] = {};
    store_le32(out + 1, 0xDEADBEEF);
    store_le16(out + 5, 0x1234);
    const uint8_t expected[] = {0, 0xEF, 0xBE, 0xAD, 0xDE, 0x34, 0x12};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(out[i], expected[i]) << i;
}

}  // namespace
}  // namespace lumox
