#include "lumox/firmware.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "api/fake_transport.h"
#include "lumox/log.h"
#include "support/temp_dir.h"
#include "testing/hooks.h"

namespace {

using lumox::test::fake;
using lumox::test::read_file;
using lumox::test::TempDir;

// A camera's flash protocol behind a fake transport table: it checks every record it receives
// and answers as the firmware does, with faults on demand.
struct FakeFlash {
    // What the camera holds and how it behaves.
    uint16_t stored_version = 3;
    std::vector<uint8_t> stored_image;
    bool no_image = false;
    int erase_busy_replies = 0;
    int reject_chunk = -1;       // answer this chunk with its own index
    int fail_payload_read = -1;  // fail the read phase of this payload request
    bool fail_info = false;

    // What the host did.
    std::vector<std::string> log;  // one line per command: "w 204/1 12" / "r 204/4 13"
    std::vector<uint8_t> received;
    std::vector<uint32_t> payload_sizes;
    std::vector<uint32_t> chunk_sizes;
    bool crc_ok = true;
    uint8_t info_request_type = 0xFF;

    // Protocol state.
    std::deque<al_ack_info> acks;
    uint32_t payload_pos = 0;
    uint32_t payload_wanted = 0;
    int payload_requests = 0;
    bool last_ok = true;

    uint8_t exe(uint8_t dir, uint8_t type, uint16_t value, void *buf, uint32_t len) {
        log.push_back(std::string(dir ? "w " : "r ") + std::to_string(type) + "/" +
                      std::to_string(value) + " " + std::to_string(len));
        last_ok = true;
        if (type != AL_DATA_CMD_TYPE) return 0;
        auto *bytes = static_cast<uint8_t *>(buf);
        switch (value) {
            case AL_ACTION_DATA_INFO:
                if (len != sizeof(al_data_info)) return 0;
                if (fail_info) {
                    last_ok = false;
                    return 1;
                }
                if (dir) {
                    info_request_type = bytes[0];
                } else {
                    al_data_info info{};
                    info.type = info_request_type;
                    info.version = stored_version;
                    info.size =
                        no_image ? AL_DATA_NO_IMAGE : static_cast<uint32_t>(stored_image.size());
                    info.addr = 0x80000;
                    std::memcpy(buf, &info, sizeof info);
                }
                return 1;
            case AL_ACTION_BEGIN:
                if (len != sizeof(al_action_info)) return 0;
                acks.push_back({0, AL_ACK_STATUS_ACCEPTED, {}});
                return 1;
            case AL_ACTION_ERASE: {
                if (len != sizeof(al_erase_info)) return 0;
                al_erase_info erase;
                std::memcpy(&erase, buf, sizeof erase);
                EXPECT_EQ(erase.chunk_size, 1018u);
                for (int i = 0; i < erase_busy_replies; ++i)
                    acks.push_back({0, AL_ACK_STATUS_BUSY, {}});
                acks.push_back({0, AL_ACK_STATUS_READY, {}});
                return 1;
            }
            case AL_ACTION_ACK:
                if (len != sizeof(al_ack_info)) return 0;
                if (!dir) {
                    if (acks.empty()) return 0;
                    std::memcpy(buf, &acks.front(), sizeof(al_ack_info));
                    acks.pop_front();
                }
                return 1;
            case AL_ACTION_CHUNK: {
                al_chunk_hdr hdr;
                std::memcpy(&hdr, buf, sizeof hdr);
                if (len != sizeof hdr + hdr.len) return 0;
                const uint8_t *data = bytes + sizeof hdr;
                if (al_data_calc_crc(data, static_cast<uint16_t>(hdr.len)) != hdr.crc)
                    crc_ok = false;
                const uint32_t k = static_cast<uint32_t>(chunk_sizes.size());
                chunk_sizes.push_back(hdr.len);
                received.insert(received.end(), data, data + hdr.len);
                acks.push_back({static_cast<int>(k) == reject_chunk ? k : k + 1, 1, {}});
                return 1;
            }
            case AL_ACTION_PAYLOAD:
                if (dir) {
                    if (len != sizeof(al_payload_req)) return 0;
                    al_payload_req req;
                    std::memcpy(&req, buf, sizeof req);
                    payload_wanted = req.len;
                    payload_sizes.push_back(req.len);
                    return 1;
                }
                if (payload_requests++ == fail_payload_read) return 0;
                if (len != payload_wanted || payload_pos + len > stored_image.size()) return 0;
                std::memcpy(buf, stored_image.data() + payload_pos, len);
                payload_pos += len;
                return 1;
            default:
                return 0;
        }
    }
};

// Puts flash behind the shared fake transport's command channel.
void serve(FakeFlash &flash) {
    fake().command = [&flash](uint8_t dir, uint8_t type, uint16_t value, void *buf, uint32_t len) {
        return flash.exe(dir, type, value, buf, len);
    };
    fake().command_status = [&flash](uint8_t type) -> uint8_t {
        return type == AL_DATA_CMD_TYPE && flash.last_ok;
    };
}

std::vector<uint32_t> g_sleeps;

class FirmwareTest : public testing::Test {
  protected:
    void SetUp() override {
        lumox::test::reset_fake();
        serve(fake_);
        dev_.ops = &lumox::test::kFakeOps;
        g_sleeps.clear();
        previous_sleep_ =
            lumox::platform::set_sleep_hook([](uint32_t ms) { g_sleeps.push_back(ms); });
        lx_log_disable();
    }
    void TearDown() override {
        lumox::platform::set_sleep_hook(previous_sleep_);
        lx_log_disable();
        lumox::test::reset_fake();
    }

