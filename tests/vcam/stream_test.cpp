// The camera's frame stream: header encoding against independent checksums, segmentation,
// frames per segment, stream faults, pacing and the calibration package in data-upload mode.
#include "vcam/stream.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "vcam/camera.h"

namespace lumox::vcam {
namespace {

// Independent references: Fletcher-16 as sum1 + 256 * sum2, and the sum of 32-bit words.
uint16_t ref_fletcher(const uint8_t *p, size_t n) {
    uint32_t a = 0, b = 0;
    for (size_t i = 0; i < n; ++i) {
        a = (a + p[i]) % 255;
        b = (b + a) % 255;
    }
    return static_cast<uint16_t>(a + 256 * b);
}

struct Segment {
    std::vector<uint8_t> header;
    std::vector<uint8_t> data;
    uint16_t sidx() const { return get_le16(&header[2]); }
    uint32_t len() const { return get_le32(&header[4]); }
    uint32_t frlen() const { return get_le32(&header[8]); }
    uint16_t fridx() const { return get_le16(&header[12]); }
    uint16_t frfmt() const { return get_le16(&header[14]); }
    bool start() const { return header[32] & 1; }
    bool header_ok() const {
        return header[0] == 0xFB && header[1] == 0x98 &&
               get_le16(&header[34]) == ref_fletcher(header.data(), 34);
    }
    bool data_ok() const {
        uint32_t sum = 0;
        for (size_t i = 0; i + 4 <= data.size(); i += 4) sum += get_le32(&data[i]);
        return !(header[33] & 1) || sum == get_le32(&header[28]);
    }
};

// Cuts a byte stream into segments by the header lengths (the stream must start at a header).
std::vector<Segment> split(const std::vector<uint8_t> &bytes) {
    std::vector<Segment> out;
    size_t pos = 0;
    while (pos + 36 <= bytes.size()) {
        Segment s;
        s.header.assign(bytes.begin() + pos, bytes.begin() + pos + 36);
        const size_t len = get_le32(&s.header[4]);
        s.data.assign(bytes.begin() + pos + 36, bytes.begin() + pos + 36 + len);
        out.push_back(std::move(s));
        pos += 36 + len;
    }
    EXPECT_EQ(pos, bytes.size());
    return out;
}

std::vector<uint8_t> drain(StreamGenerator &g) {
    std::vector<uint8_t> bytes(g.buffered());
    g.read(bytes);
    return bytes;
}

TEST(StreamChecksum, Fletcher16MatchesKnownValues) {
    const uint8_t abcde[] = {'a', 'b', 'c', 'd', 'e'};
    EXPECT_EQ(fletcher16(abcde), 0xC8F0);  // the published check value of "abcde"
    const uint8_t words[] = {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 9};
    EXPECT_EQ(data_checksum(words), 2u);  // wraps modulo 2^32; the trailing byte is not a word
}

TEST(StreamHeader, EncodesEveryFieldWithAValidChecksum) {
    SegmentHeader h;
    h.sidx = 0x1234;
    h.len = 0xFFFFF;
    h.frlen = 614400;
    h.fridx = 65535;
    h.frfmt = 2;
    h.width = 320;
    h.height = 240;
    h.temp_sensor = -5;
    h.temp_board = 301;
    h.spare = 0xA5A5A5A5;
    h.data_checksum = 0x01020304;
    h.frame_start = true;
    h.checksum_valid = true;
    uint8_t out[36];
    encode_header(h, out);
    const uint8_t expected[34] = {0xFB, 0x98, 0x34, 0x12, 0xFF, 0xFF, 0x0F, 0x00, 0x00,
                                  0x60, 0x09, 0x00, 0xFF, 0xFF, 0x02, 0x00, 0x40, 0x01,
                                  0xF0, 0x00, 0xFB, 0xFF, 0x2D, 0x01, 0xA5, 0xA5, 0xA5,
                                  0xA5, 0x04, 0x03, 0x02, 0x01, 1,    1};
    EXPECT_EQ(std::vector<uint8_t>(out, out + 34), std::vector<uint8_t>(expected, expected + 34));
    EXPECT_EQ(get_le16(out + 34), ref_fletcher(out, 34));
}

TEST(StreamGeneratorTest, FrameSpansSegmentsWithOrderAndChecksums) {
    StreamGenerator g;
    StreamConfig c;
    c.segment_size = 100000;  // 614400 = 6 * 100000 + 14400
    g.set_config(c);
    g.set_temperatures(352, 301);
    ASSERT_EQ(g.generate(), 1u);
    ASSERT_EQ(g.generate(), 1u);
    auto segs = split(drain(g));
    ASSERT_EQ(segs.size(), 14u);
    std::vector<uint8_t> frame;
    for (size_t i = 0; i < segs.size(); ++i) {
        const Segment &s = segs[i];
        EXPECT_TRUE(s.header_ok()) << i;
        EXPECT_TRUE(s.data_ok()) << i;
        EXPECT_EQ(s.sidx(), i);
        EXPECT_EQ(s.frlen(), 614400u);
        EXPECT_EQ(s.fridx(), i / 7);
        EXPECT_EQ(s.start(), i % 7 == 0);
        EXPECT_EQ(s.len(), i % 7 == 6 ? 14400u : 100000u);
        EXPECT_EQ(get_le16(&s.header[20]), 352);
        if (i < 7) frame.insert(frame.end(), s.data.begin(), s.data.end());
    }
    ASSERT_EQ(frame.size(), 614400u);
    for (uint32_t i = 0; i < 307200; ++i)
        ASSERT_EQ(get_le16(&frame[2 * i]), pattern_sample(0, i)) << i;
}

TEST(StreamGeneratorTest, SeveralFramesPerSegmentAndNoDataChecksum) {
    StreamGenerator g;
    StreamConfig c;
    c.width = 8;
    c.height = 4;  // 256-byte frames
    c.frames_per_segment = 3;
    c.data_checksum = false;
    g.set_config(c);
    EXPECT_EQ(g.generate(), 3u);
    EXPECT_EQ(g.generate(), 3u);
    auto segs = split(drain(g));
    ASSERT_EQ(segs.size(), 2u);
    EXPECT_EQ(segs[0].len(), 768u);
    EXPECT_EQ(segs[0].frlen(), 256u);
    EXPECT_EQ(segs[0].fridx(), 0);
    EXPECT_EQ(segs[1].fridx(), 3);
    EXPECT_TRUE(segs[1].start());
    EXPECT_EQ(segs[1].header[33] & 1, 0);
    EXPECT_EQ(get_le16(&segs[1].data[256]), pattern_sample(4, 0));
}

TEST(StreamGeneratorTest, FaultsCorruptOrDropSegments) {
    StreamGenerator g;
    StreamConfig c;
    c.segment_size = 153600;
    g.set_config(c);
    g.add_fault(StreamFault::kCorruptHeader, 1);
    g.add_fault(StreamFault::kCorruptData, 1);
    g.generate();
    auto segs = split(drain(g));
    ASSERT_EQ(segs.size(), 4u);
    // Both faults hit the next segment; the ones after it are intact.
    EXPECT_FALSE(segs[0].header_ok());
    EXPECT_FALSE(segs[0].data_ok());
    EXPECT_TRUE(segs[1].header_ok() && segs[1].data_ok());
    g.add_fault(StreamFault::kCorruptData, 1);
    g.generate();
    segs = split(drain(g));
    EXPECT_TRUE(segs[0].header_ok());
    EXPECT_FALSE(segs[0].data_ok());

    g.add_fault(StreamFault::kDropSegment, 1);
    g.generate();
    segs = split(drain(g));
    ASSERT_EQ(segs.size(), 3u);  // the frame's first segment is missing
    EXPECT_EQ(segs[0].sidx(), 9);
    EXPECT_FALSE(segs[0].start());
}

TEST(CameraStream, NothingBeforeCaptureThenPacedFrames) {
    CameraConfig config;
    config.frame_rate = 10;
    Camera cam(config);
    std::vector<uint8_t> buf(700000);
    EXPECT_EQ(cam.read_stream(buf), 0u);
    EXPECT_FALSE(cam.next_frame_due());

    const uint8_t start[4] = {};
    const auto before_start = Clock::now();
    cam.control({kRequestTypeOut, kCmdSensor, kSensorCaptureStart, 0, 4}, start);
    const auto after_start = Clock::now();
    // The first frame is due at once and ends the burst: 4 segments of 153600 bytes.
    EXPECT_EQ(cam.read_stream(buf), 614400u + 4 * 36);
    // The next one is due a frame time after the start; a read that ends before then gets
    // nothing (checked only when this thread got there in time: a loaded host may be late).
    const auto due = cam.next_frame_due();
    ASSERT_TRUE(due);
    EXPECT_GE(*due, before_start + std::chrono::milliseconds(100));
    EXPECT_LE(*due, after_start + std::chrono::milliseconds(100));
    const size_t early = cam.read_stream(buf);
    if (Clock::now() < *due) {
        EXPECT_EQ(early, 0u);
    }
    std::this_thread::sleep_until(*due);
    if (early == 0) {
        EXPECT_EQ(cam.read_stream(buf), 614400u + 4 * 36);
    }
    EXPECT_EQ(get_le16(&buf[12]), 1);  // frame index 1
    auto counters = cam.counters();
    EXPECT_EQ(counters.frames_sent, 2u);
    EXPECT_EQ(counters.segments_sent, 8u);
    EXPECT_EQ(counters.bytes_streamed, 2u * (614400 + 4 * 36));
}

TEST(CameraStream, UnpacedStreamFillsEveryTransfer) {
    CameraConfig config;
    config.paced = false;
    Camera cam(config);
    const uint8_t start[4] = {};
    cam.control({kRequestTypeOut, kCmdSensor, kSensorCaptureStart, 0, 4}, start);
    std::vector<uint8_t> buf(153600);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(cam.read_stream(buf), 153600u);
}

TEST(CameraStream, DataUploadModeStreamsTheCalibrationPackage) {
    CameraConfig config;
    config.paced = false;
    Camera cam(config);
    std::vector<uint8_t> package(17 + 1000, 0x5C);
    package[0] = 1;  // valid
    package[2] = 1;  // zip
    put_le32(&package[11], 1000);
    put_le16(&package[15], 0xBEEF);
    cam.set_calibration_package(package, 42);
    auto info = cam.param(kParamCalibInfo);
    ASSERT_EQ(info.size(), 17u);
    EXPECT_EQ(info[0], 1);
    EXPECT_EQ(get_le32(&info[3]), 42u);
    EXPECT_EQ(get_le32(&info[7]), 1017u);
    EXPECT_EQ(get_le32(&info[11]), 1000u);
    EXPECT_EQ(get_le16(&info[15]), 0xBEEF);

    const uint8_t mode[20] = {kParamMode, 1, kModeDataUpload};
    cam.control({kRequestTypeOut, kCmdDevice, kDeviceParamSet, 0, 20}, mode);
    const uint8_t start[4] = {};
    cam.control({kRequestTypeOut, kCmdSensor, kSensorCaptureStart, 0, 4}, start);
    std::vector<uint8_t> buf(36 + 1017);
    ASSERT_EQ(cam.read_stream(buf), buf.size());
    EXPECT_EQ(get_le16(&buf[14]), kFormatCalibration);
    EXPECT_EQ(get_le32(&buf[8]), 1017u);
    EXPECT_TRUE(std::equal(package.begin(), package.end(), buf.begin() + 36));
}

}  // namespace
}  // namespace lumox::vcam
