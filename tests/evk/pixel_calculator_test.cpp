#include "evk/pixel_calculator.h"

#include <gtest/gtest.h>

#include <cmath>

#include "calc_fixture.h"

namespace lumox::evk::test {
namespace {

class CalculatorTest : public CalcTest {};

uint16_t distance_of(uint32_t both) { return static_cast<uint16_t>(both & 0xFFFF); }
uint16_t amplitude_of(uint32_t both) { return static_cast<uint16_t>(both >> 16); }

TEST_F(CalculatorTest, FourDcsGivesPhaseAndAmplitude) {
    calculatorInit(2);
    for (int phase : {0, 1000, 7500, 14999, 22500, 29000}) {
        uint16_t d[4];
        dcs_for_phase(phase, 400, d);
        calculatorSetArgs4DCS(d[0], d[1], d[2], d[3], 0, 0);
        const uint32_t both = calculatorGetDistAndAmpSine();
        const int diff = std::abs(distance_of(both) - phase);
        EXPECT_LE(std::min(diff, 30000 - diff), 3) << phase;
        // The vector is twice the amplitude long; the divider 2 halves it.
        EXPECT_NEAR(amplitude_of(both), 400, 2) << phase;
        EXPECT_NEAR(calculatorGetAmpSine(), 400, 1) << phase;
    }
}

TEST_F(CalculatorTest, TwoDcsMeasuresAgainstMidScale) {
    calculatorInit(1);
    // arg2 = 2048 - dcs0 = 300, arg1 = 2048 - dcs1 = 0: phase 0 + half a turn.
    calculatorSetArgs2DCS(1748, 2048, 5, 5);
    const uint32_t both = calculatorGetDistAndAmpSine();
    EXPECT_EQ(distance_of(both), 15000);
    EXPECT_NEAR(amplitude_of(both), 300, 1);

    // The epc635 delivers 16-bit samples: they are scaled down first.
    configSetPartType(4);
    calculatorSetPixelMask(0xFFFF);
    calculatorSetArgs2DCS(1748 * 16, 2048 * 16, 5, 5);
    EXPECT_EQ(distance_of(calculatorGetDistAndAmpSine()), 15000);
}

TEST_F(CalculatorTest, SaturationIsReportedOnlyWhileCheckingIsOn) {
    calculatorInit(2);
    calculatorSetArgs4DCS(4095, 2048, 2048, 2048, 0, 0);
    EXPECT_NE(distance_of(calculatorGetDistAndAmpSine()), LUMOX_EVK_SATURATED);
    EXPECT_EQ(saturationCheck(), 0);

    saturationEnable(1);
    calculatorSetArgs4DCS(4095, 2048, 2048, 2048, 0, 0);
    EXPECT_EQ(calculatorGetDistAndAmpSine(), (65400u << 16) | 65400u);
    EXPECT_EQ(calculatorGetAmpSine(), LUMOX_EVK_SATURATED);
    EXPECT_EQ(calculatorGetDistAndAmpPN(), (65400u << 16) | 65400u);
    EXPECT_EQ(calculatorGetAmpPN(), LUMOX_EVK_SATURATED);

    // The raw sample counts, not the masked one.
    calculatorSetPixelMask(0x7FF);
    calculatorSetArgs2DCS(2000, 4095, 0, 0);
    EXPECT_EQ(saturationCheck(), 1);
    calculatorSetArgs2DCS(2000, 4094, 0, 0);
    EXPECT_EQ(saturationCheck(), 0);
}

TEST_F(CalculatorTest, AdcOverflowChecksTheMaskedSamplesAgainstTheLimits) {
    calculatorInit(2);
    calculatorSetArgs4DCS(0, 2048, 2048, 2048, 0, 0);
    EXPECT_NE(distance_of(calculatorGetDistAndAmpSine()), LUMOX_EVK_ADC_OVERFLOW);

    adcOverflowEnable(1);
    calculatorSetArgs4DCS(0, 2048, 2048, 2048, 0, 0);
    EXPECT_EQ(calculatorGetDistAndAmpSine(), (65500u << 16) | 65500u);
    // Saturation wins over overflow.
    saturationEnable(1);
    calculatorSetArgs4DCS(0, 4095, 2048, 2048, 0, 0);
    EXPECT_EQ(distance_of(calculatorGetDistAndAmpSine()), LUMOX_EVK_SATURATED);

    // Two DCS: the unused slots never trip the check.
    calculatorSetArgs2DCS(1000, 3000, 0, 0);
    EXPECT_LT(distance_of(calculatorGetDistAndAmpSine()), 30000);

    EXPECT_EQ(adcOverflowCheck1DCS(4095), 1);
    EXPECT_EQ(adcOverflowCheck2DCS(1, 4094), 0);
    EXPECT_EQ(adcOverflowCheck4DCS(5, 5, 5, 0), 1);
    adcOverflowEnable(0);
    EXPECT_EQ(adcOverflowCheck1DCS(0), 0);
}

// Minimum amplitude 10, hysteresis 2: valid from 100 (10 squared), invalid below 64 (8 squared).
TEST_F(CalculatorTest, HysteresisKeepsTheStateBetweenTheThresholds) {
    hysteresisSetThresholds(10, 2);
    EXPECT_EQ(hysteresisUpdate(7, 100), 1);
    EXPECT_EQ(hysteresisUpdate(7, 70), 1);
    EXPECT_EQ(hysteresisUpdate(7, 63), 0);
    EXPECT_EQ(hysteresisUpdate(7, 70), 0);
    EXPECT_EQ(hysteresisIsEnabled(7), 0);
    EXPECT_EQ(hysteresisUpdate(7, 100), 1);
    EXPECT_EQ(hysteresisIsEnabled(7), 1);
    EXPECT_EQ(hysteresisUpdate(-1, 100), -1);
    EXPECT_EQ(hysteresisUpdate(328 * 252, 100), -1);

    // Through the calculator, on the squared amplitude of the pixel's two arguments.
    calculatorInit(1);
    auto at = [](int arg2, int arg1) {
        calculatorSetArgs2DCS(static_cast<uint16_t>(2048 - arg2),
                              static_cast<uint16_t>(2048 - arg1), 3, 3);
        return calculatorGetDistAndAmpSine();
    };
    EXPECT_EQ(distance_of(at(10, 0)), 15000);        // 100: valid
    EXPECT_EQ(distance_of(at(7, 4)) < 30000, true);  // 65: kept
    EXPECT_EQ(at(7, 3), (65300u << 16) | 65300u);    // 58: dropped
    EXPECT_EQ(at(8, 1), (65300u << 16) | 65300u);    // 65: stays dropped
    EXPECT_NEAR(amplitude_of(at(6, 8)), 10, 1);      // 100: valid again
}

TEST_F(CalculatorTest, PseudoNoisePhaseIsTheShareOfTheSecondArgument) {
    calculatorInit(1);
    // arg2 = 300, arg1 = 100: a quarter of the sum.
    calculatorSetArgs2DCS(2048 - 300, 2048 - 100, 0, 0);
    const uint32_t both = calculatorGetDistAndAmpPN();
    EXPECT_EQ(distance_of(both), 7500);
    EXPECT_EQ(amplitude_of(both), 400);
    EXPECT_EQ(calculatorGetAmpPN(), 400);

    // No signal at all carries no phase.
    calculatorSetArgs2DCS(2048, 2048, 0, 0);
    EXPECT_EQ(calculatorGetDistAndAmpPN(), (65300u << 16) | 65300u);
    // All of it in the second argument is a full turn: phase 0.
    calculatorSetArgs2DCS(2048, 2048 - 50, 0, 0);
    EXPECT_EQ(distance_of(calculatorGetDistAndAmpPN()), 0);
}

TEST_F(CalculatorTest, FastSquareRootIsCloseToTheRoot) {
    EXPECT_EQ(fast_sqrt16(0), 0);
    for (int64_t q : {1, 2, 100, 4096, 160000, 1000000, 4194304}) {
        EXPECT_NEAR(fast_sqrt16(q), std::sqrt(static_cast<double>(q)),
                    0.002 * std::sqrt(static_cast<double>(q)) + 1)
            << q;
    }
}

}  // namespace
}  // namespace lumox::evk::test
