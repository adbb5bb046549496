// Recordings and their playback by the model: a recording reads back as written (header, frame
// metadata, bytes), and a camera playing it streams the recorded frames byte for byte with their
// header fields, reports the recorded identity, keeps the recorded timing and obeys flow control.
#include "vcam/playback.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace lumox::vcam {
namespace {

constexpr uint32_t kFrameBytes = 4096;

struct ScratchFile {
    ScratchFile() {
        char name[] = "/tmp/lumox_playback_XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        path = name;
    }
    ~ScratchFile() { std::remove(path.c_str()); }
    std::string path;
};

recording::ParamRecord param(uint8_t id, std::initializer_list<uint8_t> value) {
    recording::ParamRecord r{};
    r[0] = id;
    r[1] = static_cast<uint8_t>(value.size());
    std::copy(value.begin(), value.end(), r.begin() + 2);
    return r;
}

std::vector<uint8_t> frame_bytes(uint32_t k) {
    std::vector<uint8_t> b(kFrameBytes);
    for (uint32_t i = 0; i < kFrameBytes; ++i) b[i] = static_cast<uint8_t>(i * 7 + k * 31);
    return b;
}

// Three frames 50 ms apart with frame indices 40, 41, 43 (one was lost while recording), or at
// the host times given.
recording::Header write_recording(const std::string &path, int compression,
                                  std::array<int64_t, 3> monotonic_ns = {
                                      1'000'000'000, 1'050'000'000, 1'100'000'000}) {
    recording::Header h;
    h.camera.product = "LXC660-E2-2.0.9";
    h.camera.id2 = "SN-4711";
    h.camera.id5 = {1, 2, 3};
    h.camera.parameters = {param(kParamChipInfo, {7, 0, 33, 0, 9, 0}),
                           param(kParamFrameRate, {25, 0, 0, 0}), param(kParamIntgTime, {0xE8, 3})};
    h.calibration.package = std::vector<uint8_t>(40, 9);
    h.calibration.package[0] = 1;  // valid
    h.calibration.package_version = 5;
    h.calibration.files = {{"param.bin", {1, 2}}, {"images.bin", std::vector<uint8_t>(300, 4)}};
    h.calibration.has_lens = true;
    h.calibration.lens = lx_lens_param{160.5, 120.25, 210, 211, {0.1, -0.2, 0, 0, 0.3}, 320, 240};
    h.capture = {25, 1000, 12000, {"1=on", "4=100"}};
    std::string error;
    auto w = recording::Writer::create(path, h, compression, &error);
    EXPECT_TRUE(w) << error;
    const uint16_t fridx[3] = {40, 41, 43};
    for (uint32_t k = 0; k < 3; ++k) {
        recording::FrameMeta m;
        m.info = {kFrameBytes, 2, fridx[k], 32, 16, 8, 0, 0};
        m.raw = {kFrameBytes, fridx[k], 2, 32, 16, static_cast<int16_t>(350 + k), 301, 77 + k};
        m.host_monotonic_ns = monotonic_ns[k];
        m.host_wall_ns = 1'700'000'000'000'000'000ll + k;
        const auto bytes = frame_bytes(k);
        EXPECT_TRUE(w->append(m, bytes.data(), bytes.size(), &error)) << error;
    }
    const auto other = frame_bytes(9);
    EXPECT_FALSE(w->append({}, other.data(), other.size() - 1, &error));
    EXPECT_NE(error.find("4096-byte"), std::string::npos) << error;
    EXPECT_TRUE(w->close(&error)) << error;
    return h;
}

TEST(Recording, ReadsBackWhatWasWritten) {
    for (int compression : {0, 6}) {
        ScratchFile file;
        const recording::Header h = write_recording(file.path, compression);
        std::string error;
        auto r = recording::Reader::open(file.path, &error);
        ASSERT_TRUE(r) << error;
        const recording::Header &g = r->header();
        EXPECT_EQ(g.camera.product, h.camera.product);
        EXPECT_EQ(g.camera.id2, h.camera.id2);
        EXPECT_EQ(g.camera.id5, h.camera.id5);
        EXPECT_EQ(g.camera.parameters, h.camera.parameters);
        EXPECT_EQ(g.calibration.package, h.calibration.package);
        EXPECT_EQ(g.calibration.package_version, 5u);
        ASSERT_EQ(g.calibration.files.size(), 2u);
        EXPECT_EQ(g.calibration.files[0].name, "images.bin");  // by name
        EXPECT_EQ(g.calibration.files[0].bytes, h.calibration.files[1].bytes);
        EXPECT_TRUE(g.calibration.has_lens);
        EXPECT_EQ(g.calibration.lens.cy, 120.25);
        EXPECT_EQ(g.calibration.lens.dcoeff[4], 0.3);
        EXPECT_EQ(g.calibration.lens.img_h, 240);
        EXPECT_EQ(g.capture.filters, h.capture.filters);
        EXPECT_EQ(g.capture.modulation_khz, 12000u);
        ASSERT_EQ(r->frame_count(), 3u);
        EXPECT_EQ(r->frame_size(), kFrameBytes);
        EXPECT_EQ(r->frames()[2].info.frame_idx, 43);
        EXPECT_EQ(r->frames()[2].raw.temp_sensor, 352);
        EXPECT_EQ(r->frames()[2].raw.spare, 79u);
        EXPECT_EQ(r->frames()[1].host_monotonic_ns, 1'050'000'000);
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(r->read(1, &bytes, &error));
        EXPECT_EQ(bytes, frame_bytes(1));
        EXPECT_FALSE(r->read(3, &bytes, &error));
    }
}

TEST(Recording, RefusesFilesThatAreNotRecordings) {
    ScratchFile file;
    std::FILE *f = std::fopen(file.path.c_str(), "w");
    std::fputs("not hdf5", f);
    std::fclose(f);
    std::string error;
    EXPECT_FALSE(recording::Reader::open(file.path, &error));
    EXPECT_NE(error.find("not an HDF5 file"), std::string::npos);
    EXPECT_FALSE(recording::Reader::open("/nonexistent/x.h5", &error));
}

// Frames the camera streams, reassembled from the segments: (header of the first segment, data).
std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> drain(Camera &camera) {
    std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> frames;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> chunk(1 << 16);
    for (size_t n; (n = camera.read_stream(chunk)) > 0;)
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + n);
    for (size_t pos = 0; pos + 36 <= bytes.size();) {
        const uint32_t len = get_le32(&bytes[pos + 4]);
        std::vector<uint8_t> header(bytes.begin() + pos, bytes.begin() + pos + 36);
        if (header[32] & 1) frames.push_back({header, {}});
        frames.back().second.insert(frames.back().second.end(), bytes.begin() + pos + 36,
                                    bytes.begin() + pos + 36 + len);
        pos += 36 + len;
    }
    return frames;
}

void start(Camera &camera) {
    SetupPacket setup{kRequestTypeOut, kCmdSensor, kSensorCaptureStart, 0, 4};
    const uint8_t arg[4] = {};
    camera.control(setup, arg);
}

TEST(Playback, CameraBecomesTheRecordedCamera) {
    ScratchFile file;
    write_recording(file.path, 0);
    PlaybackOptions options;
    options.timing = PlaybackOptions::Timing::kUnpaced;
    std::string error;
    std::shared_ptr<Playback> playback = Playback::open(file.path, options, &error);
    ASSERT_TRUE(playback) << error;
    CameraConfig config = playback->camera_config();
    config.stream.segment_size = 1000;  // frames span segments
    Camera camera(config);
    Playback::attach(playback, camera);

    const auto product = camera.param(kParamProduct);
    EXPECT_EQ(std::string(product.begin(), product.end()), "LXC660-E2-2.0.9");
    const auto id2 = camera.param(kParamId2);
    EXPECT_EQ(std::string(id2.begin(), id2.end()), "SN-4711");
    EXPECT_EQ(camera.param(kParamIntgTime), (std::vector<uint8_t>{0xE8, 3}));
    EXPECT_EQ(camera.param(kParamChipInfo), (std::vector<uint8_t>{7, 0, 33, 0, 9, 0}));
    EXPECT_EQ(camera.param(kParamCalibInfo)[0], 1);  // the recorded package is served

    for (int pass = 0; pass < 2; ++pass) {  // a second capture plays from the start again
        start(camera);
        const auto frames = drain(camera);
        ASSERT_EQ(frames.size(), 3u);  // and then the stream ends
        const uint16_t fridx[3] = {40, 41, 43};
        for (uint32_t k = 0; k < 3; ++k) {
            const auto &[header, data] = frames[k];
            EXPECT_EQ(data, frame_bytes(k)) << k;
            EXPECT_EQ(get_le32(&header[8]), kFrameBytes);
            EXPECT_EQ(get_le16(&header[12]), fridx[k]);
            EXPECT_EQ(get_le16(&header[16]), 32);  // width
            EXPECT_EQ(static_cast<int16_t>(get_le16(&header[20])), 350 + static_cast<int>(k));
            EXPECT_EQ(get_le32(&header[24]), 77 + k);  // spare
        }
    }
}

TEST(Playback, KeepsTheRecordedTimingAndLoops) {
    ScratchFile file;
    write_recording(file.path, 0);
    PlaybackOptions options;
    options.loop = true;
    options.first = 1;
    std::string error;
    auto playback = Playback::open(file.path, options, &error);
    ASSERT_TRUE(playback) << error;
    using std::chrono::milliseconds;
    EXPECT_EQ(playback->due(0), milliseconds(0));
    EXPECT_EQ(playback->due(1), milliseconds(50));
    EXPECT_EQ(playback->due(2), milliseconds(100));  // frame 1 again, one interval later
    EXPECT_EQ(playback->state(1000), FrameSource::State::kReady);
    options.loop = false;
    options.first = 3;
    EXPECT_FALSE(Playback::open(file.path, options, &error));
}

// A stall of the recording host plays as one second: played as it was, it would time out the
// program reading the playback.
TEST(Playback, ARecordedStallPlaysAsOneSecond) {
    ScratchFile file;
    write_recording(file.path, 0, {1'000'000'000, 1'050'000'000, 9'050'000'000});
    PlaybackOptions options;
    options.loop = true;
    std::string error;
    auto playback = Playback::open(file.path, options, &error);
    ASSERT_TRUE(playback) << error;
    using std::chrono::milliseconds;
    EXPECT_EQ(playback->due(1), milliseconds(50));
    EXPECT_EQ(playback->due(2), milliseconds(1050));
    EXPECT_EQ(playback->due(3), milliseconds(1050 + 525));  // a lap: the span and its mean gap
}

// Host times are untrusted: a clock that jumps to the ends of its range or goes backwards plays
// at once or after a bounded wait, never by overflowing arithmetic (UBSan would stop here).
TEST(Playback, ExtremeHostTimesGiveBoundedDueTimes) {
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    for (const std::array<int64_t, 3> &times :
         {std::array<int64_t, 3>{kMin, kMax, 0}, std::array<int64_t, 3>{kMax, kMin, kMax},
          std::array<int64_t, 3>{0, kMax, kMax}}) {
        ScratchFile file;
        write_recording(file.path, 0, times);
        PlaybackOptions options;
        options.loop = true;
        std::string error;
        auto playback = Playback::open(file.path, options, &error);
        ASSERT_TRUE(playback) << error;
        for (const uint64_t k : {uint64_t{0}, uint64_t{1}, uint64_t{2}, uint64_t{4},
                                 std::numeric_limits<uint64_t>::max()}) {
            const auto due = playback->due(k);
            ASSERT_TRUE(due);
            EXPECT_GE(due->count(), 0);
            // Far enough from the clock's end that the camera may add it to a time point.
            EXPECT_LE(*due, std::chrono::hours(24 * 365 * 200));
        }
        EXPECT_EQ(playback->due(0), std::chrono::nanoseconds(0));
    }
}

TEST(Playback, SendsNoFrameAheadOfTheCredits) {
    ScratchFile file;
    write_recording(file.path, 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    PlaybackOptions options;
    options.timing = PlaybackOptions::Timing::kUnpaced;
    options.credit_fd = fds[0];
    options.window = 1;
    ASSERT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
    std::string error;
    std::shared_ptr<Playback> playback = Playback::open(file.path, options, &error);
    ASSERT_TRUE(playback) << error;
    Camera camera(playback->camera_config());
    Playback::attach(playback, camera);
    start(camera);
    EXPECT_EQ(drain(camera).size(), 1u);
    EXPECT_TRUE(camera.next_frame_due());  // asks again shortly
    ASSERT_EQ(write(fds[1], "xx", 2), 2);
    EXPECT_EQ(drain(camera).size(), 2u);
    EXPECT_EQ(playback->state(3), FrameSource::State::kEnded);
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
}  // namespace lumox::vcam
