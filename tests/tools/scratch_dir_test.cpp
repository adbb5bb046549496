// The scratch directory convert unpacks a recording's calibration into: made under $TMPDIR and
// gone afterwards with everything in it, however deep.

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace lumox_cli {
namespace {

namespace fs = std::filesystem;

TEST(ScratchDir, LivesUnderTmpdirAndLeavesNothingBehind) {
    char pattern[] = "/tmp/lumox_scratch_test_XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    const fs::path tmp = pattern;
    const char *old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    setenv("TMPDIR", tmp.c_str(), 1);
    {
        ScratchDir scratch("lumox_convert_");
        ASSERT_FALSE(scratch.path().empty());
        EXPECT_EQ(scratch.path().rfind((tmp / "lumox_convert_").string(), 0), 0u) << scratch.path();
        // What an unpacked calibration package may hold: nested directories, files, a link.
        const fs::path root = scratch.path();
        fs::create_directories(root / "a" / "b");
        std::ofstream(root / "a" / "b" / "images.bin") << "x";
        std::ofstream(root / "param.bin") << "y";
        std::ofstream(tmp / "outside") << "kept";
        fs::create_symlink(tmp / "outside", root / "a" / "link");
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp), fs::directory_iterator()), 1);
    EXPECT_TRUE(fs::exists(tmp / "outside"));  // a link is removed, not what it points at
    setenv("TMPDIR", "", 1);
    EXPECT_EQ(temp_dir(), "/tmp");
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    fs::remove_all(tmp);
}

}  // namespace
}  // namespace lumox_cli
