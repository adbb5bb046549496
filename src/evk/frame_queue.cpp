// A ring of four frame slots. When full, a new frame overwrites the oldest.
#include <cstring>

#include "lumox/evk.h"

namespace {

struct FrameQueue {
    alignas(8) unsigned char buffers[LUMOX_EVK_QUEUE_SLOTS][LUMOX_EVK_QUEUE_SLOT_BYTES];
    unsigned char *slots[LUMOX_EVK_QUEUE_SLOTS];
    int head = -1;
    int tail = -1;
    int count = 0;
    int error = 0;
};

FrameQueue g_queue;

}  // namespace

extern "C" {

LUMOX_API int succ(int index) noexcept { return (index + 1) % LUMOX_EVK_QUEUE_SLOTS; }

LUMOX_API int cleanQueue_intern(void) noexcept {
    for (int i = 0; i < LUMOX_EVK_QUEUE_SLOTS; ++i) g_queue.slots[i] = g_queue.buffers[i];
    return 0;
}

LUMOX_API int queueInit(void) noexcept {
    cleanQueue_intern();
    g_queue.head = -1;
    g_queue.tail = -1;
    g_queue.count = 0;
    return 0;
}

LUMOX_API int isQueueEmpty(void) noexcept { return g_queue.count == 0 ? 1 : 0; }

LUMOX_API int queueError(void) noexcept { return g_queue.error; }

// A frame longer than a slot is refused instead of overrunning it.
LUMOX_API int enqueue(const void *data, int length) noexcept {
    if (length < 0 || length > LUMOX_EVK_QUEUE_SLOT_BYTES || (!data && length > 0)) return -1;
    if (!g_queue.slots[0]) cleanQueue_intern();
    auto &q = g_queue;
    int result = 1;
    if (q.count == 0) {
        q.head = q.tail = 0;
        q.count = 1;
    } else if (succ(q.head) == q.tail) {
        q.head = q.tail;
        q.tail = succ(q.tail);
        result = 0;
    } else {
        q.head = succ(q.head);
        ++q.count;
    }
    if (length > 0) std::memcpy(q.slots[q.head], data, static_cast<size_t>(length));
    return result;
}

LUMOX_API int dequeue(uint16_t **out) noexcept {
    auto &q = g_queue;
    if (q.count == 0 || !out) return 0;
    *out = reinterpret_cast<uint16_t *>(q.slots[q.tail]);
    if (q.head == q.tail) {
        q.head = q.tail = -1;
        q.count = 0;
    } else {
        q.tail = succ(q.tail);
        if (q.count > 0) --q.count;
    }
    return 1;
}

}  // extern "C"
