#include "vcam/flash.h"

#include <algorithm>
#include <cstdio>

#include "vcam/wire.h"

namespace lumox::vcam {

namespace {

constexpr size_t kInfoSize = 16;
constexpr size_t kBeginSize = 12;
constexpr size_t kEraseSize = 13;
constexpr size_t kAckSize = 13;
constexpr size_t kAckShortSize = 9;
constexpr size_t kChunkHeaderSize = 6;
constexpr size_t kPayloadRequestSize = 12;

std::string text(const char *fmt, unsigned a, unsigned b = 0) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, a, b);
    return buf;
}

}  // namespace

uint16_t flash_crc16(std::span<const uint8_t> bytes) {
    uint16_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= static_cast<uint16_t>(b << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

std::string Flash::write(uint16_t action, std::span<const uint8_t> data) {
    const size_t n = data.size();
    switch (action) {
        case kActionInfo:
            if (n != kInfoSize) return text("data info: %u bytes", static_cast<unsigned>(n));
            info_type_ = data[0];
            read_pos_ = 0;
            return {};
        case kActionBegin: {
            if (n != kBeginSize) return text("begin: %u bytes", static_cast<unsigned>(n));
            const uint32_t size = get_le32(&data[4]);
            if (size == 0 || size > kFlashCapacity) return text("image size %u", size);
            state_ = State::kBegun;
            type_ = data[0];
            version_ = get_le16(&data[2]);
            size_ = size;
            next_ = 0;
            incoming_.clear();
            return {};
        }
        case kActionErase: {
            if (n != kEraseSize) return text("erase: %u bytes", static_cast<unsigned>(n));
            if (state_ != State::kBegun) return "erase without a transfer";
            if (data[0] != type_ || get_le32(&data[1]) != size_)
                return text("erase of type %u, %u bytes", data[0], get_le32(&data[1]));
            if (get_le32(&data[5]) != kFlashChunkSize)
                return text("chunk size %u", get_le32(&data[5]));
            state_ = State::kErasing;
            busy_left_ = faults_.erase_busy;
            incoming_.reserve(size_);
            return {};
        }
        case kActionAck:
        case kActionAckShort:
            if (n != (action == kActionAck ? kAckSize : kAckShortSize))
                return text("ack request: %u bytes", static_cast<unsigned>(n));
            return {};
        case kActionChunk: {
            if (n < kChunkHeaderSize) return text("chunk: %u bytes", static_cast<unsigned>(n));
            if (state_ != State::kReceiving) return "chunk outside a transfer";
            const uint16_t crc = get_le16(&data[0]);
            const uint32_t len = get_le32(&data[2]);
            const auto bytes = data.subspan(kChunkHeaderSize);
            const uint32_t expected =
                std::min<uint32_t>(kFlashChunkSize, size_ - next_ * kFlashChunkSize);
            if (len != bytes.size()) return text("chunk length %u, %u bytes", len, bytes.size());
            // A chunk that is refused leaves `next` where it was: the acknowledge names it again.
            if (len != expected || flash_crc16(bytes) != crc ||
                (faults_.reject_chunk && *faults_.reject_chunk == next_))
                return {};
            incoming_.insert(incoming_.end(), bytes.begin(), bytes.end());
            ++next_;
            if (incoming_.size() == size_) {
                images_[type_] = FlashImage{version_, std::move(incoming_)};
                incoming_.clear();
                state_ = State::kIdle;
            }
            return {};
        }
        case kActionPayload: {
            if (n != kPayloadRequestSize)
                return text("payload request: %u bytes", static_cast<unsigned>(n));
            const uint32_t want = get_le32(&data[4]);
            if (want == 0 || want > kFlashMaxPayload) return text("payload of %u bytes", want);
            payload_want_ = want;
            return {};
        }
        default:
            return text("unknown data action %u", action);
    }
}

std::string Flash::read(uint16_t action, size_t want, std::vector<uint8_t> &reply) {
    reply.assign(want, 0);
    switch (action) {
        case kActionInfo: {
            if (want != kInfoSize) return text("data info read: %u bytes", want);
            auto it = images_.find(info_type_);
            const bool valid = it != images_.end() && !faults_.no_valid_image;
            reply[0] = info_type_;
            if (valid) put_le16(&reply[2], it->second.version);
            put_le32(&reply[4],
                     valid ? static_cast<uint32_t>(it->second.bytes.size()) : kFlashNoImage);
            put_le32(&reply[8], address_of(info_type_));
            return {};
        }
        case kActionAck:
        case kActionAckShort: {
            if (want != (action == kActionAck ? kAckSize : kAckShortSize))
                return text("ack read: %u bytes", want);
            uint8_t status = kAckReady;
            if (state_ == State::kBegun) {
                status = kAckInfoAccepted;
            } else if (state_ == State::kErasing) {
                if (busy_left_ > 0) {
                    --busy_left_;
                    status = kAckBusy;
                } else {
                    state_ = State::kReceiving;
                }
            }
            put_le32(&reply[0], next_);
            reply[4] = status;
            return {};
        }
        case kActionPayload: {
            const uint32_t asked = payload_want_;
            payload_want_ = 0;
            if (asked == 0 || want != asked) return text("payload read of %u bytes", want);
            auto it = images_.find(info_type_);
            if (it == images_.end() || faults_.no_valid_image) return "no image to read";
            const auto &bytes = it->second.bytes;
            if (read_pos_ + want > bytes.size())
                return text("payload beyond the image end (%u of %u)", read_pos_ + want,
                            static_cast<unsigned>(bytes.size()));
            std::copy_n(bytes.begin() + read_pos_, want, reply.begin());
            read_pos_ += static_cast<uint32_t>(want);
            return {};
        }
        default:
            return text("no read phase for data action %u", action);
    }
}

void Flash::set_image(uint8_t type, FlashImage image) { images_[type] = std::move(image); }

std::optional<FlashImage> Flash::image(uint8_t type) const {
    auto it = images_.find(type);
    if (it == images_.end()) return std::nullopt;
    return it->second;
}

}  // namespace lumox::vcam
