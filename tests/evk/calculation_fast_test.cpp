// The sorted distance images of the default read-out layout against the per-pixel calculator
// calls they are made of (set the arguments, compute distance and amplitude, walk the read-out
// iterator, add the offset), over random frames with saturated, empty and out-of-range samples.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <random>
#include <vector>

#include "calc_fixture.h"
#include "evk/image_processing.h"
#include "lx/simd.h"
#include "support/targets.h"

namespace lumox::evk::test {
namespace {

class CalcFastTest : public CalcTest {
  protected:
    // The per-pixel path: what calculationDistanceSorted (type 0) or
    // calculationDistanceAndAmplitudeSorted (type 2) gives.
    std::vector<uint16_t> reference(const std::vector<uint16_t> &raw, bool pi, int type,
                                    bool add_arg, int threshold) {
        const int planes = pi ? 4 : 2;
        const int plane = static_cast<int>(raw.size()) / planes;
        const int columns = pruGetNCols();
        EXPECT_EQ(iteratorDefaultInit(plane, columns, plane / columns), 0);
        calculatorInit(pi ? 2 : 1);
        const unsigned mask = pixel_settings().pixel_mask;
        const bool epc635 = configGetPartType() == 4 || configGetPartType() == 5;
        std::vector<uint16_t> out(static_cast<size_t>(type == 2 ? 2 * plane : plane));
        iterator_position pos{};
        while (iteratorDefaultHasNext()) {
            iteratorDefaultNext(&pos);
            const int n = pos.memory;
            uint16_t s[4] = {};
            for (int k = 0; k < planes; ++k) s[k] = raw[static_cast<size_t>(k * plane + n)];
            if (add_arg) {
                int a = static_cast<int>((s[0] & mask) + (s[2] & mask));
                int b = static_cast<int>((s[1] & mask) + (s[3] & mask));
                if (epc635) {
                    a >>= 4;
                    b >>= 4;
                }
                if (!(std::abs(a - 4096) < threshold && std::abs(b - 4096) < threshold)) {
                    s[0] = s[1] = s[2] = s[3] = 0;
                }
            }
            if (pi) {
                calculatorSetArgs4DCS(s[0], s[1], s[2], s[3], n, -1);
            } else {
                calculatorSetArgs2DCS(s[0], s[1], n, -1);
            }
            const uint32_t both = calculatorGetDistAndAmpSine();
            out[static_cast<size_t>(pos.index)] = static_cast<uint16_t>(both);
            if (type == 2) out[static_cast<size_t>(plane + pos.index)] = uint16_t(both >> 16);
        }
        const int offset = pixel_settings().offset_phase;
        for (int i = 0; i < plane; ++i) {
            uint16_t &v = out[static_cast<size_t>(i)];
            if (v < LUMOX_EVK_LOW_AMPLITUDE)
                v = static_cast<uint16_t>(((offset + v) % 30000 + 30000) % 30000);
        }
        return out;
    }
};

// Frames of three kinds: random samples around mid-scale with some saturated, empty and
// out-of-range ones (kind 0); mostly saturated (kind 1); and edge-heavy ones (kind 2) whose
// samples come from the ends of the range and repeat each other, so that the DCS differences
// fall on the axes and diagonals of the arctangent and at the ends of the table.
std::vector<uint16_t> random_samples(size_t n, uint32_t seed, int kind = 0) {
    std::mt19937 rng(seed);
    std::vector<uint16_t> s(n);
    static constexpr uint16_t kEdges[] = {0,    1,    15,   16,   2047, 2048, 2049,
                                          4079, 4080, 4094, 4095, 4096, 65535};
    for (size_t i = 0; i < n; ++i) {
        uint16_t &v = s[i];
        const uint32_t r = rng();
        v = static_cast<uint16_t>(1800 + r % 500);
        if (r % 23 == 0) v = 4095;
        if (r % 29 == 0) v = 0;
        if (r % 31 == 0) v = static_cast<uint16_t>(r >> 16);  // bits above the 12 used
        if (r % 37 == 0) v = static_cast<uint16_t>(r % 4096);
        if (kind == 1 && r % 4 != 0) v = 4095;
        if (kind == 2) {
            v = kEdges[(r >> 8) % std::size(kEdges)];
            // Repeat a sample of another plane of the same pixel: zero differences.
            if (r % 3 == 0 && i >= n / 4) v = s[i - n / 4];
            if (r % 5 == 0 && i >= n / 2) v = s[i - n / 2];
        }
    }
    return s;
}

TEST_F(CalcFastTest, SortedDistancesEqualThePerPixelCalculatorCalls) {
    struct Case {
        int part_type, columns, rows_per_half;
        bool pi;
        int type;
    };
    const Case cases[] = {{2, 320, 120, true, 0}, {2, 17, 3, true, 2}, {2, 1, 1, true, 0},
                          {2, 8, 2, false, 2},    {2, 3, 5, false, 0}, {4, 160, 60, true, 0},
                          {4, 9, 4, true, 2},     {5, 5, 3, false, 2}};
    uint32_t seed = 1;
    for (const int64_t target : lumox::test::vector_targets()) {
        lumox::test::ForcedTarget forced(target);
        for (const Case &c : cases) {
            configSetPartType(c.part_type);
            pruInit();
            small_geometry(c.columns, c.rows_per_half);
            calculationEnablePiDelay(c.pi ? 1 : 0);
            pruSetDCS(c.pi ? 4 : 2);
            const int plane = pruGetNCols() * pruGetNRowsPerHalf() * pruGetNumberOfHalves();
            for (int setting = 0; setting < 6; ++setting) {
                PixelSettings &s = pixel_settings();
                s.saturation_enabled = setting % 2 == 0;
                s.adc_overflow_enabled = setting >= 2 && setting != 4;
                s.adc_overflow_min = setting == 3 ? 1900 : (setting == 5 ? 70000 : 1);
                s.adc_overflow_max = setting == 3 ? 2200 : 4094;
                // 0xFFFF lets 16-bit samples through: the arguments of the epc660 leave the
                // table's range and its rows go pixel by pixel; the epc635's shifted ones stay.
                s.pixel_mask = setting == 1 ? 0xFF0 : (setting == 4 ? 0xFFFF : 0xFFF);
                s.hysteresis_upper = setting == 0 ? 0 : 400;
                s.hysteresis_lower = setting == 0 ? 0 : 100;
                s.offset_phase = setting * 7001 - 9000;
                const bool add_arg = c.pi && (setting == 2 || setting == 5);
                configEnableAddArg(add_arg ? 1 : 0);
                configSetDcsAdd_threshold(300);
                // Three frames each, one of each kind: the hysteresis state carries over.
                for (int frame = 0; frame < 3; ++frame) {
                    auto raw =
                        random_samples(static_cast<size_t>(plane) * (c.pi ? 4 : 2), seed++, frame);
                    const auto before = s.hysteresis_state;
                    const auto ref =
                        reference(raw, c.pi, c.type, add_arg, configGetDcsAdd_threshold());
                    const auto ref_state = s.hysteresis_state;
                    s.hysteresis_state = before;
                    inject(raw);
                    uint16_t *image = nullptr;
                    const int count = c.type == 2 ? calculationDistanceAndAmplitudeSorted(&image)
                                                  : calculationDistanceSorted(&image);
                    ASSERT_EQ(count, static_cast<int>(ref.size()));
                    EXPECT_EQ(std::vector<uint16_t>(image, image + count), ref)
                        << c.columns << "x" << c.rows_per_half << " part " << c.part_type
                        << " setting " << setting << " frame " << frame << " on "
                        << simd::target_name(target);
                    EXPECT_EQ(s.hysteresis_state, ref_state);
                }
            }
        }
    }
    configEnableAddArg(0);
}

TEST_F(CalcFastTest, DistancePathWithAverageAndKalmanEqualsItsStagesInTurn) {
    // calculationDistanceSorted with the running average and a Kalman filter against the sorted
    // distances followed by imageAverage, calculationFalmanFiltering and calculationAddOffset,
    // over a sequence of frames of a geometry beyond the filter's diagnostic pixel.
    small_geometry(100, 24);
    calculationEnablePiDelay(1);
    pruSetDCS(4);
    const int plane = 100 * 48;
    std::vector<std::vector<uint16_t>> frames;
    for (int f = 0; f < 14; ++f) {
        frames.push_back(
            random_samples(4 * static_cast<size_t>(plane), 100 + f, f % 5 == 4 ? 2 : 0));
    }
    for (int mode = 1; mode <= 3; ++mode) {
        auto run = [&](bool stages) {
            calculationEnableKalman(mode);
            calculationInitKalman();
            imageSetNumberOfPicture(3);
            image_history_restart();
            pixel_settings().hysteresis_state.fill(0);
            calibrationSetOffset(-1234);
            std::vector<std::vector<uint16_t>> out;
            for (auto raw : frames) {
                inject(raw);
                uint16_t *image = nullptr;
                if (stages) {
                    EXPECT_EQ(calcDefPiDelayGetDataSorted(0, &image), plane);
                    imageAverage(&image);
                    calculationFalmanFiltering(&image);
                    calculationAddOffset(&image);
                } else {
                    EXPECT_EQ(calculationDistanceSorted(&image), plane);
                }
                out.emplace_back(image, image + plane);
            }
            return out;
        };
        const auto want = run(true);
        EXPECT_EQ(run(false), want) << "mode " << mode;
    }
    calculationEnableKalman(0);
    imageSetNumberOfPicture(1);
    calibrationSetOffset(0);
}

TEST_F(CalcFastTest, OffsetAndAverageKeepTheirIntegerArithmetic) {
    // Any 16-bit value may reach the last stages (the codes excepted), with any offset, and the
    // running average divides by any number of pictures.
    small_geometry(64, 8);
    calc_image().width = 64;
    calc_image().height = 16;
    const int pixels = 64 * 16;
    std::mt19937 rng(9);
    for (const int offset : {0, 1, 29999, 30000, -1, -30001, 123456789, INT32_MIN, INT32_MAX}) {
        std::vector<uint16_t> img(pixels), want(pixels);
        for (int i = 0; i < pixels; ++i) {
            img[i] = static_cast<uint16_t>(i < 4 ? 65535 - i * 100 : rng());
            if (i % 50 == 7) img[i] = LUMOX_EVK_SATURATED;
            const uint16_t v = img[i];
            const bool code = v == LUMOX_EVK_LOW_AMPLITUDE || v == LUMOX_EVK_SATURATED ||
                              v == LUMOX_EVK_ADC_OVERFLOW;
            want[i] =
                code ? v : static_cast<uint16_t>(((int64_t{offset} + v) % 30000 + 30000) % 30000);
        }
        calibrationSetOffset(offset);
        uint16_t *image = img.data();
        ASSERT_EQ(calculationAddOffset(&image), 0);
        EXPECT_EQ(img, want) << offset;
    }
    calibrationSetOffset(0);
    for (const int n : {2, 3, 7, 1000, 65536, INT32_MAX}) {
        imageSetNumberOfPicture(n);
        std::vector<uint16_t> previous(pixels, 0xFFFF);
        for (int frame = 0; frame < 3; ++frame) {
            std::vector<uint16_t> img(pixels), want(pixels);
            for (int i = 0; i < pixels; ++i) {
                img[i] = static_cast<uint16_t>(rng() % 65300);
                uint16_t v = img[i];
                if (previous[i] < 65300) {
                    v = static_cast<uint16_t>((v + int64_t{n - 1} * previous[i]) / n);
                }
                want[i] = previous[i] = v;
            }
            uint16_t *image = img.data();
            ASSERT_EQ(imageAverage(&image), 0);
            EXPECT_EQ(img, want) << n << " frame " << frame;
        }
    }
    imageSetNumberOfPicture(1);
}

}  // namespace
}  // namespace lumox::evk::test

namespace lumox::evk::test {
namespace {

TEST(CalcQuotient, TruncatedDoubleQuotientOfTheArctangentIsTheIntegerOne) {
    // The kernels divide yy x 4096 by xx in double: every pair the octant reduction leaves
    // (0 <= yy < xx <= 8192: arguments of at most 4096 in magnitude).
    int64_t wrong = 0;
    for (int xx = 1; xx <= 8192; ++xx) {
        const double divisor = xx;
        for (int yy = 0; yy < xx; ++yy) {
            const int exact = yy * 4096 / xx;
            wrong += static_cast<int>(static_cast<double>(yy * 4096) / divisor) != exact;
        }
    }
    EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace lumox::evk::test
