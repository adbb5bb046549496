// The camera's flash store for firmware and data images, driven by the 0xCC action protocol:
// information queries (action 0), a transfer that begins (1), erases (7, busy for a while),
// takes CRC-checked chunks acknowledged with the index expected next (6 and 4), and payload
// reads that continue where the previous one ended (0x11). One image is kept per image type.
//
// Not thread-safe: the camera model calls it under its own lock.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lumox::vcam {

// Action numbers (command value of command type 0xCC).
inline constexpr uint16_t kActionInfo = 0;
inline constexpr uint16_t kActionBegin = 1;
inline constexpr uint16_t kActionAck = 4;
inline constexpr uint16_t kActionAckShort = 5;
inline constexpr uint16_t kActionChunk = 6;
inline constexpr uint16_t kActionErase = 7;
inline constexpr uint16_t kActionPayload = 0x11;

inline constexpr uint32_t kFlashChunkSize = 1018;
inline constexpr uint32_t kFlashMaxPayload = 450;
inline constexpr uint32_t kFlashNoImage = 0xFFFFFFFF;
inline constexpr uint32_t kFlashCapacity = 64u << 20;  // largest image the store takes

// Acknowledge status codes.
inline constexpr uint8_t kAckInfoAccepted = 3;
inline constexpr uint8_t kAckBusy = 4;
inline constexpr uint8_t kAckReady = 1;

struct FlashImage {
    uint16_t version = 0;
    std::vector<uint8_t> bytes;
};

struct FlashFaults {
    unsigned erase_busy = 2;               // busy acknowledges after each erase
    std::optional<uint32_t> reject_chunk;  // this chunk index is refused (next stays)
    bool no_valid_image = false;           // information replies report no image
};

// CRC-16/XMODEM, computed here apart from the host library.
uint16_t flash_crc16(std::span<const uint8_t> bytes);

class Flash {
  public:
    // An OUT data stage of the action; an empty result means accepted, else the status text.
    std::string write(uint16_t action, std::span<const uint8_t> data);
    // An IN data stage of `want` bytes; an empty result means accepted, else the status text
    // (reply then holds zeros).
    std::string read(uint16_t action, size_t want, std::vector<uint8_t> &reply);

    void set_image(uint8_t type, FlashImage image);
    std::optional<FlashImage> image(uint8_t type) const;
    FlashFaults &faults() { return faults_; }
    // Payload bytes handed out since the last information query (the read position).
    uint32_t read_position() const { return read_pos_; }

  private:
    enum class State { kIdle, kBegun, kErasing, kReceiving };
    static uint32_t address_of(uint8_t type) { return 0x100000u * (type + 1u); }

    std::map<uint8_t, FlashImage> images_;
    FlashFaults faults_;

    // Information query and payload reads.
    uint8_t info_type_ = 0;
    uint32_t read_pos_ = 0;
    uint32_t payload_want_ = 0;

    // Transfer in progress.
    State state_ = State::kIdle;
    uint8_t type_ = 0;
    uint16_t version_ = 0;
    uint32_t size_ = 0;
    uint32_t next_ = 0;
    unsigned busy_left_ = 0;
    std::vector<uint8_t> incoming_;
};

}  // namespace lumox::vcam
