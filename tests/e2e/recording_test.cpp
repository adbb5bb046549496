// A recording converted without the camera gives the distances and amplitudes a live decode of
// the same frames gave, bit for bit: frames captured from a virtual camera with its calibration
// package are decoded live and written to a recording; `lumox convert` (which plays the
// recording on a virtual camera of its own) must reproduce every value.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "lumox/lumox.h"
#include "recording/recording.h"
#include "support/temp_dir.h"
#include "support/vcam_fixture.h"
#include "vcam/depth_sensor.h"

namespace lumox::test {
namespace {

constexpr uint32_t kFrames = 100;
constexpr uint32_t kPixels = 320 * 240;

// Runs the command outside this process's virtual bus; returns its exit status.
int run(const std::vector<std::string> &words) {
    const pid_t child = fork();
    if (child == 0) {
        unsetenv("LD_PRELOAD");
        unsetenv("UMOCKDEV_DIR");
        std::vector<char *> argv;
        for (const std::string &w : words) argv.push_back(const_cast<char *>(w.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        std::perror(argv[0]);
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The frames of a frame file ("LX_...,W,H\n" then the samples) as raw sample bytes.
std::vector<uint8_t> frame_file_samples(const std::string &path, std::string *header) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    const auto nl = std::find(bytes.begin(), bytes.end(), '\n');
    if (nl == bytes.end()) return {};
    header->assign(bytes.begin(), nl);
    return std::vector<uint8_t>(nl + 1, bytes.end());
}

class RecordingConvert : public VcamTest {
  protected:
    void SetUp() override {
        VcamTest::SetUp();
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_ERR, nullptr);
        // The sensor's noise differs in every frame, so that no two frames are alike.
        camera().set_live_source(std::make_shared<vcam::SensorModel>(vcam::Scene::box(1500.0)));
        camera().set_calibration_package(sensor_.package(), 1);
        camera().set_param_u32(vcam::kParamFrameRate, 100);
        lumox_path_cfg((dir_.path() + "/").c_str());
    }
    void TearDown() override {
        if (dev_.state) lumox_dev_close(&dev_);
        epc_adapter_uninit();
        lumox_path_cfg(".\\");
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_WRN, nullptr);
        VcamTest::TearDown();
    }

    recording::ParamRecord param(uint32_t id) {
        lumox_param_item item{};
        item.param_id = id;
        EXPECT_TRUE(lumox_param_batch_get(&dev_, &item, 1)) << id;
        recording::ParamRecord r{};
        r[0] = static_cast<uint8_t>(id);
        r[1] = item.param_val_len;
        std::memcpy(r.data() + 2, item.param_val, LUMOX_PARAM_VAL_MAX);
        return r;
    }

    TempDir dir_;
    const vcam::DepthSensor sensor_;
    lumox_dev_t dev_{};
};

TEST_F(RecordingConvert, ConvertGivesTheLiveDecodeBitForBit) {
    lumox_dev_t list[2];
    ASSERT_EQ(lumox_dev_list(list, 2), 1);
    dev_ = list[0];
    ASSERT_EQ(lumox_dev_open(&dev_), &dev_);  // fetches the calibration: the directory is empty
    uint16_t min_amplitude = 40;
    ASSERT_EQ(lumox_filter_enable(&dev_, FILTER_MIN_AMPLITUDE, &min_amplitude, 2), 1);

    recording::Header header;
    header.camera.product = std::string(dev_.product, strnlen(dev_.product, 32));
    header.camera.id2 = std::string(dev_.id2, strnlen(dev_.id2, 32));
    for (uint32_t id : {LUMOX_PARAM_CHIP_INFO, LUMOX_PARAM_FRAME_RATE, LUMOX_PARAM_INTG_TIME})
        header.camera.parameters.push_back(param(id));
    header.calibration.package = sensor_.package();
    header.calibration.package_version = 1;
    header.calibration.fetched_at_open = true;
    header.capture.frame_rate = 100;
    header.capture.filters = {"4=40"};
    const std::string file = dir_.file("live.h5");
    std::string error;
    auto writer = recording::Writer::create(file, header, 1, &error);
    ASSERT_TRUE(writer) << error;

    ASSERT_TRUE(lumox_cap_set_frame_buffer(&dev_, nullptr, 8 * LUMOX_FRAME_BUF_UNIT));
    ASSERT_TRUE(lumox_cap_start(&dev_));
    std::vector<uint8_t> raw(8 * kPixels);
    std::vector<float> distance(kPixels), gray(kPixels);
    std::vector<uint8_t> live_distance, live_gray;
    for (uint32_t k = 0; k < kFrames; ++k) {
        recording::FrameMeta meta;
        ASSERT_EQ(lumox_cap_get_frames(&dev_, 1, raw.data(), static_cast<uint32_t>(raw.size()),
                                       &meta.info),
                  1);
        ASSERT_TRUE(lumox_cap_get_raw_info(&dev_, &meta.raw));
        meta.host_monotonic_ns = recording::monotonic_ns();
        meta.host_wall_ns = recording::wall_ns();
        ASSERT_TRUE(writer->append(meta, raw.data(), meta.info.frame_size, &error)) << error;
        ASSERT_EQ(lumox_frame_get_distance(&dev_, distance.data(), kPixels, raw.data(),
                                           meta.info.frame_size, &meta.info),
                  static_cast<int32_t>(kPixels));
        ASSERT_EQ(lumox_frame_get_gray(&dev_, gray.data(), kPixels, raw.data(),
                                       meta.info.frame_size, &meta.info),
                  static_cast<int32_t>(kPixels));
        const auto *d = reinterpret_cast<const uint8_t *>(distance.data());
        live_distance.insert(live_distance.end(), d, d + 4 * kPixels);
        for (float g : gray) {  // as the 16-bit gray frame file holds it
            const auto v = static_cast<uint16_t>(g);
            live_gray.push_back(static_cast<uint8_t>(v));
            live_gray.push_back(static_cast<uint8_t>(v >> 8));
        }
    }
    lumox_cap_stop(&dev_);
    ASSERT_TRUE(writer->close(&error)) << error;
    lumox_dev_close(&dev_);
    // The filter took effect, and the frames are not all alike: the comparison means something.
    EXPECT_NE(std::memcmp(live_distance.data(), live_distance.data() + 4 * kPixels, 4 * kPixels),
              0);

    const std::string out = dir_.file("converted");
    ASSERT_EQ(run({LUMOX_CLI_PATH, "convert", file, "--to", "lx", "--out", out}), 0);
    std::string head;
    const std::vector<uint8_t> converted = frame_file_samples(out + "/distance.lx", &head);
    EXPECT_EQ(head, "LX_DIST,F32,320,240");
    ASSERT_EQ(converted.size(), live_distance.size());
    EXPECT_TRUE(converted == live_distance);
    EXPECT_TRUE(frame_file_samples(out + "/gray.lx", &head) == live_gray);
    EXPECT_EQ(head, "LX_GRAY,U16,320,240");

    // A range of frames: exactly those.
    const std::string part = dir_.file("part");
    ASSERT_EQ(
        run({LUMOX_CLI_PATH, "convert", file, "--to", "lx", "--frames", "90:", "--out", part}), 0);
    const std::vector<uint8_t> tail = frame_file_samples(part + "/distance.lx", &head);
    ASSERT_EQ(tail.size(), 10u * 4 * kPixels);
    // The minimum-amplitude filter keeps a per-pixel hysteresis: a range starts without the
    // history of the frames before it, so a dark pixel hovering at the threshold (the image
    // corners get a quarter of the centre's light) may be removed in one and kept in the other.
    // Nearly every distance both keep is the same to the bit (depth smoothing carries those few
    // differences to their neighbours).
    const uint8_t *live_tail = live_distance.data() + live_distance.size() - tail.size();
    size_t kept = 0, differ = 0, hysteresis = 0;
    for (size_t i = 0; i < tail.size(); i += 4) {
        float a = 0, b = 0;
        std::memcpy(&a, &tail[i], 4);
        std::memcpy(&b, live_tail + i, 4);
        const bool removed_a = a == 65.3f, removed_b = b == 65.3f;
        if (removed_a != removed_b) {
            ++hysteresis;
        } else if (!removed_a) {
            ++kept;
            differ += std::memcmp(&tail[i], live_tail + i, 4) != 0;
        }
    }
    EXPECT_LT(differ, kept / 100);
    EXPECT_GT(kept, 10u * kPixels / 2);
    EXPECT_LT(hysteresis, 10u * kPixels / 100);
}

}  // namespace
}  // namespace lumox::test
