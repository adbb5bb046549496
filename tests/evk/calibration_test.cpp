#include "evk/calibration.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "evk_fixture.h"

namespace lumox::evk::test {
namespace {

constexpr int kW = 320;
constexpr int kH = 240;
constexpr size_t kPixels = static_cast<size_t>(kW) * kH;

class CalibrationTest : public EvkTest {
  protected:
    CalibrationTest() {
        configSetPartType(2);
        configSetWaferID(7);
        configSetChipID(12);
        configSetDeviceAddress(32);
        configInit(32);  // frequency table, calibration size 320 x 240
        fake_.writes.clear();
        fake_.param_sets.clear();
        g_calib_scale_m = 1000;
        g_calib_offset_mm = -3400;
    }

    static std::vector<uint8_t> param_bytes(const std::vector<int32_t> &head, double step,
                                            const std::vector<int32_t> &tail) {
        std::vector<uint8_t> out;
        auto put = [&out](const void *p, size_t n) {
            auto *b = static_cast<const uint8_t *>(p);
            out.insert(out.end(), b, b + n);
        };
        for (int32_t v : head) put(&v, 4);
        put(&step, 8);
        for (int32_t v : tail) put(&v, 4);
        return out;
    }

    // D images; image k pixel (row, col) holds value(k, row, col).
    template <typename F>
    void write_images(int distances, F value) {
        std::vector<uint16_t> data(kPixels * static_cast<size_t>(distances));
        for (int k = 0; k < distances; ++k) {
            for (int r = 0; r < kH; ++r) {
                for (int c = 0; c < kW; ++c) {
                    data[static_cast<size_t>(k) * kPixels + static_cast<size_t>(r) * kW +
                         static_cast<size_t>(c)] = value(k, r, c);
                }
            }
        }
        write_file("ryn_ex_images_drnu_W007_C012_10.bin", data.data(), data.size() * 2);
    }
};

TEST_F(CalibrationTest, FileNamesCarryWaferAndChip) {
    char name[256];
    calibrationGetDistanceImagesName(name);
    EXPECT_STREQ(name, "ryn_ex_images_drnu_W007_C012_10.bin");
    calibrationGetParamName(name);
    EXPECT_STREQ(name, "ryn_ex_drnu_param_W007_C012_10.bin");
    configSetPartType(5);
    calibrationGetParamName(name);
    EXPECT_STREQ(name, "epc635_drnu_param_W007_C012_10.bin");
    calibrationGetDistanceImagesName(name);
    EXPECT_STREQ(name, "epc635_images_drnu_W007_C012_10.bin");
}

TEST_F(CalibrationTest, MissingParameterFileGivesDefaults) {
    calibrationLoadDRNU_LUT();
    EXPECT_EQ(calibrationGetOffsetDRNU(), 8364);
    EXPECT_EQ(calibrateGetTempCalib(), 361);
    EXPECT_EQ(calibrateGetIbTempCalib(), 341);
    EXPECT_DOUBLE_EQ(calibrateGetStepCalMM(), 298.2);
    EXPECT_EQ(calibration_frequency_khz(), 12000);
    EXPECT_TRUE(fake_.writes.empty());
}

TEST_F(CalibrationTest, ParameterFileWithFrequencySelectsIt) {
    write_file("ryn_ex_drnu_param_W007_C012_10.bin", param_bytes({24000, 8100, 355}, 150.5, {330}));
    calibrationLoadDRNU_LUT();
    EXPECT_EQ(calibration_frequency_khz(), 24000);
    EXPECT_EQ(configGetModFreqMode(), 1);
    EXPECT_EQ(configGetModulationFrequency(), 24000);
    EXPECT_EQ(fake_.regs[133], 0);
    EXPECT_EQ(calibrationGetOffsetDRNU(), 8100);
    EXPECT_EQ(calibrateGetTempCalib(), 355);
    EXPECT_EQ(calibrateGetIbTempCalib(), 330);
    EXPECT_DOUBLE_EQ(calibrateGetStepCalMM(), 150.5);
    // 149896229 / 240000 = 624.6 -> 624; 885000 / 624 = 1418.
    EXPECT_EQ(pixel_settings().offset_phase_default, 1418 - 8100);
}

TEST_F(CalibrationTest, UnsupportedFrequencyFallsBackToIndexTwo) {
    write_file("ryn_ex_drnu_param_W007_C012_10.bin", param_bytes({20000, 8100, 355}, 150.5, {330}));
    calibrationLoadDRNU_LUT();
    EXPECT_EQ(configGetModFreqMode(), 2);
    EXPECT_EQ(configGetModulationFrequency(), 12000);
}

TEST_F(CalibrationTest, ParameterFileWithoutFrequency) {
    write_file("ryn_ex_drnu_param_W007_C012_10.bin", param_bytes({8000, 370}, 300.0, {350}));
    calibrationLoadDRNU_LUT();
    EXPECT_EQ(calibration_frequency_khz(), 12000);
    EXPECT_EQ(calibrationGetOffsetDRNU(), 8000);
    EXPECT_EQ(calibrateGetTempCalib(), 370);
    EXPECT_EQ(calibrateGetIbTempCalib(), 350);
    EXPECT_TRUE(fake_.writes.empty());

    // Without the last field the board temperature is the sensor temperature.
    write_file("ryn_ex_drnu_param_W007_C012_10.bin", param_bytes({8000, 370}, 300.0, {}));
    calibrationLoadDRNU_LUT();
    EXPECT_EQ(calibrateGetIbTempCalib(), 370);
    EXPECT_DOUBLE_EQ(calibrateGetStepCalMM(), 300.0);
}

TEST_F(CalibrationTest, TruncatedParameterFileIsIgnored) {
    write_file("ryn_ex_drnu_param_W007_C012_10.bin", param_bytes({1, 2}, 3.0, {}).data(), 10);
    calibrationLoadDRNU_LUT();
    EXPECT_EQ(calibrationGetOffsetDRNU(), 8364);
    EXPECT_DOUBLE_EQ(calibrateGetStepCalMM(), 298.2);
}

TEST_F(CalibrationTest, LinearFitOfTheWorkedExample) {
    int scale = 0, offset = 0;
    ASSERT_TRUE(fit_scale_offset(708, 12715, 12000, 298.2, 30, &scale, &offset));
    EXPECT_EQ(scale, 894);
    EXPECT_EQ(offset, 31);
    EXPECT_FALSE(fit_scale_offset(708, 708, 12000, 298.2, 30, &scale, &offset));
    EXPECT_FALSE(fit_scale_offset(708, 900, 0, 298.2, 30, &scale, &offset));
    EXPECT_EQ(scale, 894);
}

TEST_F(CalibrationTest, NumberOfDistancesFollowsFileSizeAndFrequency) {
    calibrationLoadDRNU_LUT();
    write_images(30, [](int k, int, int) { return static_cast<uint16_t>(100 + k); });
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    EXPECT_EQ(calibrateGetNumDistances(), 30);

    write_images(10, [](int k, int, int) { return static_cast<uint16_t>(100 + k); });
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    EXPECT_EQ(calibrateGetNumDistances(), 10);

    write_images(30, [](int k, int, int) { return static_cast<uint16_t>(100 + k); });
    configSetModulationFrequency(0, 32);  // 36000 kHz
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    EXPECT_EQ(calibrateGetNumDistances(), 20);
    // 20 images are needed at 36000 kHz: a 10-image file is too short.
    write_images(10, [](int k, int, int) { return static_cast<uint16_t>(100 + k); });
    EXPECT_EQ(calibrationLoadDistanceImages(1), -1);
}

TEST_F(CalibrationTest, ParameterFilesOfAnySizeFromSixteenBytesAreRead) {
    // The package split gives the parameter file the per-chip file's size modulo 256: a 180-byte
    // file (614400 + 180 bytes) holds the 20-byte layout and whatever follows it.
    for (size_t size : {size_t{21}, size_t{48}, size_t{180}}) {
        std::vector<uint8_t> bytes = param_bytes({8100, 355}, 150.5, {330});
        bytes.resize(size, 0xEE);
        write_file("ryn_ex_drnu_param_W007_C012_10.bin", bytes);
        calibrationLoadDRNU_LUT();
        EXPECT_EQ(calibrationGetOffsetDRNU(), 8100) << size;
        EXPECT_EQ(calibrateGetTempCalib(), 355) << size;
        EXPECT_EQ(calibrateGetIbTempCalib(), 330) << size;
        EXPECT_DOUBLE_EQ(calibrateGetStepCalMM(), 150.5) << size;
        EXPECT_EQ(calibration_frequency_khz(), 12000) << size;
    }
    // Shorter than offset, temperature and step: refused, the defaults stay.
    std::vector<uint8_t> short_file = param_bytes({8100, 355}, 150.5, {});
    short_file.resize(15);
    write_file("ryn_ex_drnu_param_W007_C012_10.bin", short_file);
    calibrationLoadDRNU_LUT();
    EXPECT_EQ(calibrationGetOffsetDRNU(), 8364);
}

TEST_F(CalibrationTest, DistanceFilesOfSizesThatFitNoLayoutAreRefused) {
    // Distance images: whole images only, at most the 30 the table holds.
    calibrationLoadDRNU_LUT();
    write_images(30, [](int k, int, int) { return static_cast<uint16_t>(100 + k); });
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    const std::string name = "ryn_ex_images_drnu_W007_C012_10.bin";
    const std::string whole = lumox::test::read_file(dir_.file(name));
    std::vector<uint8_t> short_by_one(whole.begin(), whole.end() - 1);
    write_file(name.c_str(), short_by_one);
    EXPECT_EQ(calibrationLoadDistanceImages(1), -1) << "one byte short";
    write_images(60, [](int k, int, int) { return static_cast<uint16_t>(100 + k); });
    EXPECT_EQ(calibrationLoadDistanceImages(1), -1) << "twice the table";
    EXPECT_EQ(calibrateGetNumDistances(), 30) << "the table loaded before stays";
}

TEST_F(CalibrationTest, DistanceImagesFitScaleAndOffset) {
    calibrationLoadDRNU_LUT();  // defaults: 12000 kHz, step 298.2
    // Image 0 averages 708 and image 15 averages 12715; zeros are left out of the means.
    write_images(30, [](int k, int r, int c) -> uint16_t {
        if (r == 0 && c == 1) return 0;
        if (k == 0) return (c % 2) ? 707 : 709;
        if (k == 15) return 12715;
        return 5000;
    });
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    EXPECT_EQ(g_calib_scale_m, 894);
    EXPECT_EQ(g_calib_offset_mm, 31);
}

TEST_F(CalibrationTest, BanksHoldPixelsInRawRowOrder) {
    calibrationLoadDRNU_LUT();
    auto value = [](int k, int r, int c) {
        return static_cast<uint16_t>(k * 1000 + r * 4 + c % 4);
    };
    write_images(10, value);
    std::memset(distImagesDRNU, 0, sizeof distImagesDRNU);
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    // Raw row h-2-2m is image row m; raw row 2m+1 is image row h/2+m.
    auto image_row_of_raw = [](int raw) {
        return raw % 2 ? kH / 2 + (raw - 1) / 2 : (kH - 2 - raw) / 2;
    };
    for (int raw : {0, 1, 2, 3, 118, 119, 120, 121, 238, 239}) {
        for (int c : {0, 1, 5, 319}) {
            size_t i = static_cast<size_t>(raw) * kW + static_cast<size_t>(c);
            for (int k : {0, 4, 9}) {
                ASSERT_EQ(distImagesDRNU[1][i * 10 + static_cast<size_t>(k)],
                          value(k, image_row_of_raw(raw), c))
                    << "raw row " << raw << " col " << c << " image " << k;
            }
        }
    }
    EXPECT_EQ(distImagesDRNU[0][0], 0);  // the other bank is untouched

    ASSERT_EQ(calibrationLoadDistanceImages(0), 0);
    EXPECT_EQ(distImagesDRNU[0][1], value(1, image_row_of_raw(0), 0));
}

TEST(DrnuTableFill, OnePassEqualsUnsortingEveryImageInTurn) {
    // The straightforward fill: every image brought into raw row order on its own, then spread
    // over the table with a stride of D entries. Odd heights leave rows that unsort_rows never
    // writes; they stay 0.
    std::vector<uint16_t> table, ref;
    for (const auto &[w, h, d] : std::vector<std::tuple<int, int, int>>{
             {320, 240, 30}, {160, 60, 20}, {7, 5, 3}, {65, 4, 1}, {1, 1, 2}, {3, 9, 30}}) {
        const size_t pixels = static_cast<size_t>(w) * h;
        std::vector<uint16_t> images(pixels * d);
        for (size_t i = 0; i < images.size(); ++i) images[i] = static_cast<uint16_t>(i * 7919);
        ref.assign(pixels * d, 0);
        std::vector<uint16_t> raw(pixels, 0);
        for (int k = 0; k < d; ++k) {
            unsort_rows(raw.data(), images.data() + k * pixels, w, h);
            for (size_t i = 0; i < pixels; ++i) ref[i * d + k] = raw[i];
        }
        table.assign(pixels * d, 0xABCD);
        fill_drnu_table(table.data(), images.data(), w, h, d);
        EXPECT_EQ(table, ref) << w << "x" << h << " x " << d;
    }
}

TEST_F(CalibrationTest, LoadingBankZeroLeavesBankOneAsItWas) {
    // The extension module's load fills bank 0; bank 1, which the decode reads, is mapped but
    // keeps its entries.
    calibrationLoadDRNU_LUT();
    write_images(4, [](int k, int r, int c) { return static_cast<uint16_t>(k + r + c); });
    std::memset(distImagesDRNU, 0, sizeof distImagesDRNU);
    distImagesDRNU[1][17] = 4242;
    ASSERT_EQ(calibrationLoadDistanceImages(0), 0);
    EXPECT_EQ(distImagesDRNU[1][17], 4242);
    EXPECT_EQ(distImagesDRNU[1][16], 0);
    EXPECT_EQ(distImagesDRNU[0][1], 1 + (kH - 2) / 2);  // raw row 0 is image row h/2 - 1
}

TEST_F(CalibrationTest, MissingOrShortImageFileKeepsTheFit) {
    EXPECT_EQ(calibrationLoadDistanceImages(1), -1);
    std::vector<uint8_t> half_image(kPixels, 1);
    write_file("ryn_ex_images_drnu_W007_C012_10.bin", half_image);
    EXPECT_EQ(calibrationLoadDistanceImages(1), -1);
    EXPECT_EQ(calibrationLoadDistanceImages(2), -1);
    EXPECT_EQ(g_calib_scale_m, 1000);
    EXPECT_EQ(g_calib_offset_mm, -3400);
}

TEST_F(CalibrationTest, ConfigInitLoadsBothFilesAndEnablesDrnu) {
    write_file("ryn_ex_drnu_param_W007_C012_10.bin", param_bytes({12000, 8364, 361}, 298.2, {341}));
    write_images(30, [](int k, int, int) -> uint16_t { return k == 0 ? 708 : 12715; });
    configInit(32);
    EXPECT_EQ(chip_config().enabled_drnu, 1);
    EXPECT_EQ(chip_config().enabled_drnu2, 1);
    EXPECT_EQ(chip_config().enabled_temperature_correction, 1);
    EXPECT_EQ(pixel_settings().drnu_mode, 2);
    EXPECT_EQ(g_calib_scale_m, 894);
    EXPECT_EQ(distImagesDRNU[1][0], 708);
}

}  // namespace
}  // namespace lumox::evk::test
