#include "lumox/frame_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "lumox/log.h"
#include "support/temp_dir.h"

namespace {

using lumox::test::read_file;
using lumox::test::TempDir;

class FrameFileTest : public testing::Test {
  protected:
    void SetUp() override { lx_log_disable(); }

    int create(const char *name) {
        const int fd = open(dir_.file(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        fds_.push_back(fd);
        return fd;
    }
    int reopen(const char *name) {
        const int fd = open(dir_.file(name).c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        fds_.push_back(fd);
        return fd;
    }
    void write_text(const char *name, const std::string &text) {
        const int fd = create(name);
        ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void TearDown() override {
        for (int fd : fds_) close(fd);
    }

    TempDir dir_;
    std::vector<int> fds_;
};

TEST_F(FrameFileTest, U16DistanceHeaderOnceThenFramesAppend) {
    std::vector<float> image(320 * 240, 1.2345f);
    const int fd = create("d.lx");
    ASSERT_EQ(lumox_frame_save_distance(fd, SAVE_FMT_U16, image.data(), 320 * 240, 320, 240), 1);
    ASSERT_EQ(lumox_frame_save_distance(fd, SAVE_FMT_U16, image.data(), 320 * 240, 320, 240), 1);
    const std::string content = read_file(dir_.file("d.lx"));
    ASSERT_EQ(content.size(), 20u + 2 * 153600u);
    EXPECT_EQ(content.substr(0, 20), "LX_DIST,U16,320,240\n");
    uint16_t first;
    std::memcpy(&first, content.data() + 20, 2);
    EXPECT_EQ(first, 1234);

    const int in = reopen("d.lx");
    std::vector<float> loaded(320 * 240);
    int w = 0, h = 0;
    EXPECT_EQ(lumox_frame_load_distance(in, loaded.data(), 320 * 240, &w, &h), 320 * 240);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    EXPECT_FLOAT_EQ(loaded[100], 1.234f);
    EXPECT_EQ(lumox_frame_load_distance(in, loaded.data(), 10, nullptr, nullptr), 10);
    EXPECT_EQ(lumox_frame_load_distance(in, loaded.data(), 10, nullptr, nullptr), 0)
        << "the end of the file ends loading";
}

TEST_F(FrameFileTest, DistanceRoundTripsInEveryFormatWithInvalidCodes) {
    const std::vector<float> image = {0.5f, 1.0f, 65.3f, 65.4f, 65.5f, 2.25f};
    const struct {
        int format;
        size_t sample;
    } cases[] = {{SAVE_FMT_F32, 4}, {SAVE_FMT_U32, 4}, {SAVE_FMT_U16, 2}};
    for (const auto &c : cases) {
        const int fd = create("r.lx");
        ASSERT_EQ(lumox_frame_save_distance(fd, c.format, image.data(), 6, 3, 2), 1);
        EXPECT_EQ(read_file(dir_.file("r.lx")).size(), 16 + 6 * c.sample);
        const int in = reopen("r.lx");
        std::vector<float> back(6);
        ASSERT_EQ(lumox_frame_load_distance(in, back.data(), 6, nullptr, nullptr), 6);
        for (size_t i = 0; i < image.size(); ++i) EXPECT_NEAR(back[i], image[i], 1e-6) << i;
    }
}

TEST_F(FrameFileTest, DistanceWritesWholeFramesOnly) {
    std::vector<float> image(10, 3.0f);
    const int fd = create("p.lx");
    ASSERT_EQ(lumox_frame_save_distance(fd, SAVE_FMT_F32, image.data(), 10, 2, 2), 1);
    EXPECT_EQ(read_file(dir_.file("p.lx")).size(), std::string("LX_DIST,F32,2,2\n").size() + 32)
        << "2.5 frames write two";
}

TEST_F(FrameFileTest, FormatsAreCheckedPerKind) {
    const float v[4] = {1, 2, 3, 4};
    const int fd = create("f.lx");
    testing::internal::CaptureStdout();
    lx_log_enable(0, 4, nullptr);
    EXPECT_EQ(lumox_frame_save_gray(fd, SAVE_FMT_F32, v, 4, 2, 2), 0);
    EXPECT_EQ(lumox_frame_save_gray(fd, SAVE_FMT_U32, v, 4, 2, 2), 0);
    EXPECT_EQ(lumox_frame_save_distance(fd, SAVE_FMT_U8, v, 4, 2, 2), 0);
    EXPECT_EQ(lumox_frame_save_distance(fd, SAVE_FMT_F32, v, 4, 0, 2), 0);
    lx_log_disable();
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("[lumox_frame_save_gray] wrong gray save format: 0\n"), std::string::npos);
    EXPECT_NE(log.find("[lumox_frame_save_gray] wrong gray save format: 1\n"), std::string::npos);
    EXPECT_NE(log.find("[lumox_frame_save_distance] wrong distance save format: 3\n"),
              std::string::npos);
    EXPECT_EQ(read_file(dir_.file("f.lx")), "") << "nothing is written by a refused call";
}

TEST_F(FrameFileTest, GrayWritesOneFrameAndWrapsU8) {
    const float v[6] = {0.9f, 255.0f, 256.0f, 300.7f, 1000.0f, 7.0f};
    const int fd = create("g.lx");
    ASSERT_EQ(lumox_frame_save_gray(fd, SAVE_FMT_U8, v, 6, 2, 2), 1);
    const std::string content = read_file(dir_.file("g.lx"));
    ASSERT_EQ(content, std::string("LX_GRAY,U8,2,2\n") + std::string("\x00\xff\x00\x2c", 4));

    const int in = reopen("g.lx");
    float back[8] = {};
    int w = 0, h = 0;
    ASSERT_EQ(lumox_frame_load_gray(in, back, 8, &w, &h), 4);
    EXPECT_EQ(w * h, 4);
    EXPECT_EQ(back[1], 255.0f);
    EXPECT_EQ(back[3], 44.0f);

    const int fd16 = create("g16.lx");
    ASSERT_EQ(lumox_frame_save_gray(fd16, SAVE_FMT_U16, v, 6, 3, 2), 1);
    const int in16 = reopen("g16.lx");
    ASSERT_EQ(lumox_frame_load_gray(in16, back, 8, nullptr, nullptr), 6);
    EXPECT_EQ(back[4], 1000.0f) << "gray samples are not scaled";
}

TEST_F(FrameFileTest, WrongKindOfHeaderFailsAndForgetsTheStoredSize) {
    std::vector<float> image(6, 1.0f);
    const int fd = create("ok.lx");
    ASSERT_EQ(lumox_frame_save_distance(fd, SAVE_FMT_F32, image.data(), 6, 3, 2), 1);
    ASSERT_EQ(lumox_frame_save_distance(fd, SAVE_FMT_F32, image.data(), 6, 3, 2), 1);
    const int good = reopen("ok.lx");
    float back[6];
    ASSERT_EQ(lumox_frame_load_distance(good, back, 6, nullptr, nullptr), 6);

    write_text("gray.lx", "LX_GRAY,U8,4,2\n12345678");
    const int wrong = reopen("gray.lx");
    testing::internal::CaptureStdout();
    lx_log_enable(0, 4, nullptr);
    EXPECT_EQ(lumox_frame_load_distance(wrong, back, 6, nullptr, nullptr), 0);
    lx_log_disable();
    EXPECT_EQ(
        testing::internal::GetCapturedStdout().find("] [lumox_frame_load_distance] faile to "
                                                    "load LX file header\n") != std::string::npos,
        true);
    EXPECT_EQ(lumox_frame_load_distance(good, back, 6, nullptr, nullptr), 0)
        << "the shared distance header state was reset";
}

TEST_F(FrameFileTest, MalformedHeadersAreRejected) {
    float back[8];
    const char *bad[] = {
        "LX_DIST,F32,-4,2\n",           // negative size
        "LX_DIST,F32,0,2\n",            // empty frame
        "LX_DIST,F32,100000,100000\n",  // absurdly large
        "LX_DIST,F32,4\n",              // missing height
        "",                             // empty file
    };
    for (const char *text : bad) {
        write_text("bad.lx", text);
        const int in = reopen("bad.lx");
        EXPECT_EQ(lumox_frame_load_distance(in, back, 8, nullptr, nullptr), 0) << text;
    }
    // A header line longer than the 256-byte header buffer has no line end within it.
    write_text("long.lx", "LX_DIST,F32,1,1" + std::string(300, ' ') + "\n0000");
    EXPECT_EQ(lumox_frame_load_distance(reopen("long.lx"), back, 8, nullptr, nullptr), 0);
}

TEST_F(FrameFileTest, ShortFrameFailsWholeCall) {
    write_text("short.lx",
               std::string("LX_DIST,U16,2,2\n") + std::string("\x10\x00\x20\x00\x30", 5));
    float back[4] = {-1, -1, -1, -1};
    EXPECT_EQ(lumox_frame_load_distance(reopen("short.lx"), back, 4, nullptr, nullptr), 0);
    EXPECT_EQ(back[0], -1) << "no partial frame is returned";

    // A header claiming the largest frame over a few bytes fails at once, and through a pipe
    // (no size known in advance) at the end of the data.
    const std::string huge = "LX_DIST,F32,8192,8192\n" + std::string(64, '\0');
    write_text("huge.lx", huge);
    EXPECT_EQ(lumox_frame_load_distance(reopen("huge.lx"), back, 4, nullptr, nullptr), 0);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    ASSERT_EQ(write(pipe_fds[1], huge.data(), huge.size()), static_cast<ssize_t>(huge.size()));
    close(pipe_fds[1]);
    EXPECT_EQ(lumox_frame_load_distance(pipe_fds[0], back, 4, nullptr, nullptr), 0);
    close(pipe_fds[0]);
}

}  // namespace
