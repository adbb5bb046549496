#include "drivers/epc_drnu.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "lx/dcs.h"
#include "support/targets.h"

namespace lumox::test {
namespace {

using drivers::drnu::Params;
using test::ForcedTarget;
using test::vector_targets;

// The batch formula replaces integer quotients by truncated double quotients. For a divisor b
// and a numerator a = m x b + r the quotient is 1 / b or more away from an integer unless r = 0,
// so the numerators closest to a truncation step are m x b - 1 and m x b + 1, and for a given b
// the rounding error grows with a: checking them at the largest multiples below 2^31 covers the
// worst case of every divisor the formula uses (table spans up to 65535, and 30000).
TEST(DrnuQuotients, TruncatedDoubleQuotientIsTheIntegerOne) {
    auto agree = [](int64_t a, int64_t b) {
        return static_cast<int64_t>(std::trunc(static_cast<double>(a) / static_cast<double>(b))) ==
               a / b;
    };
    constexpr int64_t kLimit = int64_t{1} << 31;
    std::mt19937 rng(11);
    for (int64_t b = 1; b <= 65535; ++b) {
        const int64_t top = (kLimit - 2) / b;
        for (const int64_t m : {int64_t{0}, int64_t{1}, top / 2, top - 1, top,
                                static_cast<int64_t>(rng() % (top + 1))}) {
            for (const int64_t r : {int64_t{-1}, int64_t{0}, int64_t{1}}) {
                const int64_t a = m * b + r;
                ASSERT_TRUE(agree(a, b) && agree(-a, b)) << a << " / " << b;
            }
        }
    }
    // Single precision, for numerators below 2^24 (the segment quotient of a moderate drift).
    auto agree_f = [](int64_t a, int64_t b) {
        return static_cast<int64_t>(std::trunc(static_cast<float>(a) / static_cast<float>(b))) ==
               a / b;
    };
    constexpr int64_t kLimitF = int64_t{1} << 24;
    for (int64_t b = 1; b <= 65535; ++b) {
        const int64_t top = (kLimitF - 2) / b;
        for (const int64_t m : {int64_t{0}, int64_t{1}, top / 2, top - 1, top,
                                static_cast<int64_t>(rng() % (top + 1))}) {
            for (const int64_t r : {int64_t{-1}, int64_t{0}, int64_t{1}}) {
                const int64_t a = m * b + r;
                ASSERT_TRUE(agree_f(a, b) && agree_f(-a, b)) << a << " / " << b;
            }
        }
    }
    // The unsigned product of the millimetre step over its whole 32-bit range.
    for (uint64_t m = 0; m <= 0xFFFFFFFFu / 30000; ++m) {
        for (const int64_t r : {-1, 0, 1}) {
            const int64_t a = static_cast<int64_t>(m * 30000) + r;
            if (a < 0 || a > 0xFFFFFFFF) continue;
            ASSERT_TRUE(agree(a, 30000)) << a;
        }
    }
}

struct Table {
    int32_t k;
    uint32_t pixels;
    std::vector<uint16_t> entries;
};

// Rows of every shape the formula meets: rising (the calibration), flat, falling, with repeated
// entries (zero-length segments) and with entries at both ends of the 16-bit range.
Table random_table(int32_t k, uint32_t pixels, uint32_t seed) {
    std::mt19937 rng(seed);
    Table t{k, pixels, std::vector<uint16_t>(static_cast<size_t>(k) * pixels)};
    for (uint32_t i = 0; i < pixels; ++i) {
        uint16_t *row = t.entries.data() + static_cast<size_t>(i) * k;
        const uint32_t shape = rng() % 8;
        uint32_t v = rng() % 6000;
        for (int32_t e = 0; e < k; ++e) {
            switch (shape) {
                case 0:
                    row[e] = static_cast<uint16_t>(rng());
                    break;
                case 1:
                    row[e] = 0;
                    break;
                case 2:
                    row[e] = static_cast<uint16_t>(30000 - e * 900);
                    break;
                case 3:
                    row[e] = static_cast<uint16_t>(v + (e / 3) * 1000);  // repeats
                    break;
                case 4:
                    row[e] = e == k - 1 ? 65535 : static_cast<uint16_t>(e);
                    break;
                default:
                    v += 700 + rng() % 500;
                    row[e] = static_cast<uint16_t>(v);
            }
        }
    }
    return t;
}

TEST(DrnuDistances, BatchEqualsThePerPixelFormula) {
    std::mt19937 rng(5);
    const uint32_t pixels = 700;
    std::vector<uint16_t> phase(pixels);
    for (auto &p : phase) {
        const uint32_t r = rng();
        p = static_cast<uint16_t>(r % 30000);
        if (r % 13 == 0) p = lumox::dcs::kNoPhase;
        if (r % 17 == 0) p = 0;
        if (r % 19 == 0) p = 29999;
        if (r % 23 == 0) p = static_cast<uint16_t>(30000 + r % 35535);  // beyond a period
    }
    // Drifts on both sides of those worked in single precision (0, and 2^-13 to 2^18).
    const float temps[] = {0.0f,
                           3.7f,
                           -512.25f,
                           31000.0f,
                           262144.0f,
                           -262144.0f,
                           262176.0f,
                           1.3e-4f,
                           -1e-4f,
                           0x1p-13f,
                           1e12f,
                           -1e12f,
                           std::numeric_limits<float>::quiet_NaN()};
    const struct {
        float step;
        int32_t offset;
        int32_t range;
    } setups[] = {{716.0f, 708, 12491},
                  {1.0f, 0, 6245},
                  {29999.0f, -30000, 65535},
                  {0.5f, INT32_MAX, 4163},
                  {1e30f, 12, 12491}};
    uint32_t seed = 1;
    // Row lengths on both sides of those read in windows of two rows (up to 32 entries) and
    // through gathers (longer ones).
    for (const int32_t k : {0, 1, 2, 3, 4, 16, 17, 30, 31, 32, 33, 40}) {
        const Table t = random_table(std::max(k, 2), pixels, seed++);
        for (const auto &setup : setups) {
            for (const float temp : temps) {
                Params p;
                p.table = t.entries.data();
                p.k = k;
                p.step_ph = setup.step;
                p.temp_ph = temp;
                p.offset_ph = setup.offset;
                p.range_mm = setup.range;
                std::vector<uint16_t> ref(pixels);
                for (uint32_t i = 0; i < pixels; ++i) {
                    ref[i] = drivers::drnu::distance(p, phase[i], i);
                }
                for (const int64_t target : vector_targets()) {
                    ForcedTarget forced(target);
                    // Whole, and in pieces that start and end anywhere in a vector.
                    std::vector<uint16_t> out(pixels, 1);
                    drivers::drnu::distances(p, phase.data(), 0, pixels, out.data());
                    EXPECT_EQ(out, ref)
                        << "k " << k << " temp " << temp << " on " << simd::target_name(target);
                    // Every piece length up to a few steps of the widest kernel.
                    for (const uint32_t first : {1u, 3u, 7u, 21u, 64u, 100u}) {
                        const uint32_t count = (first * 37) % 50;
                        std::vector<uint16_t> piece(count + 1, 7);
                        drivers::drnu::distances(p, phase.data() + first, first, count,
                                                 piece.data());
                        for (uint32_t i = 0; i < count; ++i) {
                            ASSERT_EQ(piece[i], ref[first + i]) << first + i;
                        }
                        EXPECT_EQ(piece[count], 7);
                    }
                }
            }
        }
    }
}

// The rows of the last pixels end where readable memory ends: no kernel reads past its rows.
TEST(DrnuDistances, ReadsNothingPastTheLastRow) {
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t readable = 4 * page;
    void *map =
        mmap(nullptr, readable + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<char *>(map) + readable, page, PROT_NONE), 0);
    auto *end = reinterpret_cast<uint16_t *>(static_cast<char *>(map) + readable);
    std::mt19937 rng(3);
    std::vector<uint16_t> phase(64);
    for (auto &ph : phase) ph = static_cast<uint16_t>(rng() % 30000);
    for (const int32_t k : {2, 7, 16, 17, 30, 32, 33}) {
        const uint32_t pixels = 64;
        const Table t = random_table(k, pixels, static_cast<uint32_t>(k));
        ASSERT_LE(t.entries.size() * sizeof(uint16_t), readable);
        uint16_t *table = end - t.entries.size();
        std::memcpy(table, t.entries.data(), t.entries.size() * sizeof(uint16_t));
        Params p;
        p.table = table;
        p.k = k;
        p.step_ph = 716.0f;
        p.offset_ph = 708;
        p.range_mm = 12491;
        for (const int64_t target : vector_targets()) {
            ForcedTarget forced(target);
            std::vector<uint16_t> out(pixels);
            drivers::drnu::distances(p, phase.data(), 0, pixels, out.data());
            for (uint32_t i = 0; i < pixels; ++i) {
                ASSERT_EQ(out[i], drivers::drnu::distance(p, phase[i], i)) << k << " " << i;
            }
        }
    }
    munmap(map, readable + page);
}

}  // namespace
}  // namespace lumox::test
