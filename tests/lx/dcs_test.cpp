#include "lx/dcs.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "lumox/image.h"
#include "support/targets.h"

namespace {

using lumox::dcs::kNoPhase;
using lumox::simd::target_name;
using lumox::test::ForcedTarget;
using lumox::test::vector_targets;

// Four planes of n samples; sample(k, i) = value.
struct Frame {
    uint32_t n;
    std::vector<uint8_t> raw;
    explicit Frame(uint32_t pixels) : n(pixels), raw(8 * static_cast<size_t>(pixels)) {}
    void set(uint32_t plane, uint32_t i, uint16_t v) {
        raw[2 * (static_cast<size_t>(plane) * n + i)] = static_cast<uint8_t>(v);
        raw[2 * (static_cast<size_t>(plane) * n + i) + 1] = static_cast<uint8_t>(v >> 8);
    }
};

// A lookup for amplitude_lookup whose values differ for every phase.
struct Table {
    std::vector<uint16_t> by_phase, by_code;
    lumox::dcs::Lookup lookup;
    explicit Table(uint16_t invalid) : by_phase(30000), by_code(lumox::dcs::kAngleCodes + 1) {
        for (uint32_t p = 0; p < 30000; ++p) by_phase[p] = static_cast<uint16_t>(p * 3 + 7);
        for (uint32_t c = 0; c < lumox::dcs::kAngleCodes; ++c) {
            by_code[c] = by_phase[lumox::dcs::phase_of_code(c)];
        }
        lookup = {by_code.data(), by_phase.data(), invalid};
    }
};

TEST(DcsDecode, EveryValidDifferenceVectorMatchesThePixelRoutine) {
    // Amplitude and phase depend on the differences d2 - d0 and d3 - d1 alone; a valid pixel has
    // each in -4093 .. 4093. One frame per d3 - d1 holds every d2 - d0, so all 67 million
    // combinations go through every variant and are compared with the per-pixel routine.
    constexpr int32_t kMax = 4093;
    constexpr uint32_t kPixels = 2 * kMax + 1;
    const std::vector<int64_t> targets = vector_targets();
    Frame frame(kPixels);
    for (int32_t dx = -kMax; dx <= kMax; ++dx) {
        const auto i = static_cast<uint32_t>(dx + kMax);
        const int32_t d0 = dx < 0 ? 1 - dx : 1;
        frame.set(0, i, static_cast<uint16_t>(d0));
        frame.set(2, i, static_cast<uint16_t>(d0 + dx));
    }
    std::vector<uint16_t> ref_amp(kPixels), ref_phase(kPixels), amp(kPixels), phase(kPixels);
    // The lookup decode maps every phase through a table of distinct values.
    const Table table(0xFFF0);
    std::vector<uint16_t> ref_looked_up(kPixels), looked_up(kPixels), lookup_amp(kPixels);
    // Unoptimized builds (the sanitizer runs) take every eighth d3 - d1: they check memory use,
    // while the optimized builds, compiled as the library ships, check every combination (under
    // an emulator, every 61st).
#if defined(LUMOX_TESTS_EMULATED)
    constexpr int32_t kStep = 61;
#elif defined(__OPTIMIZE__)
    constexpr int32_t kStep = 1;
#else
    constexpr int32_t kStep = 8;
#endif
    for (int32_t dy = -kMax; dy <= kMax; dy += kStep) {
        const int32_t d1 = dy < 0 ? 1 - dy : 1;
        for (uint32_t i = 0; i < kPixels; ++i) {
            frame.set(1, i, static_cast<uint16_t>(d1));
            frame.set(3, i, static_cast<uint16_t>(d1 + dy));
        }
        for (uint32_t i = 0; i < kPixels; ++i) {
            const lumox::dcs::Pixel px = lumox::dcs::pixel(frame.raw.data(), kPixels, i);
            ASSERT_TRUE(px.valid);
            ref_amp[i] = px.amplitude;
            ref_phase[i] = px.phase;
            ref_looked_up[i] = table.by_phase[px.phase];
        }
        for (const int64_t target : targets) {
            ForcedTarget forced(target);
            lumox::dcs::amplitude_phase(frame.raw.data(), kPixels, 0, kPixels, amp.data(),
                                        phase.data());
            ASSERT_EQ(amp, ref_amp) << "dy " << dy << " on " << target_name(target);
            ASSERT_EQ(phase, ref_phase) << "dy " << dy << " on " << target_name(target);
            lumox::dcs::amplitude_lookup(frame.raw.data(), kPixels, 0, kPixels, table.lookup,
                                         lookup_amp.data(), looked_up.data());
            ASSERT_EQ(lookup_amp, ref_amp) << "dy " << dy << " on " << target_name(target);
            ASSERT_EQ(looked_up, ref_looked_up) << "dy " << dy << " on " << target_name(target);
        }
    }
}

TEST(DcsDecode, SaturatedEmptyAndRandomPixelsAtAnyOffset) {
    // Random samples with many 0 and 4095 values, decoded in pieces that start and end anywhere
    // relative to the vector width.
    constexpr uint32_t kPixels = 1000;
    Frame frame(kPixels);
    std::mt19937 rng(3);
    for (uint32_t k = 0; k < 4; ++k) {
        for (uint32_t i = 0; i < kPixels; ++i) {
            const uint32_t r = rng();
            uint16_t v = static_cast<uint16_t>(r >> 4);  // upper bits must be ignored
            if (r % 23 == 0) v = 0;
            if (r % 29 == 0) v = 4095;
            if (r % 31 == 0) v = 0xF000;  // zero in the 12 bits used
            frame.set(k, i, v);
        }
    }
    bool saw_invalid = false;
    const Table table(0xFFF0);
    for (const int64_t target : vector_targets()) {
        ForcedTarget forced(target);
        for (uint32_t first : {0u, 1u, 5u, 16u, 37u}) {
            for (uint32_t count : {0u, 1u, 3u, 4u, 15u, 16u, 17u, 33u, 500u}) {
                std::vector<uint16_t> amp(count + 1, 0x5A5A), phase(count + 1, 0x5A5A),
                    gray(count + 1, 0x5A5A);
                lumox::dcs::amplitude_phase(frame.raw.data(), kPixels, first, count, amp.data(),
                                            phase.data());
                lumox::dcs::amplitude(frame.raw.data(), kPixels, first, count, gray.data());
                std::vector<uint16_t> lookup_amp(count + 1, 0x5A5A), looked_up(count + 1, 0x5A5A);
                lumox::dcs::amplitude_lookup(frame.raw.data(), kPixels, first, count, table.lookup,
                                             lookup_amp.data(), looked_up.data());
                for (uint32_t i = 0; i < count; ++i) {
                    const lumox::dcs::Pixel px =
                        lumox::dcs::pixel(frame.raw.data(), kPixels, first + i);
                    saw_invalid |= !px.valid;
                    ASSERT_EQ(amp[i], px.amplitude) << first + i;
                    ASSERT_EQ(gray[i], px.amplitude) << first + i;
                    ASSERT_EQ(phase[i], px.valid ? px.phase : kNoPhase) << first + i;
                    ASSERT_EQ(lookup_amp[i], px.valid ? px.amplitude : 0xFFF0) << first + i;
                    ASSERT_EQ(looked_up[i], px.valid ? table.by_phase[px.phase] : 0xFFF0)
                        << first + i;
                }
                // Nothing written past the piece.
                EXPECT_EQ(amp[count], 0x5A5A);
                EXPECT_EQ(phase[count], 0x5A5A);
                EXPECT_EQ(gray[count], 0x5A5A);
                EXPECT_EQ(lookup_amp[count], 0x5A5A);
                EXPECT_EQ(looked_up[count], 0x5A5A);
            }
        }
    }
    EXPECT_TRUE(saw_invalid);
}

TEST(DcsDecode, PixelRoutineFollowsTheFormulas) {
    Frame frame(3);
    // Valid: dx = 300, dy = 400 -> amplitude trunc(sqrt(62500)) = 250, angle 2213 + 15000.
    const uint16_t px0[4] = {1000, 1000, 1300, 1400};
    // Saturated (4095) and empty (0) pixels.
    const uint16_t px1[4] = {4095, 10, 20, 30};
    const uint16_t px2[4] = {10, 0, 20, 30};
    for (uint32_t k = 0; k < 4; ++k) {
        frame.set(k, 0, px0[k]);
        frame.set(k, 1, px1[k]);
        frame.set(k, 2, px2[k]);
    }
    const lumox::dcs::Pixel valid = lumox::dcs::pixel(frame.raw.data(), 3, 0);
    EXPECT_TRUE(valid.valid);
    EXPECT_EQ(valid.amplitude, 250);
    EXPECT_EQ(valid.phase, (lx_math_atan2_i32(400, 300) + 15000) % 30000);
    EXPECT_FALSE(lumox::dcs::pixel(frame.raw.data(), 3, 1).valid);
    EXPECT_EQ(lumox::dcs::pixel(frame.raw.data(), 3, 2).phase, kNoPhase);
}

}  // namespace
