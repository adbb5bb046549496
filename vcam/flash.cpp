#include "vcam/flash.h"

#include <algorithm>
#include <cstring>

namespace lumox::vcam {
namespace {

constexpr uint8_t kAckAccepted = 3;
constexpr uint8_t kAckBusy = 4;
constexpr uint8_t kAckReady = 1;
constexpr uint32_t kNoImage = 0xFFFFFFFFu;
constexpr uint32_t kFlashBase = 0x00080000;

uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

uint16_t flash_crc16(std::span<const uint8_t> bytes) {
    uint16_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= static_cast<uint16_t>(b) << 8;
        for (int i = 0; i < 8; ++i) {
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

std::optional<FlashImage> Flash::image(uint8_t type) const {
    const auto it = images_.find(type);
    if (it == images_.end()) return std::nullopt;
    return it->second;
}

bool Flash::write(uint16_t action, std::span<const uint8_t> data, std::string &text) {
    switch (action) {
        case kActionDataInfo:
            if (data.size() != 16) break;
            info_type_ = data[0];
            read_type_ = data[0];
            read_pos_ = 0;
            return true;
        case kActionBegin:
            if (data.size() != 12) break;
            writing_ = true;
            write_type_ = data[0];
            write_version_ = le16(&data[2]);
            write_size_ = le32(&data[4]);
            write_bytes_.clear();
            chunk_sizes_.clear();
            ack_ = {0, kAckAccepted};
            return true;
        case kActionErase:
            if (data.size() != 13 || !writing_) break;
            if (data[0] != write_type_ || le32(&data[1]) != write_size_ ||
                le32(&data[5]) != kFlashChunkSize) {
                text = "erase record does not match the transfer";
                return false;
            }
            busy_left_ = faults_.erase_busy;
            ack_ = {0, busy_left_ ? kAckBusy : kAckReady};
            return true;
        case kActionAck:
        case kActionAckShort:
            return data.size() == (action == kActionAck ? 13u : 9u);
        case kActionChunk: {
            if (data.size() < 6 || !writing_) break;
            const uint16_t crc = le16(&data[0]);
            const uint32_t len = le32(&data[2]);
            const uint32_t k = static_cast<uint32_t>(chunk_sizes_.size());
            if (len == 0 || len > kFlashChunkSize || data.size() != 6 + len) {
                text = "bad chunk length";
                return false;
            }
            const auto chunk = data.subspan(6, len);
            chunk_sizes_.push_back(len);
            const bool reject = faults_.reject_chunk == static_cast<int>(k) ||
                                flash_crc16(chunk) != crc ||
                                write_bytes_.size() + len > write_size_;
            if (reject) {
                faults_.reject_chunk = -1;
                ack_ = {k, kAckReady};
                return true;
            }
            write_bytes_.insert(write_bytes_.end(), chunk.begin(), chunk.end());
            ack_ = {k + 1, kAckReady};
            if (faults_.ack_next) {
                ack_.next = *faults_.ack_next;
                faults_.ack_next.reset();
            }
            if (write_bytes_.size() == write_size_) {
                images_[write_type_] = FlashImage{write_version_, kFlashBase, write_bytes_};
                writing_ = false;
            }
            return true;
        }
        case kActionPayload:
            if (data.size() != 12) break;
            payload_len_ = le32(&data[4]);
            if (payload_len_ == 0 || payload_len_ > kFlashPayloadMax) {
                text = "bad payload length";
                return false;
            }
            return true;
        default:
            text = "unknown data action";
            return false;
    }
    text = "bad data action record";
    return false;
}

std::optional<std::vector<uint8_t>> Flash::read(uint16_t action, uint16_t len, std::string &text) {
    std::vector<uint8_t> reply(len, 0);
    switch (action) {
        case kActionDataInfo: {
            if (len != 16) break;
            const auto it = images_.find(info_type_);
            reply[0] = info_type_;
            if (it == images_.end()) {
                put32(&reply[4], kNoImage);
            } else {
                reply[2] = static_cast<uint8_t>(it->second.version);
                reply[3] = static_cast<uint8_t>(it->second.version >> 8);
                put32(&reply[4], static_cast<uint32_t>(it->second.bytes.size()));
                put32(&reply[8], it->second.address);
            }
            return reply;
        }
        case kActionAck:
        case kActionAckShort: {
            if (len != (action == kActionAck ? 13u : 9u)) break;
            put32(&reply[0], ack_.next);
            reply[4] = ack_.status;
            if (ack_.status == kAckBusy && busy_left_ > 0 && --busy_left_ == 0) {
                ack_.status = kAckReady;
            }
            return reply;
        }
        case kActionPayload: {
            const auto it = images_.find(read_type_);
            if (it == images_.end() || len != payload_len_ ||
                read_pos_ + len > it->second.bytes.size()) {
                text = "payload read beyond the image";
                return std::nullopt;
            }
            std::memcpy(reply.data(), it->second.bytes.data() + read_pos_, len);
            read_pos_ += len;
            return reply;
        }
        default:
            break;
    }
    text = "bad data action read";
    return std::nullopt;
}

}  // namespace lumox::vcam
