#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "lumox/log.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using lumox::test::TempDir;

class PathTest : public testing::Test {
  protected:
    void SetUp() override { lx_log_disable(); }
    TempDir dir_;
};

TEST_F(PathTest, CreatesEveryDirectoryAndKeepsTrailingSlash) {
    EXPECT_EQ(lumox_path_cfg("one/two/three/"), 0);
    EXPECT_STREQ(lumox_path_get(), "one/two/three/");
    EXPECT_TRUE(fs::is_directory("one"));
    EXPECT_TRUE(fs::is_directory("one/two"));
    EXPECT_TRUE(fs::is_directory("one/two/three"));
}

TEST_F(PathTest, BackslashesSeparateToo) {
    EXPECT_EQ(lumox_path_cfg("x\\y"), 0);
    EXPECT_STREQ(lumox_path_get(), "x\\y");
    EXPECT_TRUE(fs::is_directory("x/y"));
    EXPECT_EQ(lumox_path_cfg(".\\"), 0) << "the default prefix names the working directory";
}

TEST_F(PathTest, ExistingDirectorySucceedsAndAbsolutePathsWork) {
    fs::create_directory("here");
    EXPECT_EQ(lumox_path_cfg("here"), 0);
    const std::string absolute = dir_.path() + "/abs/sub/";
    EXPECT_EQ(lumox_path_cfg(absolute.c_str()), 0);
    EXPECT_TRUE(fs::is_directory(dir_.path() + "/abs/sub"));
}

TEST_F(PathTest, PrefixLongerThan255CharactersIsRefusedAndTheOldOneStays) {
    ASSERT_EQ(lumox_path_cfg("kept/"), 0);
    // Cut to 255 characters, "a/.../b/" would become a prefix naming another directory.
    std::string longer = "a/" + std::string(252, 'q') + "/b/";
    EXPECT_EQ(lumox_path_cfg(longer.c_str()), -1);
    EXPECT_STREQ(lumox_path_get(), "kept/");
    EXPECT_FALSE(fs::exists("a"));
    longer.resize(255);
    EXPECT_EQ(lumox_path_cfg(longer.c_str()), 0);  // 255 characters are stored whole
    EXPECT_EQ(std::string(lumox_path_get()), longer);
}

TEST_F(PathTest, UncreatableDirectoryFailsButIsStored) {
    {
        std::FILE *f = std::fopen("blocker", "w");
        std::fclose(f);
    }
    EXPECT_EQ(lumox_path_cfg("blocker/inner"), -1);
    EXPECT_STREQ(lumox_path_get(), "blocker/inner");
}

}  // namespace
