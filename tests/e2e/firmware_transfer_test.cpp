// Firmware and data images through the real USB stack into the virtual camera's flash and back:
// whole transfers, refused chunks, long erases, and a camera without an image.

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "lumox/lumox.h"
#include "support/temp_dir.h"
#include "support/vcam_fixture.h"
#include "testing/hooks.h"

namespace lumox::test {
namespace {

vcam::FlashFaults flash_faults(unsigned erase_busy, std::optional<uint32_t> reject = {}) {
    vcam::FlashFaults f;
    f.erase_busy = erase_busy;
    f.reject_chunk = reject;
    return f;
}

std::vector<uint32_t> g_sleeps;
void record_sleep(uint32_t ms) { g_sleeps.push_back(ms); }

struct Progress {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
};
void on_progress(uint64_t done, uint64_t total, void *user) {
    static_cast<Progress *>(user)->calls.emplace_back(done, total);
}

class FirmwareTransfer : public VcamTest {
  protected:
    void SetUp() override {
        VcamTest::SetUp();
        g_sleeps.clear();
        previous_sleep_ = platform::set_sleep_hook(record_sleep);
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_OFF, nullptr);
        log_path_ = dir_.path() + "/lx.log";
        lx_log_enable(LX_LOG_OUT_FILE, LX_LOG_INF, log_path_.c_str());
        lumox_dev_t list[2];
        ASSERT_EQ(lumox_dev_list(list, 2), 1);
        dev_ = list[0];
        ASSERT_EQ(lumox_dev_open(&dev_), &dev_);
    }
    void TearDown() override {
        lumox_dev_close(&dev_);
        lx_log_disable();
        lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_WRN, nullptr);
        platform::set_sleep_hook(previous_sleep_);
        VcamTest::TearDown();
    }

    std::string write_image(const std::string &name, size_t size, uint8_t seed) {
        std::vector<uint8_t> bytes(size);
        std::iota(bytes.begin(), bytes.end(), seed);
        for (size_t i = 0; i < size; i += 7) bytes[i] ^= static_cast<uint8_t>(i >> 8);
        const std::string path = dir_.path() + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), static_cast<long>(size));
        return path;
    }

    size_t count_commands(uint16_t action, bool in) {
        const auto commands = camera().commands();
        return static_cast<size_t>(std::count_if(commands.begin(), commands.end(), [&](auto &c) {
            return c.type() == vcam::kCmdData && c.value() == action && c.is_in() == in;
        }));
    }

    std::string log() {
        lx_log_enable(LX_LOG_OUT_FILE, LX_LOG_INF, nullptr);  // flushes nothing away
        return read_file(log_path_);
    }

    TempDir dir_;
    std::string log_path_;
    lumox_dev_t dev_{};
    platform::SleepHook previous_sleep_ = nullptr;
};

TEST_F(FirmwareTransfer, ImageWrittenIntoFlashReadsBackByteForByte) {
    const std::string image = write_image("fw.bin", 3 * 1018 + 17, 9);
    camera().set_flash_faults(flash_faults(40));
    Progress progress;
    ASSERT_EQ(lumox_data_download_progress(&dev_, image.c_str(), 5, 2, 0, on_progress, &progress),
              1);
    ASSERT_TRUE(camera().flash_image(5));
    EXPECT_EQ(camera().flash_image(5)->version, 2);
    EXPECT_EQ(count_commands(vcam::kActionChunk, false), 4u);
    EXPECT_TRUE(g_sleeps.empty()) << "type 5 returns at once";
    ASSERT_FALSE(progress.calls.empty());
    EXPECT_EQ(progress.calls.back().first, 3071u);
    EXPECT_EQ(progress.calls.back().second, 3071u);
    EXPECT_EQ(progress.calls.front().first, 0u);

    const std::string back = dir_.path() + "/back.bin";
    camera().clear_commands();
    Progress read_progress;
    ASSERT_EQ(lumox_data_upload_progress(&dev_, 5, back.c_str(), on_progress, &read_progress), 1);
    EXPECT_EQ(read_file(back), read_file(image));
    EXPECT_EQ(count_commands(vcam::kActionPayload, true), 7u);  // 3071 = 6 x 450 + 371
    EXPECT_EQ(read_progress.calls.back().first, 3071u);

    // The plain front ends do the same; a firmware type resets the camera and waits 20 s.
    const std::string firmware = write_image("fw0.bin", 1019, 1);
    EXPECT_EQ(lumox_firmware_upgrade(&dev_, 0, 4, firmware.c_str()), 1);
    EXPECT_EQ(g_sleeps, std::vector<uint32_t>{20000});
    EXPECT_EQ(camera().reset_targets().back(), 0);
    const std::string back0 = dir_.path() + "/back0.bin";
    EXPECT_EQ(lumox_data_upload(&dev_, 0, back0.c_str()), 1);
    EXPECT_EQ(read_file(back0), read_file(firmware));
}

TEST_F(FirmwareTransfer, RefusedAndStaleWritesLeaveTheFlashAlone) {
    camera().set_flash_image(0, 5, std::vector<uint8_t>(100, 1));
    const std::string image = write_image("fw.bin", 2500, 3);
    camera().clear_commands();
    EXPECT_EQ(lumox_firmware_upgrade(&dev_, 2, 5, image.c_str()), -1);
    EXPECT_NE(log().find("Wrong version(Target:5,Now:5)"), std::string::npos);
    EXPECT_EQ(count_commands(vcam::kActionBegin, false), 0u);

    camera().set_flash_faults(flash_faults(2, 1));
    EXPECT_EQ(lumox_firmware_upgrade(&dev_, 2, 6, image.c_str()), -1);
    EXPECT_NE(log().find("Data transfer failed A.indx1, 1"), std::string::npos);
    EXPECT_FALSE(camera().flash_image(2));
    EXPECT_TRUE(g_sleeps.empty());
    EXPECT_TRUE(camera().reset_targets().empty());
}

TEST_F(FirmwareTransfer, EraseThatNeverEndsIsGivenUp) {
    api::DataTransferTiming timing;
    timing.erase_limit_ms = 50;
    const auto previous = api::set_data_transfer_timing(timing);
    camera().set_flash_faults(flash_faults(1u << 30));
    const std::string image = write_image("fw.bin", 10, 0);
    EXPECT_EQ(lumox_firmware_upgrade(&dev_, 3, 1, image.c_str()), -1);
    EXPECT_NE(log().find("data upgrade failed!"), std::string::npos);
    api::set_data_transfer_timing(previous);
}

TEST_F(FirmwareTransfer, UploadWithoutAnImageCreatesNoFile) {
    const std::string path = dir_.path() + "/none.bin";
    EXPECT_EQ(lumox_data_upload(&dev_, 7, path.c_str()), -1);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_NE(log().find("No valid data to read"), std::string::npos);

    // A payload that fails half-way does not pass for an upload, and leaves no partial file.
    camera().set_flash_image(7, 1, std::vector<uint8_t>(1000, 7));
    camera().fault_fail_next("flash read error", vcam::kCmdData, vcam::kActionPayload);
    EXPECT_EQ(lumox_data_upload(&dev_, 7, path.c_str()), -1);
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace lumox::test
