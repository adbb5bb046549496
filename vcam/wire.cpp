#include "vcam/wire.h"

namespace lumox::vcam {

SetupPacket SetupPacket::parse(const uint8_t *bytes) {
    SetupPacket s;
    s.request_type = bytes[0];
    s.request = bytes[1];
    s.value = get_le16(bytes + 2);
    s.index = get_le16(bytes + 4);
    s.length = get_le16(bytes + 6);
    return s;
}

void SetupPacket::write(uint8_t *bytes) const {
    bytes[0] = request_type;
    bytes[1] = request;
    put_le16(bytes + 2, value);
    put_le16(bytes + 4, index);
    put_le16(bytes + 6, length);
}

uint16_t fletcher16(std::span<const uint8_t> bytes) {
    uint32_t sum1 = 0;
    uint32_t sum2 = 0;
    for (uint8_t b : bytes) {
        sum1 = (sum1 + b) % 255;
        sum2 = (sum2 + sum1) % 255;
    }
    return static_cast<uint16_t>(sum1 + 256 * sum2);
}

uint32_t data_checksum(std::span<const uint8_t> bytes) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) sum += get_le32(bytes.data() + i);
    return sum;
}

}  // namespace lumox::vcam
