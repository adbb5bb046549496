#include "evk/corrections.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "calc_fixture.h"

namespace lumox::evk::test {
namespace {

class CorrectionsTest : public CalcTest {
  protected:
    // A distance image of the given values in a width x 1 geometry.
    uint16_t *image_of(std::vector<uint16_t> values) {
        values_ = std::move(values);
        calc_image().width = static_cast<int>(values_.size());
        calc_image().height = 1;
        data_ = values_.data();
        return data_;
    }

    std::vector<uint16_t> values_;
    uint16_t *data_ = nullptr;
};

TEST_F(CorrectionsTest, OffsetLeavesCodesAndWrapsValues) {
    image_of({65300, 65400, 65500, 29500, 100, 0});
    calibrationSetOffset(1000);
    ASSERT_EQ(calculationAddOffset(&data_), 0);
    EXPECT_EQ(values_, (std::vector<uint16_t>{65300, 65400, 65500, 500, 1100, 1000}));

    image_of({100, 29999});
    calibrationSetOffset(-200);
    calculationAddOffset(&data_);
    EXPECT_EQ(values_, (std::vector<uint16_t>{29900, 29799}));
    EXPECT_EQ(calculationAddOffset(nullptr), -1);
}

TEST_F(CorrectionsTest, DrnuModeTwoAddsTheReferenceOrTheOffsetPlusTheDrnuOffset) {
    calculationSetEnableDRNU(2);
    const int reference = drnu_reference_phase(12000);
    ASSERT_EQ(reference, 708);
    // Without the default offset: the offset phase plus the DRNU offset, which is the reference
    // unless the offset was changed.
    image_of({1000});
    calculationAddOffset(&data_);
    EXPECT_EQ(values_[0], 1000 + reference);
    calibrationSetOffset(calibrationGetOffset() + 50);
    image_of({1000});
    calculationAddOffset(&data_);
    EXPECT_EQ(values_[0], 1000 + reference + 50);
    calibrationEnableDefaultOffset(1);
    image_of({1000});
    calculationAddOffset(&data_);
    EXPECT_EQ(values_[0], 1000 + reference);
}

// One calibrated pixel whose table rises 1000 phase units per calibration step.
TEST_F(CorrectionsTest, DrnuTableInterpolatesBetweenCalibrationDistances) {
    calibrateSetWidth(2);
    calibrateSetHeight(1);
    calibrateSetNumDistances(3);
    uint16_t *row = distImagesDRNU[1] + 3;  // pixel 1
    row[0] = 1000;
    row[1] = 2000;
    row[2] = 3000;
    image_of({1500, 2500});
    calc_image().calibrated_geometry = true;
    calc_image().calibration_index[0] = -1;
    calc_image().calibration_index[1] = 1;
    values_[0] = 1234;
    values_[1] = 2500;
    ASSERT_EQ(calculationCorrectDRNU(&data_), 0);
    // One step of 298.2 mm at 12 MHz is 716.2 phase units; 2500 lies half way into the second.
    const double step = 298.2 * 30000 / (149896229.0 / 12000);
    EXPECT_EQ(values_[0], 1234);  // no calibration pixel
    EXPECT_NEAR(values_[1], 1.5 * step, 1);

    // Mode 2 first takes the temperature drift off: 10 tenths of a degree warmer at 1.7 mm each.
    chip_config().temperature_coeff = 1.7;
    chip_config().ib_temperature_coeff = 0.0;
    temperatureSetTemperatureByFrameHeader(static_cast<int16_t>(calibrateGetTempCalib() + 10),
                                           static_cast<int16_t>(calibrateGetIbTempCalib()));
    const double drift = 17.0 * 30000 / (149896229.0 / 12000);
    EXPECT_NEAR(temperature_drift_phase(), drift, 0.01);
    values_[1] = 2500;
    calculationCorrectDRNU2(&data_);
    EXPECT_NEAR(values_[1], (1.5 - drift / 1000) * step, 1);

    // Outside the calibration geometry nothing changes.
    calc_image().calibrated_geometry = false;
    values_[1] = 2500;
    calculationCorrectDRNU(&data_);
    EXPECT_EQ(values_[1], 2500);

    row[0] = row[1] = row[2] = 0;
    calibrateSetWidth(320);
    calibrateSetHeight(240);
    calibrateSetNumDistances(30);
}

TEST_F(CorrectionsTest, TemperatureCompensationShiftsValuesOnly) {
    chip_config().temperature_coeff = 1.7;
    chip_config().ib_temperature_coeff = 0.33765;
    temperatureSetTemperatureByFrameHeader(static_cast<int16_t>(calibrateGetTempCalib() + 10),
                                           static_cast<int16_t>(calibrateGetIbTempCalib() - 20));
    const double mm = 17.0 - 20 * 0.33765;
    const int drift = static_cast<int>(std::lround(mm * 30000 / (149896229.0 / 12000)));
    image_of({1000, 10, 65400});
    ASSERT_EQ(calculationCorrectTemperature(&data_), 0);
    EXPECT_EQ(values_[0], 1000 - drift);
    EXPECT_EQ(values_[1], 30000 + 10 - drift);
    EXPECT_EQ(values_[2], 65400);
}

TEST_F(CorrectionsTest, AmbientLightTermFollowsTheGrayValue) {
    chip_config().ambient_light_factor_working = 10.0;
    EXPECT_EQ(calculationAmbientDCSCorrectionPixel(2000, 2548), 1950);
    EXPECT_EQ(calculationAmbientDCSCorrectionPixel(2000, 2048), 2000);
    configSetPartType(4);
    EXPECT_EQ(calculationAmbientDCSCorrectionPixel(32000, 2548 * 16), 32000 - 50 * 16);
    chip_config().ambient_light_factor_working = 0.0;
    EXPECT_EQ(calculationAmbientDCSCorrectionPixel(2000, 4000), 2000);
}

TEST_F(CorrectionsTest, GrayscaleGainAndOffsetApplyAtTheSensorPixel) {
    readOutSetROI(4, 323, 6, 125, 32);
    small_geometry(2, 1);
    pruSetDCS(1);
    // Image pixel (1, 0) is sensor pixel (5, 6).
    FILE *f = std::fopen((prefix_ + "grayscale_gain_offset_W000_C000.txt").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("# x y gain offset\n5 6 2.0 -100\n", f);
    std::fclose(f);
    ASSERT_EQ(calculateLoadGrayscaleGainOffset(), 0);
    std::vector<uint16_t> frame = {500, 500, 500, 4095};
    inject(frame);
    uint16_t *image = nullptr;
    ASSERT_EQ(calculationBWSorted(&image), 4);
    EXPECT_EQ(image[1], 500);  // the table is not in use until it loaded at start-up

    chip_config().enabled_grayscale = 1;
    inject(frame);
    ASSERT_EQ(calculationBWSorted(&image), 4);
    EXPECT_EQ(image[0], 500);
    EXPECT_EQ(image[1], 900);
    EXPECT_EQ(image[3], LUMOX_EVK_SATURATED);

    setCorrectGrayscaleGain(0);
    inject(frame);
    calculationBWSorted(&image);
    EXPECT_EQ(image[1], 400);
    EXPECT_EQ(calculationCalibrateGrayscale(0), -1);
}

TEST_F(CorrectionsTest, FlimCorrectionUsesTheRecordedDarkAndFlatFrames) {
    small_geometry(2, 1);
    pruSetDCS(1);
    chip_config().current_mode = 2;
    EXPECT_EQ(calculateIsFlimCorrectionAvailable(), 0);
    // Grayscale mode gives plane 0 as the signal above mid-scale.
    std::vector<uint16_t> dark = {2048 + 10, 2048 + 20, 2048, 2048};
    inject(dark);
    ASSERT_EQ(calculationFlimCalibration(1), 0);
    std::vector<uint16_t> flat = {2048 + 110, 2048 + 320, 2048, 2048};
    inject(flat);
    ASSERT_EQ(calculationFlimCalibration(2), 0);
    EXPECT_EQ(calculateIsFlimCorrectionAvailable(), 1);

    // Mean flat signal 200: pixel 0 (signal 100) gets gain 2, pixel 1 (300) gain 2/3.
    std::vector<uint16_t> frame = {2048 + 60, 2048 + 170, 2048, 2048};
    inject(frame);
    uint16_t *image = nullptr;
    ASSERT_EQ(calculationBWSorted(&image), 4);
    EXPECT_EQ(image[0], 100);
    EXPECT_EQ(image[1], 100);

    calculationSetCorrectFlimGain(0);
    inject(frame);
    calculationBWSorted(&image);
    EXPECT_EQ(image[0], 50);
    EXPECT_EQ(calculationFlimCalibration(7), -1);
    EXPECT_EQ(calculationFlimCalibration(0), 0);
    EXPECT_EQ(calculateIsFlimCorrectionAvailable(), 0);
}

}  // namespace
}  // namespace lumox::evk::test
