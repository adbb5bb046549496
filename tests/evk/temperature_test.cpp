#include "evk/temperature.h"

#include <gtest/gtest.h>

#include "evk_fixture.h"

namespace lumox::evk::test {
namespace {

class TemperatureTest : public EvkTest {
  protected:
    void report(std::vector<int16_t> readings) {
        std::vector<uint8_t> bytes;
        for (int16_t r : readings) {
            bytes.push_back(static_cast<uint8_t>(r & 0xFF));
            bytes.push_back(static_cast<uint8_t>((r >> 8) & 0xFF));
        }
        fake_.params[15] = bytes;
    }
};

TEST_F(TemperatureTest, ReadingsComeFromParameterFifteen) {
    report({300, 310, -20, 330, 500});
    int16_t buffer[9] = {};
    EXPECT_EQ(temperatureGetTemperatures(32, buffer), 5);
    EXPECT_EQ(buffer[2], -20);
    EXPECT_EQ(buffer[4], 500);

    configSetPartType(2);
    EXPECT_EQ(temperatureGetTemperature(), (300 + 310 - 20 + 330) / 4);
    configSetPartType(4);
    EXPECT_EQ(temperatureGetTemperature(), 300);

    fake_.fail_param_get = true;
    EXPECT_EQ(temperatureGetTemperature(), -1);
    EXPECT_EQ(temperatureGetTemperatures(32, buffer), -1);
}

TEST_F(TemperatureTest, ChipTemperatureFromFourReadings) {
    report({300, 310, 320, 330});
    int16_t temps[4] = {};
    EXPECT_EQ(temperatureGetTemperatureROI(32, temps), 4);
    EXPECT_EQ(temperatureGetLastTempChip(), 315);
    EXPECT_DOUBLE_EQ(temperatureGetAveragedChipTemperature(32), 31.5);

    report({400});  // a single reading stands for all four
    EXPECT_DOUBLE_EQ(temperatureGetAveragedChipTemperature(32), 40.0);
}

TEST_F(TemperatureTest, IlluminationFromTheAdcStandIns) {
    int16_t pair[2] = {};
    EXPECT_EQ(temperatureGetTemperatureIllumination(pair), 2);
    // (25 - (450 - 1452.13) / 4.41) x 10 = 2522.4
    EXPECT_EQ(pair[0], 2522);
    EXPECT_EQ(pair[1], 2522);
    EXPECT_EQ(temperatureGetLastTempIllumination(), 2522);
    EXPECT_EQ(adcOpen(7), 7);
    EXPECT_EQ(adcOpen(8), -1);
    EXPECT_EQ(adcGetValueMicroAmpere(2, 100), 4500);
    EXPECT_EQ(adcGetValueMicroAmpere(2, 0), -1);
}

TEST_F(TemperatureTest, FrameHeaderValuesAndSmoothing) {
    temperatureSetTemperatureByFrameHeader(412, -33);
    EXPECT_EQ(temperatureGetTemperatureByFrameHeader(), 412);
    EXPECT_EQ(temperatureGetIbTemperatureByFrameHeader(), -33);

    int16_t first[2] = {400, 200};
    temperatureKalmanFilter(first, 2);
    int16_t second[2] = {400, 200};
    temperatureKalmanFilter(second, 2);
    // Each field moves half-way from the previous result.
    EXPECT_EQ(second[0], static_cast<int16_t>(0.5 * 400 + 0.5 * first[0]));
    EXPECT_EQ(second[1], static_cast<int16_t>(0.5 * 200 + 0.5 * first[1]));
    EXPECT_EQ(temperatureGetGrayscalePixel(-1), 0);
    EXPECT_EQ(temperatureGetGrayscalePixel(328 * 252), 0);
}

}  // namespace
}  // namespace lumox::evk::test