    std::vector<uint8_t> image_file(const char *name, size_t size) {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
        std::FILE *f = std::fopen(dir_.file(name).c_str(), "wb");
        if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        return bytes;
    }

    // Runs f with error and info logging captured from the console.
    template <typename F>
    std::string logged(F f) {
        testing::internal::CaptureStdout();
        lx_log_enable(0, LX_LOG_DBG, nullptr);
        f();
        lx_log_disable();
        return testing::internal::GetCapturedStdout();
    }

    TempDir dir_;
    FakeFlash fake_;
    lumox_ll_dev dev_{};
    lumox::platform::SleepHook previous_sleep_ = nullptr;
};

TEST(DataCrc, XmodemCheckValues) {
    const char *text = "123456789";
    EXPECT_EQ(al_data_calc_crc(reinterpret_cast<const uint8_t *>(text), 9), 0x31C3);
    EXPECT_EQ(al_data_calc_crc(reinterpret_cast<const uint8_t *>(text), 0), 0);
    const uint8_t zero = 0;
    EXPECT_EQ(al_data_calc_crc(&zero, 1), 0);
    const uint8_t a = 'A';
    EXPECT_EQ(al_data_calc_crc(&a, 1), 0x58E5);
}

TEST_F(FirmwareTest, WritesImageInChunksThenResetsAndWaits) {
    const auto image = image_file("fw.bin", 1019);
    int32_t result = 0;
    const std::string log =
        logged([&] { result = lumox_bin_data_write(&dev_, 0, 4, 0, "fw.bin"); });
    EXPECT_EQ(result, 1) << log;
    EXPECT_EQ(fake_.chunk_sizes, (std::vector<uint32_t>{1018, 1}));
    EXPECT_EQ(fake_.received, image);
    EXPECT_TRUE(fake_.crc_ok);
    EXPECT_EQ(fake_.info_request_type, 0) << "the writer asks about type 0";
    EXPECT_EQ(fake().resets, 1);
    EXPECT_EQ(g_sleeps, (std::vector<uint32_t>{20000}));
    EXPECT_NE(log.find("[lumox_bin_data_write] Data transfer finished.\n"), std::string::npos);
    EXPECT_NE(log.find("!!! DO NOT RESET or POWER OFF the board until return !!!!"),
              std::string::npos);
}

TEST_F(FirmwareTest, ExactChunkSizeAndDataTypesWaitWithoutReset) {
    image_file("one.bin", 1018);
    EXPECT_EQ(lumox_bin_data_write(&dev_, 2, 9, 0, "one.bin"), 1);
    EXPECT_EQ(fake_.chunk_sizes, (std::vector<uint32_t>{1018}));
    EXPECT_EQ(fake().resets, 0);
    EXPECT_EQ(g_sleeps, (std::vector<uint32_t>{7000}));

    FakeFlash other;
    serve(other);
    g_sleeps.clear();
    image_file("data.bin", 3000);
    EXPECT_EQ(lumox_ll_firmware_upgrade(&dev_, 0x107, 9, "data.bin"), 1) << "type narrowed to 7";
    EXPECT_TRUE(g_sleeps.empty());
    EXPECT_EQ(other.chunk_sizes.size(), 3u);
}

TEST_F(FirmwareTest, SameOrOlderVersionIsRefusedBeforeAnythingIsSent) {
    image_file("fw.bin", 100);
    fake_.stored_version = 5;
    int32_t result = 0;
    const std::string log =
        logged([&] { result = lumox_bin_data_write(&dev_, 0, 5, 0, "fw.bin"); });
    EXPECT_EQ(result, -1);
    EXPECT_NE(log.find("[lumox_bin_data_write] Wrong version(Target:5,Now:5)\n"),
              std::string::npos);
    for (const auto &line : fake_.log)
        EXPECT_EQ(line.rfind("w 204/0", 0) == 0 || line.rfind("r 204/0", 0) == 0, true) << line;
    EXPECT_EQ(fake().resets, 0);
}

TEST_F(FirmwareTest, RejectedChunkEndsTheWriteWithoutReset) {
    image_file("fw.bin", 5000);
    fake_.reject_chunk = 2;
    int32_t result = 0;
    const std::string log =
        logged([&] { result = lumox_bin_data_write(&dev_, 0, 4, 0, "fw.bin"); });
    EXPECT_EQ(result, -1);
    EXPECT_NE(log.find("[lumox_bin_data_write] Data transfer failed A.indx2, 2\n"),
              std::string::npos);
    EXPECT_NE(log.find("[lumox_bin_data_write] data upgrade failed!\n"), std::string::npos);
    EXPECT_EQ(fake_.chunk_sizes.size(), 3u) << "a rejected chunk is not sent again";
    EXPECT_EQ(fake().resets, 0);
    EXPECT_TRUE(g_sleeps.empty());
}

TEST_F(FirmwareTest, KeepsAskingWhileTheCameraErases) {
    image_file("fw.bin", 10);
    fake_.erase_busy_replies = 250;
    EXPECT_EQ(lumox_bin_data_write(&dev_, 5, 4, 0, "fw.bin"), 1);
    EXPECT_EQ(fake_.received.size(), 10u);
}

TEST_F(FirmwareTest, EraseThatNeverEndsGivesUp) {
    image_file("fw.bin", 10);
    fake_.erase_busy_replies = 1000;  // longer than the limit below allows
    const auto previous = lumox::api::set_data_transfer_timing({0});
    EXPECT_EQ(lumox_bin_data_write(&dev_, 5, 4, 0, "fw.bin"), -1);
    EXPECT_TRUE(fake_.received.empty());
    lumox::api::set_data_transfer_timing(previous);
}

TEST_F(FirmwareTest, MissingEmptyFilesAndSilentCameraFail) {
    int32_t result = 0;
    std::string log = logged([&] { result = lumox_bin_data_write(&dev_, 0, 4, 0, "nope.bin"); });
    EXPECT_EQ(result, -1);
    EXPECT_NE(log.find("[lumox_bin_data_write] File open failed\n"), std::string::npos);

    image_file("empty.bin", 0);
    EXPECT_EQ(lumox_bin_data_write(&dev_, 0, 4, 0, "empty.bin"), -1);

    image_file("fw.bin", 10);
    fake_.fail_info = true;
    EXPECT_EQ(lumox_bin_data_write(&dev_, 0, 4, 0, "fw.bin"), -1)
        << "no version guard without the camera's information";
    EXPECT_TRUE(fake_.received.empty());
}

TEST_F(FirmwareTest, DirectoryOrOversizedImageFileIsRefusedBeforeReading) {
    ASSERT_EQ(mkdir(dir_.file("fw.d").c_str(), 0755), 0);
    // Sparse: a terabyte on paper, no room on disk; reading it whole could never work.
    const std::string huge = dir_.file("huge.bin");
    std::FILE *f = std::fopen(huge.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(ftruncate(fileno(f), off_t{1} << 40), 0);
    std::fclose(f);
    for (const std::string &path : {dir_.file("fw.d"), huge}) {
        int32_t result = 0;
        std::string log =
            logged([&] { result = lumox_bin_data_write(&dev_, 0, 4, 0, path.c_str()); });
        EXPECT_EQ(result, -1) << path;
        EXPECT_TRUE(log.find("not a regular file") != std::string::npos ||
                    log.find("larger than an image can be") != std::string::npos)
            << log;
        uint32_t size = 7;
        EXPECT_EQ(al_data_build_file_buffer(path.c_str(), &size), -1) << path;
        EXPECT_EQ(size, 0u);
    }
    EXPECT_TRUE(fake_.received.empty());
    EXPECT_TRUE(fake_.log.empty()) << "nothing was sent to the camera";
}

TEST_F(FirmwareTest, ReadsStoredImageIn450BytePieces) {
    for (size_t size : {900u, 901u}) {
        FakeFlash camera;
        camera.stored_image = image_file("src.bin", size);
        serve(camera);
        ASSERT_EQ(lumox_bin_data_read(&dev_, 7, "out.bin"), 1);
        const std::string out = read_file(dir_.file("out.bin"));
        EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end()), camera.stored_image);
        EXPECT_EQ(camera.info_request_type, 7);
        EXPECT_EQ(camera.payload_sizes, size == 900 ? (std::vector<uint32_t>{450, 450})
                                                    : (std::vector<uint32_t>{450, 450, 1}));
    }
}

