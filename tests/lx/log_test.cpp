#include "lumox/log.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <thread>

#include "lumox/lumox.h"
#include "support/temp_dir.h"

namespace {

using lumox::test::read_file;
using lumox::test::TempDir;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Every test starts from the thresholds a process starts with and ends with logging off.
class LogTest : public testing::Test {
  protected:
    void SetUp() override {
        lx_log_disable();
        lx_log_enable(LX_LOG_OUT_CONSOLE, 3, nullptr);
        lx_log_enable(LX_LOG_OUT_RESERVED, 5, nullptr);
    }
    void TearDown() override { lx_log_disable(); }

    TempDir dir_;
};

// True when text is "YYYY/MM/DD hh:mm:ss.mmm[tid]" followed by rest, digit for digit.
bool is_record(const std::string &text, const std::string &rest) {
    const std::string shape = "dddd/dd/dd dd:dd:dd.ddd[";
    if (text.size() < shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return false;
    }
    size_t i = shape.size();
    const size_t tid_start = i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    return i > tid_start && text.compare(i, std::string::npos, "]" + rest) == 0;
}

TEST_F(LogTest, RecordCarriesStampThreadAndTag) {
    CaptureStdout();
    lx_log(LX_LOG_WRN, "WRN", "[%s] value %d\n", "caller", 42);
    const std::string out = GetCapturedStdout();
    EXPECT_TRUE(is_record(out, "[WRN] [caller] value 42\n")) << out;
}

TEST_F(LogTest, RawRecordHasNoStamp) {
    CaptureStdout();
    lx_log_raw(LX_LOG_ERR, "%d-%s", 7, "x");
    EXPECT_EQ(GetCapturedStdout(), "7-x");
}

TEST_F(LogTest, ThresholdsChooseTheOutputs) {
    ASSERT_EQ(lx_log_enable(LX_LOG_OUT_FILE, 1, "t.log"), 1);
    CaptureStdout();
    lx_log(LX_LOG_WRN, "WRN", "[%s] both\n", "f");
    lx_log(LX_LOG_TRC, "TRC", "[%s] nowhere\n", "f");
    lx_log(LX_LOG_DBG, "DBG", "[%s] file only\n", "f");
    const std::string console = GetCapturedStdout();
    const std::string file = read_file(dir_.file("t.log"));

    EXPECT_NE(console.find("[WRN] [f] both\n"), std::string::npos);
    EXPECT_EQ(console.find("nowhere"), std::string::npos);
    EXPECT_EQ(console.find("file only"), std::string::npos);
    EXPECT_NE(file.find("[WRN] [f] both\n"), std::string::npos);
    EXPECT_NE(file.find("[DBG] [f] file only\n"), std::string::npos);
    EXPECT_EQ(file.find("nowhere"), std::string::npos);
}

TEST_F(LogTest, DisableSilencesEverything) {
    ASSERT_EQ(lx_log_enable(LX_LOG_OUT_FILE, 0, "t.log"), 1);
    lx_log_disable();
    CaptureStdout();
    lx_log(LX_LOG_ERR, "ERR", "[%s] gone\n", "f");
    lx_log_raw(LX_LOG_ERR, "gone\n");
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(read_file(dir_.file("t.log")), "");
}

TEST_F(LogTest, EnableRejectsBadIndexAndKeepsOpenFile) {
    EXPECT_EQ(lx_log_enable(3, 0, nullptr), 0);
    EXPECT_EQ(lx_log_enable(LX_LOG_OUT_RESERVED, 0, nullptr), 1);
    CaptureStdout();
    lx_log(LX_LOG_DBG, "DBG", "[%s] below console\n", "f");
    EXPECT_EQ(GetCapturedStdout(), "") << "index 3 and the reserved output change nothing";

    ASSERT_EQ(lx_log_enable(LX_LOG_OUT_FILE, 1, "a.log"), 1);
    ASSERT_EQ(lx_log_enable(LX_LOG_OUT_FILE, 4, nullptr), 1);
    lx_log(LX_LOG_WRN, "WRN", "[%s] under new file threshold\n", "f");
    lx_log(LX_LOG_ERR, "ERR", "[%s] kept file\n", "f");
    EXPECT_EQ(read_file(dir_.file("a.log")).find("under new"), std::string::npos);
    EXPECT_NE(read_file(dir_.file("a.log")).find("kept file"), std::string::npos);
    EXPECT_FALSE(lumox::test::read_file(dir_.file("lx.log")).size());
}

TEST_F(LogTest, NullPathWithoutFileOpensDefaultAndNewPathSwitches) {
    ASSERT_EQ(lx_log_enable(LX_LOG_OUT_FILE, 1, nullptr), 1);
    lx_log(LX_LOG_ERR, "ERR", "[%s] first\n", "f");
    ASSERT_EQ(lx_log_enable(LX_LOG_OUT_FILE, 1, "b.log"), 1);
    lx_log(LX_LOG_ERR, "ERR", "[%s] second\n", "f");
    EXPECT_NE(read_file(dir_.file("lx.log")).find("first"), std::string::npos);
    EXPECT_EQ(read_file(dir_.file("lx.log")).find("second"), std::string::npos);
    EXPECT_NE(read_file(dir_.file("b.log")).find("second"), std::string::npos);
}

TEST_F(LogTest, FileIsAppendedNotTruncated) {
    ASSERT_EQ(lx_log_enable(LX_LOG_OUT_FILE, 1, "c.log"), 1);
    lx_log_raw(LX_LOG_ERR, "one\n");
    lx_log_disable();
    ASSERT_EQ(lx_log_enable(LX_LOG_OUT_FILE, 1, "c.log"), 1);
    lx_log_raw(LX_LOG_ERR, "two\n");
    EXPECT_EQ(read_file(dir_.file("c.log")), "one\ntwo\n");
}

TEST_F(LogTest, UnopenableFileFailsButKeepsThreshold) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(lx_log_enable(LX_LOG_OUT_FILE, 0, "no/such/dir/x.log"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cannot open file no/such/dir/x.log for write\n");
    CaptureStdout();
    lx_log(LX_LOG_WRN, "WRN", "[%s] console still works\n", "f");
    EXPECT_NE(GetCapturedStdout().find("console still works"), std::string::npos);
}

TEST_F(LogTest, LogCfgSetsBothThresholds) {
    ASSERT_EQ(lx_log_enable(LX_LOG_OUT_FILE, 1, "d.log"), 1);
    lumox_log_cfg(0, 4, 0);
    CaptureStdout();
    lx_log(LX_LOG_TRC, "TRC", "[%s] trace\n", "f");
    EXPECT_NE(GetCapturedStdout().find("[TRC] [f] trace"), std::string::npos);
    EXPECT_EQ(read_file(dir_.file("d.log")).find("trace"), std::string::npos);
}

// The last error text explains a failure to a caller without a log: kept with every output off,
// an error preferred to a warning, one text per thread.
TEST_F(LogTest, LastErrorIsPerThreadAndKeptWithLoggingOff) {
    lx_log_disable();
    lumox_clear_last_error();
    EXPECT_STREQ(lumox_last_error(), "");
    lx_log(LX_LOG_INF, "INF", "[%s] fine\n", "caller");
    lx_log_raw(LX_LOG_ERR, "raw\n");
    EXPECT_STREQ(lumox_last_error(), "");
    lx_log(LX_LOG_WRN, "WRN", "[%s] careful %d\n", "caller", 1);
    EXPECT_STREQ(lumox_last_error(), "[caller] careful 1");
    lx_log(LX_LOG_ERR, "ERR", "[%s] failed\n", "caller");
    lx_log(LX_LOG_WRN, "WRN", "[%s] careful %d\n", "caller", 2);
    EXPECT_STREQ(lumox_last_error(), "[caller] failed");
    std::string fresh = "unset", other;
    std::thread([&] {
        fresh = lumox_last_error();
        lx_log(LX_LOG_ERR, "ERR", "[%s] %s\n", "worker", std::string(2000, 'x').c_str());
        other = lumox_last_error();
    }).join();
    EXPECT_EQ(fresh, "");
    EXPECT_EQ(other, "[worker] " + std::string(511 - 9, 'x'));
    EXPECT_STREQ(lumox_last_error(), "[caller] failed");
    lumox_clear_last_error();
    EXPECT_STREQ(lumox_last_error(), "");
}

TEST(Clock, TimeOfDayHasMillisecondResolution) {
    lx_timeval tv{};
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(lx_gettimeofday(&tv, nullptr), 0);
        EXPECT_EQ(tv.tv_usec % 1000, 0);
        EXPECT_GE(tv.tv_usec, 0);
        EXPECT_LT(tv.tv_usec, 1000000);
    }
    EXPECT_GT(tv.tv_sec, 1700000000);
}

}  // namespace
