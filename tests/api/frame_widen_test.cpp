#include "api/frame_widen.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "lx/simd.h"
#include "support/targets.h"

namespace {

// In place, as the conversions call it: the values in the upper half of the float image, every
// count around the vector widths, on every target; each float the plain conversion's.
TEST(FrameWiden, InPlaceFromTheUpperHalfGivesThePlainFloatsOnEveryTarget) {
    std::mt19937 rng(5);
    for (const int64_t target : lumox::test::vector_targets()) {
        const lumox::test::ForcedTarget forced(target);
        for (uint32_t pixels = 0; pixels < 70; pixels += pixels < 34 ? 1 : 7) {
            for (const bool metres : {false, true}) {
                std::vector<uint16_t> values(pixels);
                for (auto &v : values) v = static_cast<uint16_t>(rng());
                if (pixels > 0) values[0] = 65535;
                std::vector<float> image(pixels + 1, -1.0f);
                auto *staging = reinterpret_cast<unsigned char *>(image.data() + pixels / 2);
                if (pixels > 0)
                    std::memcpy(staging, values.data(), 2 * static_cast<size_t>(pixels));
                lumox::api::widen(reinterpret_cast<unsigned char *>(image.data()), staging, pixels,
                                  metres);
                for (uint32_t i = 0; i < pixels; ++i) {
                    const auto v = static_cast<float>(values[i]);
                    ASSERT_EQ(image[i], metres ? v / 1000.0f : v)
                        << lumox::simd::target_name(target) << " " << pixels << " pixels, " << i;
                }
                EXPECT_EQ(image[pixels], -1.0f);
            }
        }
    }
}

}  // namespace
