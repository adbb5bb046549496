// The flash store's action protocol on its own: a transfer from begin to the last chunk, the
// acknowledges along the way, refused chunks, and payload reads that continue.

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "vcam/flash.h"
#include "vcam/wire.h"

namespace lumox::vcam {
namespace {

std::vector<uint8_t> begin_record(uint8_t type, uint16_t version, uint32_t size) {
    std::vector<uint8_t> r(12, 0);
    r[0] = type;
    put_le16(&r[2], version);
    put_le32(&r[4], size);
    return r;
}

std::vector<uint8_t> erase_record(uint8_t type, uint32_t size) {
    std::vector<uint8_t> r(13, 0);
    r[0] = type;
    put_le32(&r[1], size);
    put_le32(&r[5], kFlashChunkSize);
    return r;
}

std::vector<uint8_t> chunk(std::span<const uint8_t> bytes, uint16_t crc) {
    std::vector<uint8_t> r(6 + bytes.size());
    put_le16(&r[0], crc);
    put_le32(&r[2], static_cast<uint32_t>(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), r.begin() + 6);
    return r;
}

struct Ack {
    uint32_t next;
    uint8_t status;
};

Ack ack(Flash &f) {
    EXPECT_EQ(f.write(kActionAck, std::vector<uint8_t>(13, 0)), "");
    std::vector<uint8_t> reply;
    EXPECT_EQ(f.read(kActionAck, 13, reply), "");
    return {get_le32(reply.data()), reply[4]};
}

std::vector<uint8_t> info(Flash &f, uint8_t type) {
    std::vector<uint8_t> request(16, 0);
    request[0] = type;
    EXPECT_EQ(f.write(kActionInfo, request), "");
    std::vector<uint8_t> reply;
    EXPECT_EQ(f.read(kActionInfo, 16, reply), "");
    return reply;
}

TEST(Flash, CrcIsXmodem) {
    const std::string check = "123456789";
    EXPECT_EQ(flash_crc16({reinterpret_cast<const uint8_t *>(check.data()), check.size()}), 0x31C3);
    EXPECT_EQ(flash_crc16({}), 0);
}

TEST(Flash, TransferStoresTheImageAndRefusedChunksKeepTheirIndex) {
    Flash f;
    f.faults().erase_busy = 5;
    f.faults().reject_chunk = 1;
    std::vector<uint8_t> image(2100);
    std::iota(image.begin(), image.end(), uint8_t{0});

    EXPECT_EQ(info(f, 3)[4], 0xFF) << "no image stored yet";
    ASSERT_EQ(f.write(kActionBegin, begin_record(3, 7, 2100)), "");
    Ack a = ack(f);
    EXPECT_EQ(a.next, 0u);
    EXPECT_EQ(a.status, kAckInfoAccepted);
    EXPECT_NE(f.write(kActionErase, erase_record(3, 2000)), "") << "size differs from begin";
    ASSERT_EQ(f.write(kActionErase, erase_record(3, 2100)), "");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(ack(f).status, kAckBusy);
    a = ack(f);
    EXPECT_EQ(a.status, kAckReady);

    const std::span<const uint8_t> all(image);
    const auto first = all.subspan(0, 1018);
    ASSERT_EQ(f.write(kActionChunk, chunk(first, static_cast<uint16_t>(flash_crc16(first) ^ 1))),
              "");
    EXPECT_EQ(ack(f).next, 0u) << "a wrong CRC is refused";
    ASSERT_EQ(f.write(kActionChunk, chunk(first, flash_crc16(first))), "");
    EXPECT_EQ(ack(f).next, 1u);
    const auto second = all.subspan(1018, 1018);
    ASSERT_EQ(f.write(kActionChunk, chunk(second, flash_crc16(second))), "");
    EXPECT_EQ(ack(f).next, 1u) << "the rejected-chunk fault";
    f.faults().reject_chunk.reset();
    ASSERT_EQ(f.write(kActionChunk, chunk(second, flash_crc16(second))), "");
    const auto last = all.subspan(2036);
    ASSERT_EQ(f.write(kActionChunk, chunk(last, flash_crc16(last))), "");
    EXPECT_EQ(ack(f).next, 3u);
    ASSERT_TRUE(f.image(3));
    EXPECT_EQ(f.image(3)->bytes, image);
    EXPECT_EQ(f.image(3)->version, 7);

    const auto reply = info(f, 3);
    EXPECT_EQ(get_le16(&reply[2]), 7);
    EXPECT_EQ(get_le32(&reply[4]), 2100u);
    f.faults().no_valid_image = true;
    EXPECT_EQ(get_le32(&info(f, 3)[4]), kFlashNoImage);
}

TEST(Flash, PayloadReadsContinueAndStopAtTheEnd) {
    Flash f;
    std::vector<uint8_t> image(901);
    std::iota(image.begin(), image.end(), uint8_t{5});
    f.set_image(2, {1, image});
    info(f, 2);
    std::vector<uint8_t> got;
    for (uint32_t piece : {450u, 450u, 1u}) {
        std::vector<uint8_t> request(12, 0);
        put_le32(&request[4], piece);
        ASSERT_EQ(f.write(kActionPayload, request), "");
        std::vector<uint8_t> reply;
        ASSERT_EQ(f.read(kActionPayload, piece, reply), "");
        got.insert(got.end(), reply.begin(), reply.end());
    }
    EXPECT_EQ(got, image);
    std::vector<uint8_t> request(12, 0);
    put_le32(&request[4], 1);
    ASSERT_EQ(f.write(kActionPayload, request), "");
    std::vector<uint8_t> reply;
    EXPECT_NE(f.read(kActionPayload, 1, reply), "") << "nothing left to read";
    put_le32(&request[4], 451);
    EXPECT_NE(f.write(kActionPayload, request), "");
    EXPECT_NE(f.write(kActionChunk, chunk(image, 0)), "") << "no transfer begun";
}

}  // namespace
}  // namespace lumox::vcam
