// The camera's side of the wire: control request codes, command types and values, status codes,
// parameter identifiers and the stream segment header. These are defined here, apart from the
// host library, so that the virtual camera checks the host's encoding instead of sharing it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace lumox::vcam {

// bmRequestType of the camera's commands: class request, recipient endpoint.
inline constexpr uint8_t kRequestTypeOut = 0x22;
inline constexpr uint8_t kRequestTypeIn = 0xA2;

// Command types (bRequest) and values (wValue).
inline constexpr uint8_t kCmdStatus = 0xB0;
inline constexpr uint8_t kCmdDevice = 0xC0;
inline constexpr uint16_t kDeviceReset = 0;
inline constexpr uint16_t kDeviceParamSet = 3;
inline constexpr uint16_t kDeviceParamGet = 4;
inline constexpr uint8_t kCmdSensor = 0xC2;
inline constexpr uint16_t kSensorRegWrite = 0;
inline constexpr uint16_t kSensorRegRead = 1;
inline constexpr uint16_t kSensorCaptureStart = 4;
inline constexpr uint16_t kSensorCaptureStop = 5;
inline constexpr uint8_t kCmdData = 0xCC;  // flash image and data actions

// Status record: 63 bytes, status byte, last type, last value (low 8 bits), NUL-terminated text.
inline constexpr size_t kStatusRecordSize = 63;
inline constexpr size_t kStatusTextSize = kStatusRecordSize - 3;
inline constexpr uint8_t kStatusDone = 0x00;
inline constexpr uint8_t kStatusBusy = 0xFE;
inline constexpr uint8_t kStatusFailed = 0xFF;

// Register transfer header: target (u8), base (u32), byte count (u16), little-endian.
inline constexpr size_t kRegHeaderSize = 7;

// Parameter record on the wire: identifier, value length, 18 value bytes.
inline constexpr size_t kParamRecordSize = 20;
inline constexpr size_t kParamValueSize = 18;

// Parameter identifiers the camera gives meaning to.
enum ParamId : uint8_t {
    kParamMode = 0,
    kParamId2 = 2,
    kParamProduct = 3,
    kParamId5 = 5,
    kParamId6 = 6,
    kParamChipInfo = 7,
    kParamCalibInfo = 8,
    kParamOpMode = 10,
    kParamFrameRate = 12,
    kParamIntgTime = 13,
    kParamTemperature = 15,
    kParamId17 = 17,
};
inline constexpr uint8_t kModeNormal = 0;
inline constexpr uint8_t kModeDataUpload = 9;

// Stream segment header.
inline constexpr size_t kStreamHeaderSize = 36;
inline constexpr uint8_t kStreamMagic0 = 0xFB;
inline constexpr uint8_t kStreamMagic1 = 0x98;
inline constexpr uint32_t kMaxSegmentLen = 0xFFFFF;
inline constexpr uint32_t kMaxFrameLen = 0x7FFFFFF;
inline constexpr uint16_t kMaxFrameFormat = 1023;
inline constexpr uint16_t kFormatRawDcs = 2;
inline constexpr uint16_t kFormatCalibration = 171;

// Byte offsets inside the stream header.
namespace hdr {
inline constexpr size_t kSidx = 2;
inline constexpr size_t kLen = 4;
inline constexpr size_t kFrameLen = 8;
inline constexpr size_t kFrameIdx = 12;
inline constexpr size_t kFormat = 14;
inline constexpr size_t kWidth = 16;
inline constexpr size_t kHeight = 18;
inline constexpr size_t kTempSensor = 20;
inline constexpr size_t kTempBoard = 22;
inline constexpr size_t kSpare = 24;
inline constexpr size_t kDataChecksum = 28;
inline constexpr size_t kFrameFlags = 32;
inline constexpr size_t kDataFlags = 33;
inline constexpr size_t kHeaderChecksum = 34;
}  // namespace hdr

// The 8-byte setup packet of a control transfer.
struct SetupPacket {
    uint8_t request_type = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;

    bool is_in() const { return (request_type & 0x80) != 0; }
    static SetupPacket parse(const uint8_t *bytes);
    void write(uint8_t *bytes) const;
};

inline uint16_t get_le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t get_le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void put_le16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_le32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Fletcher-16 of the header's first 34 bytes: sum1 + 256 * sum2, both modulo 255.
uint16_t fletcher16(std::span<const uint8_t> bytes);

// Sum modulo 2^32 of the little-endian 32-bit words of a segment's data (a trailing partial word
// does not count).
uint32_t data_checksum(std::span<const uint8_t> bytes);

}  // namespace lumox::vcam
