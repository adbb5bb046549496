#include "evk/grayscale.h"

#include <gtest/gtest.h>

#include "evk_fixture.h"

namespace lumox::evk::test {
namespace {

class GrayscaleTest : public EvkTest {
  protected:
    GrayscaleTest() {
        configSetWaferID(3);
        configSetChipID(45);
    }
    void write(const std::string &text) {
        write_file("grayscale_gain_offset_W003_C045.txt", text.data(), text.size());
    }
};

TEST_F(GrayscaleTest, ListedPixelsGetTheirGainAndOffset) {
    write("# x y gain offset\n\n1 0 1.5 -2\n327 251 0.5 10\n");
    ASSERT_EQ(calculateLoadGrayscaleGainOffset(), 0);
    const auto &t = grayscale_correction();
    EXPECT_FLOAT_EQ(t.gain[1], 1.5f);
    EXPECT_FLOAT_EQ(t.offset[1], -2.0f);
    EXPECT_FLOAT_EQ(t.gain[328 * 252 - 1], 0.5f);
    EXPECT_FLOAT_EQ(t.gain[0], 1.0f);
    EXPECT_FLOAT_EQ(t.offset[0], 0.0f);
}

TEST_F(GrayscaleTest, BadFilesAreRefusedAndKeepTheTable) {
    write("2 2 3.0 4.0\n");
    ASSERT_EQ(calculateLoadGrayscaleGainOffset(), 0);
    for (const char *bad : {"", "# only a comment\n", "2 2 x 1\n", "328 0 1 1\n", "1 1 1 1 1\n"}) {
        write(bad);
        EXPECT_EQ(calculateLoadGrayscaleGainOffset(), -1) << bad;
    }
    EXPECT_FLOAT_EQ(grayscale_correction().gain[2 * 328 + 2], 3.0f);
    configSetChipID(46);
    EXPECT_EQ(calculateLoadGrayscaleGainOffset(), -1);
}

TEST_F(GrayscaleTest, ConfigInitEnablesGrayscaleOnlyWithAFile) {
    configInit(32);
    EXPECT_EQ(chip_config().enabled_grayscale, 0);
    write("0 0 1 0\n");
    configInit(32);
    EXPECT_EQ(chip_config().enabled_grayscale, 1);
}

}  // namespace
}  // namespace lumox::evk::test
