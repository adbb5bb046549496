#include "platform/fs.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/clock.h"
#include "support/temp_dir.h"
#include "testing/hooks.h"

namespace {

using namespace lumox::platform;

TEST(Fs, BackslashesBecomeSlashesEverywhere) {
    lumox::test::TempDir dir;
    EXPECT_EQ(native_path(".\\a\\b/c"), "./a/b/c");
    EXPECT_EQ(make_dir(".\\sub"), 0);
    EXPECT_TRUE(path_exists("sub"));
    EXPECT_EQ(make_dir("sub"), -1);
    {
        UniqueFile f(open_file("sub\\calib_1.bin", "wb"));
        ASSERT_TRUE(f);
    }
    { UniqueFile f(open_file("sub\\calib_2.bin", "wb")); }
    { UniqueFile f(open_file("sub\\other.txt", "wb")); }
    EXPECT_EQ(list_dir(".\\sub", "calib_*"),
              (std::vector<std::string>{"calib_1.bin", "calib_2.bin"}));
    EXPECT_EQ(remove_file("sub\\calib_1.bin"), 0);
    EXPECT_FALSE(path_exists("sub/calib_1.bin"));
    EXPECT_EQ(remove_file("sub\\calib_1.bin"), -1);
    EXPECT_TRUE(list_dir("missing", "*").empty());
}

std::atomic<uint32_t> g_slept{0};
void record_sleep(uint32_t ms) { g_slept += ms; }

TEST(Clock, SleepGoesThroughTheHook) {
    const SleepHook previous = set_sleep_hook(record_sleep);
    const int64_t before = monotonic_ms();
    sleep_ms(3000);
    EXPECT_LT(monotonic_ms() - before, 1000);
    EXPECT_EQ(g_slept.load(), 3000u);
    set_sleep_hook(previous);

    const int64_t start = monotonic_ms();
    sleep_ms(20);
    EXPECT_GE(monotonic_ms() - start, 19);
}

TEST(Clock, LocalTimeFieldsAreInRange) {
    const LocalTime t = local_time_now();
    EXPECT_GE(t.year, 2024u);
    EXPECT_GE(t.month, 1u);
    EXPECT_LE(t.month, 12u);
    EXPECT_LT(t.millis, 1000u);
    EXPECT_NE(thread_id(), 0u);
}

}  // namespace
