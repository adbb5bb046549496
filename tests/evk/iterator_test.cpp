#include "evk/iterator.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "calc_fixture.h"

namespace lumox::evk::test {
namespace {

class IteratorTest : public CalcTest {};

std::vector<iterator_position> walk(ReadoutIterator &it) {
    std::vector<iterator_position> out;
    iterator_position p{};
    while (it.next(&p)) out.push_back(p);
    return out;
}

TEST_F(IteratorTest, TwoHalvesGrowFromTheCentre) {
    ReadoutIterator it;
    ASSERT_TRUE(it.init(3 * 6, 3, 6, 2, false));
    const auto positions = walk(it);
    ASSERT_EQ(positions.size(), 18u);
    // Raw row pair 0 is the two centre rows; pair 2 the top and bottom rows.
    EXPECT_EQ(positions[0].row, 2);
    EXPECT_EQ(positions[0].upper, 1);
    EXPECT_EQ(positions[3].row, 3);
    EXPECT_EQ(positions[3].column, 0);
    EXPECT_EQ(positions[3].upper, 0);
    EXPECT_EQ(positions[12].row, 0);
    EXPECT_EQ(positions[17].row, 5);
    EXPECT_EQ(positions[17].index, 17);
    std::set<int> indices;
    for (size_t n = 0; n < positions.size(); ++n) {
        EXPECT_EQ(positions[n].memory, static_cast<int>(n));
        EXPECT_EQ(positions[n].index, positions[n].column + 3 * positions[n].row);
        indices.insert(positions[n].index);
    }
    EXPECT_EQ(indices.size(), 18u);  // every image pixel exactly once
}

TEST_F(IteratorTest, OneHalfIsFlipped) {
    ReadoutIterator it;
    ASSERT_TRUE(it.init(4 * 3, 4, 3, 1, false));
    const auto positions = walk(it);
    EXPECT_EQ(positions[0].row, 2);
    EXPECT_EQ(positions[5].row, 1);
    EXPECT_EQ(positions[5].column, 1);
    EXPECT_EQ(positions[11].index, 3);
}

TEST_F(IteratorTest, DualMgxSkipsTheSecondGatesBlock) {
    ReadoutIterator it;
    // 2 columns, 8 raw rows in two halves: blocks of 4 samples, gate A then gate B.
    ASSERT_TRUE(it.init(2 * 8, 2, 8, 2, true));
    EXPECT_EQ(it.image_rows(), 4);
    const auto positions = walk(it);
    ASSERT_EQ(positions.size(), 8u);
    const int memory[8] = {0, 1, 2, 3, 8, 9, 10, 11};
    const int rows[8] = {1, 1, 2, 2, 0, 0, 3, 3};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(positions[static_cast<size_t>(i)].memory, memory[i]) << i;
        EXPECT_EQ(positions[static_cast<size_t>(i)].row, rows[i]) << i;
        EXPECT_EQ(positions[static_cast<size_t>(i)].upper, rows[i] < 2 ? 1 : 0) << i;
    }
}

TEST_F(IteratorTest, GeometryMustMatchTheCount) {
    ReadoutIterator it;
    EXPECT_FALSE(it.init(10, 3, 3, 1, false));
    EXPECT_FALSE(it.init(9, 3, 3, 2, false));  // odd rows cannot split into two halves
    EXPECT_FALSE(it.init(18, 3, 6, 2, true));  // two gates need blocks of four rows
    EXPECT_FALSE(it.init(0, 0, 0, 1, false));
    EXPECT_FALSE(it.has_next());
}

TEST_F(IteratorTest, ExportedIteratorsUseTheSensorsHalves) {
    ASSERT_EQ(iteratorDefaultInit(4 * 4, 4, 4), 0);
    iterator_position p{};
    int seen = 0;
    while (iteratorDefaultHasNext()) {
        ASSERT_EQ(iteratorDefaultNext(&p), 0);
        ++seen;
    }
    EXPECT_EQ(seen, 16);
    EXPECT_EQ(p.row, 3);  // last sample: bottom row of the lower half
    EXPECT_EQ(iteratorDefaultNext(&p), -1);

    ASSERT_EQ(iteratorMGXInit(4 * 4, 4, 4), 0);
    seen = 0;
    while (iteratorMGXHasNext() && iteratorMGXNext(&p) == 0) ++seen;
    EXPECT_EQ(seen, 8);
    EXPECT_EQ(iteratorMGXInit(5, 4, 4), -1);
}

}  // namespace
}  // namespace lumox::evk::test
