#include "evk/image_processing.h"

#include <gtest/gtest.h>

#include <vector>

#include "calc_fixture.h"

namespace lumox::evk::test {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class ImageProcessingTest : public CalcTest {
  protected:
    // A width x height distance image, every pixel at value.
    void image(int width, int height, uint16_t value) {
        calc_image().width = width;
        calc_image().height = height;
        width_ = width;
        values_.assign(static_cast<size_t>(width * height), value);
        data_ = values_.data();
    }
    uint16_t &at(int x, int y) { return values_[static_cast<size_t>(y * width_ + x)]; }

    int width_ = 0;
    std::vector<uint16_t> values_;
    uint16_t *data_ = nullptr;
};

TEST_F(ImageProcessingTest, FourNeighbourAverage) {
    imageSetProcessing(1);
    image(5, 4, 1000);
    at(2, 2) = 2000;
    ASSERT_EQ(imageProcess(&data_), 0);
    EXPECT_EQ(at(2, 2), 1200);
    EXPECT_EQ(at(2, 1), 1200);  // its neighbour saw it as well
    EXPECT_EQ(at(0, 0), 1000);  // corners average what exists
    EXPECT_EQ(at(1, 1), 1000);

    // Codes never enter a sum; a saturated pixel keeps its code; a removed pixel is filled when
    // more than half of its set carries values, and removed otherwise.
    image(5, 4, 1000);
    at(1, 1) = LUMOX_EVK_SATURATED;
    at(3, 1) = LUMOX_EVK_LOW_AMPLITUDE;
    at(0, 3) = LUMOX_EVK_LOW_AMPLITUDE;
    at(1, 3) = LUMOX_EVK_ADC_OVERFLOW;
    imageProcess(&data_);
    EXPECT_EQ(at(1, 1), LUMOX_EVK_SATURATED);
    EXPECT_EQ(at(2, 1), 1000);
    EXPECT_EQ(at(3, 1), 1000);
    EXPECT_EQ(at(0, 3), LUMOX_EVK_LOW_AMPLITUDE);  // 1 of 3 valid
    EXPECT_EQ(at(1, 3), LUMOX_EVK_ADC_OVERFLOW);
}

TEST_F(ImageProcessingTest, EightNeighbourAverageNeedsTwoThirds) {
    imageSetProcessing(2);
    image(4, 4, 900);
    at(1, 1) = 1800;
    imageProcess(&data_);
    EXPECT_EQ(at(1, 1), 1000);
    EXPECT_EQ(at(0, 0), (1800 + 3 * 900) / 4);

    image(3, 3, 900);
    at(0, 0) = at(1, 0) = at(2, 0) = LUMOX_EVK_LOW_AMPLITUDE;
    imageProcess(&data_);
    EXPECT_EQ(at(1, 1), 900);                      // 6 of 9
    EXPECT_EQ(at(0, 1), 900);                      // 4 of 6
    EXPECT_EQ(at(0, 0), LUMOX_EVK_LOW_AMPLITUDE);  // 2 of 4

    imageSetProcessing(3);
    image(3, 3, 7);
    at(1, 1) = 70;
    imageProcess(&data_);
    EXPECT_EQ(at(1, 1), 70);
}

TEST_F(ImageProcessingTest, BadPixelsTakeTheirNeighbour) {
    readOutSetROI(4, 323, 6, 125, 32);
    small_geometry(5, 2);
    // Sensor (6, 7) is image (2, 1); (8, 6) is image (4, 0) on the right image edge.
    FILE *f = std::fopen((prefix_ + "image_correction.txt").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("006 007 E\n006 007 SW\n008 006 E\n", f);
    std::fclose(f);
    CaptureStdout();
    ASSERT_EQ(imageCorrectionLoad((prefix_ + "image_correction.txt").c_str()), 3);
    imageCorrectionTransform();
    GetCapturedStdout();
    image(5, 4, 0);
    for (int i = 0; i < 20; ++i) values_[static_cast<size_t>(i)] = static_cast<uint16_t>(i);
    imageCorrect(&data_);
    EXPECT_EQ(at(2, 1), 7);  // untouched while the correction is off

    imageCorrectionEnable(1);
    imageCorrect(&data_);
    // E then SW: the last entry wins.
    EXPECT_EQ(at(2, 1), 11);
    EXPECT_EQ(at(4, 0), 4);  // no neighbour to the east
}

TEST_F(ImageProcessingTest, RunningAverageRestartsAfterCodes) {
    imageSetNumberOfPicture(4);
    image(3, 1, 1000);
    imageAverage(&data_);
    EXPECT_EQ(values_[0], 1000);  // nothing to average with yet
    values_ = {2000, LUMOX_EVK_SATURATED, 1000};
    imageAverage(&data_);
    EXPECT_EQ(values_, (std::vector<uint16_t>{1250, LUMOX_EVK_SATURATED, 1000}));
    values_ = {1250, 3000, 1000};
    imageAverage(&data_);
    EXPECT_EQ(values_, (std::vector<uint16_t>{1250, 3000, 1000}));
    values_ = {1250, 1000, 1000};
    imageAverage(&data_);
    EXPECT_EQ(values_[1], 2500);

    imageSetNumberOfPicture(1);
    values_ = {7, 7, 7};
    imageAverage(&data_);
    EXPECT_EQ(values_[0], 7);
}

TEST_F(ImageProcessingTest, AveragePictureTakesTheMeanOfFive) {
    image(2, 1, 0);
    CaptureStdout();
    for (uint16_t v : {100, 200, 300, 400}) {
        values_ = {v, LUMOX_EVK_LOW_AMPLITUDE};
        imageAveragePicture(&data_);
        EXPECT_EQ(values_[0], v);
    }
    values_ = {500, 600};
    imageAveragePicture(&data_);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(values_[0], 300);
    EXPECT_EQ(values_[1], 600);  // the only picture with a value
    EXPECT_NE(out.find("imageAveragePicture\ncurrent Picture = 4\n"), std::string::npos) << out;
}

TEST_F(ImageProcessingTest, DifferenceRemovesWhatDidNotChange) {
    image(3, 1, 1000);
    imageDifference(&data_);  // threshold 0: off
    imageDifferenceSetThreshold(10);
    imageDifference(&data_);
    EXPECT_EQ(values_[0], 1000);  // the reference
    values_ = {1005, 1010, 900};
    imageDifference(&data_);
    EXPECT_EQ(values_, (std::vector<uint16_t>{LUMOX_EVK_LOW_AMPLITUDE, 1010, 900}));

    imageDifferenceInit();
    values_ = {2000, 2000, 2000};
    imageDifference(&data_);
    values_ = {2001, 1000, 2000};
    imageDifference(&data_);
    EXPECT_EQ(values_,
              (std::vector<uint16_t>{LUMOX_EVK_LOW_AMPLITUDE, 1000, LUMOX_EVK_LOW_AMPLITUDE}));
}

}  // namespace
}  // namespace lumox::evk::test
