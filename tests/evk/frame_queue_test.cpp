// The four-slot frame queue: order, overwrite of the oldest when full, and refused lengths.
#include <gtest/gtest.h>

#include <vector>

#include "lumox/evk.h"

namespace {

int push(uint16_t marker) {
    std::vector<uint16_t> frame(16, marker);
    return enqueue(frame.data(), static_cast<int>(frame.size() * 2));
}

uint16_t pop() {
    uint16_t *out = nullptr;
    if (dequeue(&out) != 1) return 0xFFFF;
    return out[0];
}

TEST(FrameQueue, HandsOutFramesOldestFirstAndOverwritesWhenFull) {
    queueInit();
    EXPECT_EQ(isQueueEmpty(), 1);
    uint16_t *out = nullptr;
    EXPECT_EQ(dequeue(&out), 0);

    for (uint16_t m = 1; m <= 4; ++m) EXPECT_EQ(push(m), 1) << m;
    EXPECT_EQ(push(5), 0);  // full: frame 1 is overwritten
    EXPECT_EQ(pop(), 2);
    EXPECT_EQ(pop(), 3);
    EXPECT_EQ(push(6), 1);
    EXPECT_EQ(pop(), 4);
    EXPECT_EQ(pop(), 5);
    EXPECT_EQ(pop(), 6);
    EXPECT_EQ(isQueueEmpty(), 1);
    EXPECT_EQ(pop(), 0xFFFF);
    EXPECT_EQ(succ(3), 0);
    EXPECT_EQ(queueError(), 0);
}

TEST(FrameQueue, RefusesFramesLargerThanASlot) {
    queueInit();
    std::vector<uint8_t> big(LUMOX_EVK_QUEUE_SLOT_BYTES + 1, 7);
    EXPECT_EQ(enqueue(big.data(), static_cast<int>(big.size())), -1);
    EXPECT_EQ(enqueue(big.data(), -1), -1);
    EXPECT_EQ(isQueueEmpty(), 1);
    EXPECT_EQ(enqueue(big.data(), LUMOX_EVK_QUEUE_SLOT_BYTES), 1);
}

}  // namespace
