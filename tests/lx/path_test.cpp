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

TEST_F(PathTest, LongPrefixIsCutTo255Characters) {
    const std::string longer(300, 'p');
    lumox_path_cfg(longer.c_str());  // a 255-character name is too long for the file system
    EXPECT_EQ(std::string(lumox_path_get()), longer.substr(0, 255));
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
