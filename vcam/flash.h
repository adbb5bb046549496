// The camera's flash memory and its image protocol (commands of type 0xCC): images per type with
// version, address and bytes; writes announced, erased and sent in CRC-checked chunks that are
// acknowledged one by one; reads in payload pieces that continue where the last one ended.
//
// Not thread-safe by itself: the camera model calls it under its own lock.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lumox::vcam {

// Action numbers (the command value of type 0xCC).
inline constexpr uint16_t kActionDataInfo = 0x00;
inline constexpr uint16_t kActionBegin = 0x01;
inline constexpr uint16_t kActionAck = 0x04;
inline constexpr uint16_t kActionAckShort = 0x05;
inline constexpr uint16_t kActionChunk = 0x06;
inline constexpr uint16_t kActionErase = 0x07;
inline constexpr uint16_t kActionPayload = 0x11;

inline constexpr uint32_t kFlashChunkSize = 1018;
inline constexpr uint32_t kFlashPayloadMax = 450;

struct FlashImage {
    uint16_t version = 0;
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
};

// Faults of the image protocol, each consumed when it fires.
struct FlashFaults {
    unsigned erase_busy = 2;           // acknowledges that report "still erasing" after an erase
    int reject_chunk = -1;             // answer this chunk index with its own index (rejection)
    std::optional<uint32_t> ack_next;  // answer the next chunk with this index instead
};

// CRC-16 with polynomial 0x1021, initial value 0, no reflection, no final XOR.
uint16_t flash_crc16(std::span<const uint8_t> bytes);

class Flash {
  public:
    // OUT data stage of an action. false: the command failed (text explains it).
    bool write(uint16_t action, std::span<const uint8_t> data, std::string &text);
    // IN data stage of an action, len bytes asked. nullopt: the command failed.
    std::optional<std::vector<uint8_t>> read(uint16_t action, uint16_t len, std::string &text);

    void set_image(uint8_t type, FlashImage image) { images_[type] = std::move(image); }
    std::optional<FlashImage> image(uint8_t type) const;
    FlashFaults &faults() { return faults_; }
    // Chunks received in the current or last write (for tests: sizes in order).
    const std::vector<uint32_t> &chunk_sizes() const { return chunk_sizes_; }

  private:
    std::map<uint8_t, FlashImage> images_;
    FlashFaults faults_;

    uint8_t info_type_ = 0;
    // Write in progress.
    bool writing_ = false;
    uint8_t write_type_ = 0;
    uint16_t write_version_ = 0;
    uint32_t write_size_ = 0;
    std::vector<uint8_t> write_bytes_;
    std::vector<uint32_t> chunk_sizes_;
    unsigned busy_left_ = 0;
    struct Ack {
        uint32_t next;
        uint8_t status;
    };
    Ack ack_{0, 0};
    // Read in progress.
    uint8_t read_type_ = 0;
    uint32_t read_pos_ = 0;
    uint32_t payload_len_ = 0;
};

}  // namespace lumox::vcam