TEST_F(FirmwareTest, ReadFailuresLeaveNoFile) {
    fake_.no_image = true;
    EXPECT_EQ(lumox_bin_data_read(&dev_, 1, "none.bin"), -1);
    EXPECT_FALSE(std::ifstream(dir_.file("none.bin")).good()) << "fails before creating a file";

    FakeFlash camera;
    camera.stored_image = image_file("src.bin", 1000);
    camera.fail_payload_read = 1;
    serve(camera);
    EXPECT_EQ(lumox_bin_data_read(&dev_, 1, "part.bin"), -1);
    EXPECT_FALSE(std::ifstream(dir_.file("part.bin")).good());

    FakeFlash empty;
    serve(empty);
    EXPECT_EQ(lumox_bin_data_read(&dev_, 1, nullptr), 1);
    EXPECT_EQ(read_file(dir_.file("calib.bin")), "") << "an empty image gives an empty file";
}

TEST_F(FirmwareTest, ActionHelpersCheckTheirArguments) {
    uint8_t rec[16] = {};
    EXPECT_EQ(al_data_send_action_info(&dev_, 2, rec, nullptr), -1);
    al_chunk_hdr empty_chunk{0, 0};
    EXPECT_EQ(al_data_send_action_info(&dev_, AL_ACTION_CHUNK, &empty_chunk, rec), -1);
    al_chunk_hdr too_long{0, 1019};
    EXPECT_EQ(al_data_send_action_info(&dev_, AL_ACTION_CHUNK, &too_long, rec), -1);
    EXPECT_EQ(al_data_read_action_info(&dev_, 9, rec), 1);
    EXPECT_TRUE(fake_.log.empty());
    EXPECT_EQ(al_get_data_payload(&dev_, rec, 451), 0);

    uint32_t size = 99;
    image_file("f.bin", 33);
    EXPECT_EQ(al_data_build_file_buffer("f.bin", &size), 1);
    EXPECT_EQ(size, 33u);
    EXPECT_EQ(al_data_build_file_buffer("missing.bin", &size), -1);
}

TEST_F(FirmwareTest, FrontEndsRefuseDevicesThatAreNotOpen) {
    lumox_dev_t closed{};
    int32_t result = 0;
    const std::string log = logged([&] { result = lumox_firmware_upgrade(&closed, 0, 1, "x"); });
    EXPECT_EQ(result, -1);
    EXPECT_NE(log.find("[lumox_firmware_upgrade] Wrong params\n"), std::string::npos);
    EXPECT_EQ(lumox_data_download(nullptr, "x", 2, 1, 0), -1);
    EXPECT_EQ(lumox_data_upload(&closed, 2, nullptr), -1);
}

}  // namespace
