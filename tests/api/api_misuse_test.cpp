// Misuse of the public calls: a null record, a record that was never opened, a closed one and a
// second close, null outputs, short buffers, and calls after lumox_uninit. Every call answers with
// its failure value, sends nothing to the camera, and writes nothing it was not given room for.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/fake_transport.h"
#include "lumox/lumox.h"
#include "support/temp_dir.h"

namespace lumox::test {
namespace {

constexpr uint8_t kCanary = 0xC5;

void ignore_frame(lumox_dev_t *, lumox_frame *) {}
uint8_t ignore_error(lumox_dev_t *, int32_t, uint32_t) { return 1; }

class ApiMisuse : public FakeTransportTest {
  protected:
    // Runs every device call on dev, which is not open (or null), and checks that each fails
    // without touching its outputs or the camera.
    void expect_every_device_call_refused(lumox_dev_t *dev) {
        std::vector<uint8_t> canary(64, kCanary);
        auto untouched = [&](const void *p, size_t n) {
            return std::memcmp(p, canary.data(), n) == 0;
        };
        uint32_t regs[4];
        std::memset(regs, kCanary, sizeof regs);
        lumox_param_item items[2];
        std::memset(items, kCanary, sizeof items);
        uint8_t frame[32];
        std::memset(frame, kCanary, sizeof frame);
        lumox_frame_info info;
        std::memset(&info, kCanary, sizeof info);
        lumox_cap_stats stats;
        std::memset(&stats, kCanary, sizeof stats);
        lx_raw_frame_info raw;
        std::memset(&raw, kCanary, sizeof raw);
        void *buf_out = &stats;
        uint32_t size_out = 7;
        float dist[8];
        std::memset(dist, kCanary, sizeof dist);

        EXPECT_EQ(lumox_dev_get_drv(dev), nullptr);
        EXPECT_EQ(lumox_dev_reset(dev, 1), 0);
        EXPECT_EQ(lumox_reg_batch_write(dev, 1, 0, regs, 4), 0);
        EXPECT_EQ(lumox_reg_batch_read(dev, 1, 0, regs, 4), 0);
        EXPECT_TRUE(untouched(regs, sizeof regs));
        EXPECT_EQ(lumox_param_batch_set(dev, items, 2), 0);
        EXPECT_EQ(lumox_param_batch_get(dev, items, 2), 0);
        EXPECT_TRUE(untouched(items, sizeof items));

        EXPECT_EQ(lumox_cap_set_frame_buffer(dev, nullptr, 4 * LUMOX_FRAME_BUF_UNIT), 0);
        EXPECT_EQ(lumox_cap_get_frame_buffer(dev, &buf_out, &size_out), 0);
        EXPECT_EQ(buf_out, &stats);
        EXPECT_EQ(size_out, 7u);
        lumox_cap_set_callback_on_frame_ready(dev, ignore_frame);
        lumox_cap_set_callback_on_error(dev, ignore_error);
        EXPECT_EQ(lumox_cap_is_ongoing(dev), 0);
        EXPECT_EQ(lumox_cap_start(dev), 0);
        EXPECT_EQ(lumox_cap_stop(dev), 0);
        EXPECT_EQ(lumox_cap_get_frames(dev, 1, frame, sizeof frame, &info), LUMOX_CAP_BAD_CALL);
        EXPECT_EQ(lumox_cap_get_frame(dev, frame, sizeof frame, &info), LUMOX_CAP_BAD_CALL);
        EXPECT_EQ(lumox_cap_snapshot(dev, frame, sizeof frame, &info), 0);
        EXPECT_EQ(lumox_cap_wait(dev, 10), 0);
        EXPECT_TRUE(untouched(frame, sizeof frame));
        EXPECT_TRUE(untouched(&info, sizeof info));
        EXPECT_EQ(lumox_cap_get_stats(dev, &stats), 0);
        EXPECT_TRUE(untouched(&stats, sizeof stats));
        EXPECT_EQ(lumox_cap_get_raw_info(dev, &raw), 0);
        EXPECT_TRUE(untouched(&raw, sizeof raw));

        lumox_frame_info frame_info{};
        frame_info.frame_size = sizeof frame;
        frame_info.width = 2;
        frame_info.height = 2;
        EXPECT_EQ(lumox_frame_get_distance(dev, dist, 8, frame, sizeof frame, &frame_info), 0);
        EXPECT_EQ(lumox_frame_get_gray(dev, dist, 8, frame, sizeof frame, &frame_info), 0);
        float gray[8];
        EXPECT_EQ(
            lumox_frame_get_distance_gray(dev, dist, gray, 8, frame, sizeof frame, &frame_info), 0);
        float pcl[16];
        const float metres[4] = {1, 1, 1, 1};
        EXPECT_EQ(lumox_frame_get_pcl(dev, pcl, 16, metres, 4, 2, 2, nullptr), 0);
        EXPECT_EQ(lumox_frame_get_pcl_xyzd(dev, pcl, 16, metres, 4, 2, 2, 1, nullptr), 0);
        // The switches find a driver by the record's product string even when it is not open;
        // without a bound driver context it refuses (0), without a driver it has none (-1).
        EXPECT_LE(lumox_filter_enable(dev, FILTER_DEPTH_SMOOTH, nullptr, 0), 0);
        EXPECT_LE(lumox_filter_disable(dev, FILTER_DEPTH_SMOOTH), 0);
        EXPECT_EQ(lumox_firmware_upgrade(dev, 0, 2, "missing.bin"), -1);
        EXPECT_EQ(lumox_data_download(dev, "missing.bin", 2, 2, 0), -1);
        EXPECT_EQ(lumox_data_upload(dev, 2, nullptr), -1);

        // Nothing reached the camera.
        EXPECT_EQ(fake().reg_calls.load(), 0);
        EXPECT_EQ(fake().param_sets.load(), 0);
        EXPECT_EQ(fake().cap_starts.load(), 0);
        EXPECT_EQ(fake().resets.load(), 0);
    }
};

TEST_F(ApiMisuse, NullRecordIsRefusedByEveryCall) {
    expect_every_device_call_refused(nullptr);
    lumox_dev_close(nullptr);
    EXPECT_EQ(lumox_dev_list(nullptr, 4), 0);
}

TEST_F(ApiMisuse, NeverOpenedRecordIsRefusedAndLeftAsItWas) {
    lumox_dev_t dev{};
    dev.bus = 3;
    dev.port = 4;
    std::strcpy(dev.product, "left alone");
    const lumox_dev_t before = dev;
    expect_every_device_call_refused(&dev);
    EXPECT_EQ(std::memcmp(&before, &dev, sizeof dev), 0);
    lumox_dev_close(&dev);
    EXPECT_EQ(std::memcmp(&before, &dev, sizeof dev), 0);
}

TEST_F(ApiMisuse, ClosedRecordIsRefusedAndASecondCloseIsHarmless) {
    ASSERT_NE(open_device(), nullptr);
    lumox_dev_close(&dev_);
    ASSERT_EQ(dev_.state, nullptr);
    const int closes = fake().closes.load();
    lumox_dev_close(&dev_);
    EXPECT_EQ(fake().closes.load(), closes);
    EXPECT_EQ(dev_.state, nullptr);
    fake().cap_starts = 0;
    fake().param_sets = 0;
    fake().reg_calls = 0;
    expect_every_device_call_refused(&dev_);
}

TEST_F(ApiMisuse, NullOutputsOnAnOpenDeviceFailWithoutACrash) {
    ASSERT_NE(open_device(), nullptr);
    fake().reg_calls = 0;
    fake().param_sets = 0;
    EXPECT_EQ(lumox_cap_get_stats(&dev_, nullptr), 0);
    EXPECT_EQ(lumox_cap_get_raw_info(&dev_, nullptr), 0);
    EXPECT_EQ(lumox_cap_get_frame_buffer(&dev_, nullptr, nullptr), 1);
    EXPECT_EQ(lumox_param_batch_get(&dev_, nullptr, 2), 0);
    EXPECT_EQ(lumox_param_batch_set(&dev_, nullptr, 2), 0);
    EXPECT_EQ(lumox_reg_batch_read(&dev_, 1, 0, nullptr, 3), 0);
    EXPECT_EQ(lumox_reg_batch_write(&dev_, 1, 0, nullptr, 3), 0);
    EXPECT_EQ(fake().reg_calls.load(), 0);
    EXPECT_EQ(fake().param_sets.load(), 0);

    lumox_frame_info info{};
    info.frame_size = 16;
    info.width = 2;
    info.height = 2;
    uint8_t raw[16] = {};
    float dst[8];
    EXPECT_EQ(lumox_frame_get_distance(&dev_, nullptr, 8, raw, sizeof raw, &info), 0);
    EXPECT_EQ(lumox_frame_get_distance(&dev_, dst, 8, nullptr, sizeof raw, &info), 0);
    EXPECT_EQ(lumox_frame_get_distance(&dev_, dst, 8, raw, sizeof raw, nullptr), 0);
    EXPECT_EQ(lumox_frame_get_gray(&dev_, dst, 8, nullptr, sizeof raw, &info), 0);
    const float metres[4] = {1, 1, 1, 1};
    EXPECT_EQ(lumox_frame_get_pcl(&dev_, nullptr, 12, metres, 4, 2, 2, nullptr), 0);
    EXPECT_EQ(lumox_frame_get_pcl(&dev_, dst, 8, nullptr, 4, 2, 2, nullptr), 0);
    uint8_t rgb[12];
    EXPECT_EQ(lumox_cmap_float(nullptr, 12, metres, 4, LUMOX_CMAP_RGB24, 0, 2), 0);
    EXPECT_EQ(lumox_cmap_float(rgb, 12, nullptr, 4, LUMOX_CMAP_RGB24, 0, 2), 0);

    // A poll without a buffer takes the frames and copies them nowhere.
    ASSERT_TRUE(lumox_cap_set_frame_buffer(&dev_, nullptr, 4 * LUMOX_FRAME_BUF_UNIT));
    ASSERT_TRUE(lumox_cap_start(&dev_));
    emit(LUMOX_LL_CAP_DATA, frames(1, 2));
    EXPECT_EQ(lumox_cap_get_frames(&dev_, 2, nullptr, 1000, nullptr), 2);
    EXPECT_TRUE(lumox_cap_stop(&dev_));
}

TEST_F(ApiMisuse, ShortBuffersAreNeverWrittenPastTheirLength) {
    ASSERT_NE(open_device(), nullptr);
    ASSERT_TRUE(lumox_cap_set_frame_buffer(&dev_, nullptr, 4 * LUMOX_FRAME_BUF_UNIT));
    ASSERT_TRUE(lumox_cap_start(&dev_));
    emit(LUMOX_LL_CAP_DATA, frames(5, 3));

    // Two frames asked for, room for one and three bytes: the second is cut.
    const uint32_t len = kFrameLen + 3;
    std::vector<uint8_t> buf(len + 16, kCanary);
    ASSERT_EQ(lumox_cap_get_frames(&dev_, 2, buf.data(), len, nullptr), 2);
    EXPECT_EQ(buf[0], 5);
    EXPECT_EQ(buf[kFrameLen], 6);
    EXPECT_EQ(buf[len - 1], 6);
    for (size_t i = len; i < buf.size(); ++i) ASSERT_EQ(buf[i], kCanary) << i;

    // One frame into no room at all.
    std::vector<uint8_t> none(8, kCanary);
    EXPECT_EQ(lumox_cap_get_frame(&dev_, none.data(), 0, nullptr), 1);
    EXPECT_EQ(none, std::vector<uint8_t>(8, kCanary));
    EXPECT_TRUE(lumox_cap_stop(&dev_));

    // Conversions refuse a destination shorter than the image.
    lumox_frame_info info{};
    info.frame_size = 4 * 4 * 2 * 4;
    info.frame_format = 2;
    info.width = 4;
    info.height = 4;
    std::vector<uint8_t> raw(info.frame_size, 0);
    std::vector<float> dst(16 + 4, -7.0f);
    EXPECT_EQ(lumox_frame_get_distance(&dev_, dst.data(), 15, raw.data(),
                                       static_cast<uint32_t>(raw.size()), &info),
              0);
    for (size_t i = 15; i < dst.size(); ++i) EXPECT_EQ(dst[i], -7.0f) << i;

    // A point cloud stops when the next point does not fit.
    const float metres[4] = {1, 1, 1, 1};
    lumox_camera_view view{1, 1, 100, 100, 1};
    std::vector<float> pcl(7 + 4, -7.0f);
    EXPECT_EQ(lumox_frame_get_pcl(&dev_, pcl.data(), 7, metres, 4, 2, 2, &view), 2);
    for (size_t i = 6; i < pcl.size(); ++i) EXPECT_EQ(pcl[i], -7.0f) << i;

    // Colours: as many pixels as whole pixels fit.
    std::vector<uint8_t> rgb(7 + 4, kCanary);
    EXPECT_EQ(lumox_cmap_float(rgb.data(), 7, metres, 4, LUMOX_CMAP_RGB24, 0, 2), 2);
    for (size_t i = 6; i < rgb.size(); ++i) EXPECT_EQ(rgb[i], kCanary) << i;
}

TEST_F(ApiMisuse, CallsAfterUninitFailOrWorkWithoutTheReleasedColourMap) {
    TempDir dir;
    const std::string log = dir.file("lumox.log");
    lumox_init(log.c_str());
    ASSERT_NE(open_device(), nullptr);
    lumox_uninit();

    // The colour map is gone: colour conversions give black, nothing crashes.
    const float metres[2] = {0.5f, 1.5f};
    uint8_t rgb[6];
    std::memset(rgb, kCanary, sizeof rgb);
    EXPECT_LE(lumox_cmap_float(rgb, 6, metres, 2, LUMOX_CMAP_RGB24, 0, 2), 2);
    float pcl[8];
    lumox_camera_view view{0, 0, 100, 100, 1};
    EXPECT_LE(lumox_frame_get_pcl_xyzd(&dev_, pcl, 8, metres, 2, 2, 1, 1, &view), 2);

    // The device stays usable until closed, and closes cleanly; a second uninit is harmless.
    lumox_param_item rate{};
    rate.param_id = LUMOX_PARAM_FRAME_RATE;
    EXPECT_EQ(lumox_param_batch_get(&dev_, &rate, 1), 1);
    lumox_dev_close(&dev_);
    EXPECT_EQ(dev_.state, nullptr);
    lumox_uninit();
    fake().reg_calls = 0;
    fake().param_sets = 0;
    fake().resets = 0;
    fake().cap_starts = 0;
    expect_every_device_call_refused(&dev_);
    lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_WRN, nullptr);
}

}  // namespace
}  // namespace lumox::test
