#include "lx/stream.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "lx/byte_order.h"
#include "testing/hooks.h"

static_assert(sizeof(lx_stream_hdr) == LX_STREAM_HDR_SIZE);
static_assert(offsetof(lx_stream_hdr, sidx) == 2);
static_assert(offsetof(lx_stream_hdr, len) == 4);
static_assert(offsetof(lx_stream_hdr, frlen) == 8);
static_assert(offsetof(lx_stream_hdr, fridx) == 12);
static_assert(offsetof(lx_stream_hdr, frfmt) == 14);
static_assert(offsetof(lx_stream_hdr, width) == 16);
static_assert(offsetof(lx_stream_hdr, temp_sensor) == 20);
static_assert(offsetof(lx_stream_hdr, spare) == 24);
static_assert(offsetof(lx_stream_hdr, data_cksum) == 28);
static_assert(offsetof(lx_stream_hdr, fr_flags) == 32);
static_assert(offsetof(lx_stream_hdr, data_flags) == 33);
static_assert(offsetof(lx_stream_hdr, hdr_cksum) == 34);
static_assert(sizeof(lx_raw_frame_info) == 20);
static_assert(offsetof(lx_raw_frame_info, fridx) == 4);
static_assert(offsetof(lx_raw_frame_info, width) == 8);
static_assert(offsetof(lx_raw_frame_info, temp_sensor) == 12);
static_assert(offsetof(lx_raw_frame_info, spare) == 16);
static_assert(sizeof(lx_stream_state) == 40);

namespace lumox {
namespace {

constexpr uint32_t kHdrSize = LX_STREAM_HDR_SIZE;
constexpr int32_t kNone = -1;  // "no previous index"

std::atomic<FrameAllocFn> g_frame_alloc{nullptr};

void *alloc_frame_memory(size_t bytes) {
    const FrameAllocFn alloc = g_frame_alloc.load(std::memory_order_relaxed);
    return alloc ? alloc(bytes) : std::malloc(bytes);
}

// Sum modulo 2^32 of `words` little-endian 32-bit words. The bulk goes through 128-bit vector
// adds: the checksum is computed over every byte of a checked stream.
uint32_t sum_le_words(const uint8_t *p, uint32_t words) {
    uint32_t sum = 0;
    uint32_t w = 0;
    if constexpr (std::endian::native == std::endian::little) {
        using Vec = uint32_t __attribute__((vector_size(16)));
        Vec acc0 = {0, 0, 0, 0};
        Vec acc1 = {0, 0, 0, 0};
        for (; w + 8 <= words; w += 8) {
            Vec a, b;
            std::memcpy(&a, p + 4 * w, sizeof a);
            std::memcpy(&b, p + 4 * w + 16, sizeof b);
            acc0 += a;
            acc1 += b;
        }
        acc0 += acc1;
        sum = acc0[0] + acc0[1] + acc0[2] + acc0[3];
    }
    for (; w < words; ++w) sum += load_le32(p + 4 * w);
    return sum;
}

// Fletcher-16 over the first 34 header bytes: sum1 + 256 * sum2, both sums modulo 255.
uint16_t header_checksum(const uint8_t *p) {
    uint32_t sum1 = 0;
    uint32_t sum2 = 0;
    for (uint32_t i = 0; i < kHdrSize - 2; ++i) {
        sum1 = (sum1 + p[i]) % 255;
        sum2 = (sum2 + sum1) % 255;
    }
    return static_cast<uint16_t>(sum1 + 256 * sum2);
}

// Decodes and validates the 36 bytes at p. A zero frame length is refused as well: no frame
// could be cut from such a segment, and its data would never fill one.
bool parse_header(const uint8_t *p, lx_stream_hdr *h) {
    if (p[0] != LX_STREAM_MAGIC0 || p[1] != LX_STREAM_MAGIC1) return false;
    if (header_checksum(p) != load_le16(p + 34)) return false;
    h->magic[0] = p[0];
    h->magic[1] = p[1];
    h->sidx = load_le16(p + 2);
    h->len = load_le32(p + 4);
    h->frlen = load_le32(p + 8);
    h->fridx = load_le16(p + 12);
    h->frfmt = load_le16(p + 14);
    h->width = load_le16(p + 16);
    h->height = load_le16(p + 18);
    h->temp_sensor = static_cast<int16_t>(load_le16(p + 20));
    h->temp_ib = static_cast<int16_t>(load_le16(p + 22));
    h->spare = load_le32(p + 24);
    h->data_cksum = load_le32(p + 28);
    h->fr_flags = p[32];
    h->data_flags = p[33];
    h->hdr_cksum = load_le16(p + 34);
    return h->len <= LX_STREAM_MAX_LEN && h->frlen != 0 && h->frlen <= LX_STREAM_MAX_FRLEN &&
           h->frfmt <= LX_STREAM_MAX_FRFMT;
}

// One frame buffer: bookkeeping followed by the frame's bytes.
struct FrameNode {
    FrameNode *next;
    lx_raw_frame_info info;
    uint32_t filled;  // bytes stored so far
    uint32_t frlen;   // bytes of the frame; complete when filled == frlen
    uint32_t room;    // bytes the allocation can hold (>= frlen when reused)
    uint8_t *bytes() { return reinterpret_cast<uint8_t *>(this + 1); }
    bool complete() const { return filled == frlen; }
};

// Singly linked FIFO of frames.
struct FrameList {
    FrameNode *head = nullptr;
    FrameNode *tail = nullptr;

    bool empty() const { return head == nullptr; }
    void push(FrameNode *n) {
        n->next = nullptr;
        if (tail) {
            tail->next = n;
        } else {
            head = n;
        }
        tail = n;
    }
    FrameNode *pop() {
        FrameNode *n = head;
        if (n) {
            head = n->next;
            if (!head) tail = nullptr;
            n->next = nullptr;
        }
        return n;
    }
};

// Frame buffers that were handed out and came back, so that a steady stream allocates nothing.
// Shared by the feeding thread (get) and the fetching threads (put).
class FramePool {
  public:
    FramePool() = default;
    FramePool(const FramePool &) = delete;
    FramePool &operator=(const FramePool &) = delete;
    ~FramePool() {
        while (free_) {
            FrameNode *n = free_;
            free_ = n->next;
            std::free(n);
        }
    }

    // A buffer for frlen bytes, or null when memory is short.
    FrameNode *get(uint32_t frlen) {
        FrameNode *unsuitable = nullptr;
        {
            std::lock_guard lock(mu_);
            for (FrameNode **link = &free_; *link; link = &(*link)->next) {
                if ((*link)->room >= frlen) {
                    FrameNode *n = *link;
                    *link = n->next;
                    --count_;
                    return n;
                }
            }
            // None is large enough: give up one buffer so that the pool follows a change of
            // frame size instead of holding buffers no frame fits.
            if (free_) {
                unsuitable = free_;
                free_ = unsuitable->next;
                --count_;
            }
        }
        std::free(unsuitable);
        void *mem = alloc_frame_memory(sizeof(FrameNode) + frlen);
        if (!mem) return nullptr;
        auto *n = static_cast<FrameNode *>(mem);
        n->room = frlen;
        return n;
    }

    // Takes a buffer back, keeping at most limit of them.
    void put(FrameNode *n, uint32_t limit) {
        {
            std::lock_guard lock(mu_);
            if (count_ < limit) {
                n->next = free_;
                free_ = n;
                ++count_;
                return;
            }
        }
        std::free(n);
    }

  private:
    std::mutex mu_;
    FrameNode *free_ = nullptr;
    uint32_t count_ = 0;
};

}  // namespace
}  // namespace lumox

using lumox::FrameList;
using lumox::FrameNode;

// The stream parser. The members after "Feeding side" belong to the feeding thread alone; the
// ready list and the counters that describe it change under `lock`. The counters are atomics as
// well, since the feeding thread bumps the ones that do not describe the ready list without it.
struct lx_stream {
    std::atomic<uint32_t> capacity{0};

    mutable std::shared_mutex lock;
    FrameList ready;
    std::atomic<uint32_t> frames_received{0};
    std::atomic<uint32_t> frames_queued{0};
    std::atomic<uint32_t> frames_discarded{0};
    std::atomic<uint32_t> frames_overflowed{0};
    std::atomic<uint32_t> frames_ready{0};
    std::atomic<uint32_t> bytes_dropped{0};
    lx_timeval reset_time{};

    lumox::FramePool pool;

    // Feeding side.
    FrameList pending;
    uint8_t hdr_bytes[lumox::kHdrSize] = {};
    uint32_t hdr_have = 0;  // 0 nothing held, 1-35 partial header, 36 header held
    lx_stream_hdr hdr{};
    uint32_t seg_consumed = 0;
    uint32_t seg_cksum = 0;
    uint8_t cksum_tail[4] = {};  // bytes of a data word split between two inputs
    uint32_t cksum_tail_len = 0;
    uint32_t seg_frames = 0;  // frames completed in this segment
    bool seg_done = false;
    bool discard = false;
    int32_t prev_sidx = lumox::kNone;
    int32_t prev_fridx = lumox::kNone;
    uint16_t frames_per_seg = 1;

    bool feed(const uint8_t *in, uint32_t n);
    uint32_t fetch(void *dst, int32_t dst_len, uint32_t k, lx_raw_frame_info *info, bool peek);
    void get_state(lx_stream_state *st) const;
    void reset();
    ~lx_stream();

  private:
    uint32_t pool_limit() const { return capacity.load(std::memory_order_relaxed) + 4; }
    void drop(uint32_t bytes) { bytes_dropped.fetch_add(bytes, std::memory_order_relaxed); }
    void forget_order() {
        prev_sidx = lumox::kNone;
        prev_fridx = lumox::kNone;
        frames_per_seg = 1;
    }
    void begin_segment();
    void complete_partial_header(const uint8_t *in, uint32_t n, uint32_t &pos);
    void search_header(const uint8_t *in, uint32_t n, uint32_t &pos);
    void check_header();
    void finish_segment();
    void consume_data(const uint8_t *in, uint32_t n, uint32_t &pos);
    void add_checksum(const uint8_t *p, uint32_t m);
    bool add_data(const uint8_t *p, uint32_t m);
    void refresh();
    void discard_cur_frame();
    void discard_pending();
    void release(FrameNode *n) { pool.put(n, pool_limit()); }
};

namespace {

void log_trc_partial(uint32_t held) {
    lx_log(LX_LOG_TRC, "TRC", "[%s] partial stream hdr found: %d bytes, need more bytes.\n",
           "_sync_stream_hdr", static_cast<int>(held));
}

}  // namespace

void lx_stream::begin_segment() {
    seg_consumed = 0;
    seg_cksum = 0;
    cksum_tail_len = 0;
    seg_frames = 0;
    seg_done = false;
}

// A partial header is held: complete it from this input. When the completed header is invalid,
// a header may still begin inside the held bytes (a false 0xFB 0x98 in skipped data shortly
// before a real header); those places are tried before the search goes on in this input. The
// order state is kept, so that the next header's index still reveals a lost segment.
void lx_stream::complete_partial_header(const uint8_t *in, uint32_t n, uint32_t &pos) {
    const uint32_t held = hdr_have;
    const uint32_t c = std::min(lumox::kHdrSize - held, n - pos);
    std::memcpy(hdr_bytes + held, in + pos, c);
    if (held + c < lumox::kHdrSize) {
        hdr_have = held + c;
        pos += c;
        log_trc_partial(hdr_have);
        return;
    }
    if (lumox::parse_header(hdr_bytes, &hdr)) {
        hdr_have = lumox::kHdrSize;
        pos += c;
        begin_segment();
        lx_log(LX_LOG_TRC, "TRC", "[%s] HDR found: idx/len=%d/%d(frlen:%d,fridx=%d,frfmt=%d)\n",
               "_sync_stream_hdr", hdr.sidx, static_cast<int>(hdr.len), static_cast<int>(hdr.frlen),
               hdr.fridx, hdr.frfmt);
        check_header();
        return;
    }

    uint8_t scratch[2 * lumox::kHdrSize];
    const uint32_t extra = std::min(lumox::kHdrSize - 1, n - pos);
    std::memcpy(scratch, hdr_bytes, held);
    std::memcpy(scratch + held, in + pos, extra);
    const uint32_t total = held + extra;
    for (uint32_t o = 1; o < held; ++o) {
        if (scratch[o] != LX_STREAM_MAGIC0 || scratch[o + 1] != LX_STREAM_MAGIC1) continue;
        if (total - o < lumox::kHdrSize) {
            drop(o);
            hdr_have = total - o;
            std::memmove(hdr_bytes, scratch + o, hdr_have);
            pos += extra;
            log_trc_partial(hdr_have);
            return;
        }
        if (lumox::parse_header(scratch + o, &hdr)) {
            drop(o);
            std::memcpy(hdr_bytes, scratch + o, lumox::kHdrSize);
            hdr_have = lumox::kHdrSize;
            pos += lumox::kHdrSize - (held - o);
            begin_segment();
            lx_log(LX_LOG_TRC, "TRC",
                   "[%s] HDR found: idx/len=%d/%d (frlen:%d,fridx=%d,frfmt=%d)\n",
                   "_sync_stream_hdr", hdr.sidx, static_cast<int>(hdr.len),
                   static_cast<int>(hdr.frlen), hdr.fridx, hdr.frfmt);
            lx_log(LX_LOG_TRC, "TRC", "[%s] sync hdr: skip %d bytes\n", "_sync_stream_hdr",
                   static_cast<int>(o));
            check_header();
            return;
        }
    }
    drop(held);
    hdr_have = 0;
    search_header(in, n, pos);
}

// Scans the input from pos for the next valid header. Every byte passed over is dropped.
void lx_stream::search_header(const uint8_t *in, uint32_t n, uint32_t &pos) {
    const uint32_t start = pos;
    uint32_t i = pos;
    while (i < n) {
        const void *found = std::memchr(in + i, LX_STREAM_MAGIC0, n - i);
        if (!found) break;
        i = static_cast<uint32_t>(static_cast<const uint8_t *>(found) - in);
        if (i == n - 1 || (in[i + 1] == LX_STREAM_MAGIC1 && n - i < lumox::kHdrSize)) {
            drop(i - start);
            hdr_have = n - i;
            std::memcpy(hdr_bytes, in + i, hdr_have);
            pos = n;
            log_trc_partial(hdr_have);
            return;
        }
        if (in[i + 1] == LX_STREAM_MAGIC1 && lumox::parse_header(in + i, &hdr)) {
            const uint32_t skipped = i - start;
            std::memcpy(hdr_bytes, in + i, lumox::kHdrSize);
            hdr_have = lumox::kHdrSize;
            pos = i + lumox::kHdrSize;
            begin_segment();
            lx_log(LX_LOG_TRC, "TRC",
                   "[%s] HDR found: idx/len=%d/%d (frlen:%d,fridx=%d,frfmt=%d)\n",
                   "_sync_stream_hdr", hdr.sidx, static_cast<int>(hdr.len),
                   static_cast<int>(hdr.frlen), hdr.fridx, hdr.frfmt);
            if (skipped > 0) {
                lx_log(LX_LOG_TRC, "TRC", "[%s] sync hdr: skip %d bytes\n", "_sync_stream_hdr",
                       static_cast<int>(skipped));
                drop(skipped);
            }
            check_header();
            return;
        }
        ++i;
    }

    drop(n - start);
    pos = n;
    if (discard) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] not find hdr: skip %d bytes\n", "_sync_stream_hdr",
               static_cast<int>(n - start));
    } else {
        lx_log(LX_LOG_DBG, "DBG", "[%s] discard frame: stream hdr verify failed\n",
               "_sync_stream_hdr");
        discard = true;
        discard_cur_frame();
    }
}

// Order checks on a header just accepted: frame starts, frame and segment indices.
void lx_stream::check_header() {
    const bool start = (hdr.fr_flags & LX_STREAM_FR_START) != 0;
    if (discard) {
        if (!start) return;  // the segment is skipped; still waiting for a frame start
        discard = false;
        prev_sidx = lumox::kNone;
    } else if (!start) {
        if (prev_fridx != lumox::kNone && prev_fridx != hdr.fridx) {
            lx_log(LX_LOG_DBG, "DBG",
                   "[%s] discard frame: frame idx not consist (prev=%d, cur=%d)\n",
                   "_check_stream_hdr", prev_fridx, hdr.fridx);
            discard_cur_frame();
            prev_sidx = lumox::kNone;
            return;
        }
    }
    if (start) {
        if (!pending.empty()) {
            lx_log(LX_LOG_DBG, "DBG", "[%s] discard frame: frame bound met, prev not complete\n",
                   "_check_stream_hdr");
            discard_cur_frame();
            prev_sidx = lumox::kNone;
            return;
        }
        if (frames_received.load(std::memory_order_relaxed) > 0 && prev_fridx != lumox::kNone) {
            const uint16_t expected = static_cast<uint16_t>(prev_fridx + frames_per_seg);
            if (expected != hdr.fridx) {
                lx_log(LX_LOG_DBG, "DBG",
                       "[%s] missing frame: jumpping frame idx (prev=%d, cur=%d)\n",
                       "_check_stream_hdr", expected, hdr.fridx);
            }
        }
    }
    if (prev_sidx != lumox::kNone && hdr.sidx != static_cast<uint16_t>(prev_sidx + 1) && !start) {
        lx_log(LX_LOG_DBG, "DBG",
               "[%s] discard frame: stream hdr idx not correct (prev=%d, cur=%d)\n",
               "_check_stream_hdr", prev_sidx, hdr.sidx);
        discard = true;
        discard_cur_frame();
    }
}

// The held segment is done with (or skipped): it becomes the previous one.
void lx_stream::finish_segment() {
    prev_sidx = hdr.sidx;
    prev_fridx = hdr.fridx;
    frames_per_seg = hdr.len > hdr.frlen ? static_cast<uint16_t>(hdr.len / hdr.frlen) : 1;
    hdr_have = 0;
    seg_done = false;
}

// Adds the data words of one piece of segment data to the running checksum. A word split
// between two inputs is carried over, so the sum does not depend on where the inputs end.
void lx_stream::add_checksum(const uint8_t *p, uint32_t m) {
    if (cksum_tail_len > 0) {
        while (cksum_tail_len < 4 && m > 0) {
            cksum_tail[cksum_tail_len++] = *p++;
            --m;
        }
        if (cksum_tail_len < 4) return;
        seg_cksum += lumox::load_le32(cksum_tail);
        cksum_tail_len = 0;
    }
    const uint32_t words = m / 4;
    seg_cksum += lumox::sum_le_words(p, words);
    for (uint32_t i = 4 * words; i < m; ++i) cksum_tail[cksum_tail_len++] = p[i];
}

void lx_stream::consume_data(const uint8_t *in, uint32_t n, uint32_t &pos) {
    const uint32_t m = std::min(hdr.len - seg_consumed, n - pos);
    const bool checked = (hdr.data_flags & LX_STREAM_DATA_CKSUM) != 0;
    seg_consumed += m;
    if (checked) add_checksum(in + pos, m);
    const bool seg_end = seg_consumed == hdr.len;

    bool stored = true;
    if (m > 0) {
        lx_log(LX_LOG_TRC, "TRC", "[%s] Add %d bytes to frlist\n", "lx_stream_feed_input",
               static_cast<int>(m));
        stored = add_data(in + pos, m);
    }
    pos += m;

    if (!stored) {
        // Frames of a checked segment cannot be verified once part of it is skipped.
        if (checked) {
            discard_pending();
        } else {
            refresh();
        }
        return;
    }
    if (seg_end) {
        seg_done = true;
        seg_consumed = 0;
        if (checked) {
            lx_log(LX_LOG_TRC, "TRC", "[%s] check data checksum: sidx=%d\n", "lx_stream_feed_input",
                   hdr.sidx);
            const uint32_t sum = seg_cksum;
            seg_cksum = 0;
            cksum_tail_len = 0;
            if (sum != hdr.data_cksum) {
                lx_log(LX_LOG_DBG, "DBG",
                       "[%s] discard frame: verify data checksum failed: sidx=%d\n",
                       "lx_stream_feed_input", hdr.sidx);
                discard_pending();
                discard = true;
                return;
            }
        }
    }
    // Frames completed in a checked segment stay pending until its checksum has been verified.
    if (!checked || seg_end) refresh();
}

// Stores m bytes of segment data: completes the frame being filled, then begins new frames.
// Returns false when a frame buffer could not be allocated; that frame and the rest of the
// piece are dropped and the parser waits for the next frame start.
bool lx_stream::add_data(const uint8_t *p, uint32_t m) {
    if (FrameNode *cur = pending.tail; cur && !cur->complete()) {
        const uint32_t c = std::min(cur->frlen - cur->filled, m);
        std::memcpy(cur->bytes() + cur->filled, p, c);
        cur->filled += c;
        p += c;
        m -= c;
        if (cur->complete()) {
            frames_received.fetch_add(1, std::memory_order_relaxed);
            ++seg_frames;
        }
    }
    while (m > 0) {
        FrameNode *n = pool.get(hdr.frlen);
        if (!n) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] malloc failed: %d bytes\n", "_fr_node_add_data",
                   static_cast<int>(hdr.frlen + lumox::kHdrSize));
            frames_discarded.fetch_add(1, std::memory_order_relaxed);
            drop(m);
            discard = true;
            return false;
        }
        n->info.frlen = hdr.frlen;
        n->info.fridx = static_cast<uint16_t>(hdr.fridx + seg_frames);
        n->info.frfmt = hdr.frfmt;
        n->info.width = hdr.width;
        n->info.height = hdr.height;
        n->info.temp_sensor = hdr.temp_sensor;
        n->info.temp_ib = hdr.temp_ib;
        n->info.spare = hdr.spare;
        n->frlen = hdr.frlen;
        n->filled = std::min(hdr.frlen, m);
        std::memcpy(n->bytes(), p, n->filled);
        p += n->filled;
        m -= n->filled;
        pending.push(n);
        if (n->complete()) {
            frames_received.fetch_add(1, std::memory_order_relaxed);
            ++seg_frames;
        }
    }
    return true;
}

// Moves complete frames from the pending list to the ready list, then drops the oldest ready
// frames beyond the capacity.
void lx_stream::refresh() {
    if (!pending.empty() && pending.head->complete()) {
        std::unique_lock guard(lock);
        uint32_t moved = 0;
        while (!pending.empty() && pending.head->complete()) {
            ready.push(pending.pop());
            ++moved;
        }
        frames_queued.fetch_add(moved, std::memory_order_relaxed);
        frames_ready.fetch_add(moved, std::memory_order_relaxed);
    }

    const uint32_t cap = capacity.load(std::memory_order_relaxed);
    if (frames_ready.load(std::memory_order_relaxed) <= cap) return;
    FrameList dropped;
    {
        std::unique_lock guard(lock);
        const uint32_t ready_now = frames_ready.load(std::memory_order_relaxed);
        if (ready_now <= cap) return;
        const uint32_t d = ready_now - cap;
        lx_log(LX_LOG_DBG, "DBG", "[%s] discard frames: frame buffer is full (%d/%d)\n",
               "_fr_list_refresh", static_cast<int>(d),
               static_cast<int>(frames_overflowed.load(std::memory_order_relaxed) + d));
        for (uint32_t i = 0; i < d; ++i) {
            FrameNode *n = ready.pop();
            drop(n->frlen);
            frames_ready.fetch_sub(1, std::memory_order_relaxed);
            frames_overflowed.fetch_add(1, std::memory_order_relaxed);
            dropped.push(n);
        }
    }
    while (FrameNode *n = dropped.pop()) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] discard frame: idx = %d\n", "_fr_list_refresh",
               n->info.fridx);
        release(n);
    }
}

// Throws away the frame being filled, if there is one.
void lx_stream::discard_cur_frame() {
    FrameNode *cur = pending.tail;
    if (!cur || cur->complete()) return;
    // The incomplete frame is always the last pending one; unlink it.
    if (pending.head == cur) {
        pending.head = pending.tail = nullptr;
    } else {
        FrameNode *before = pending.head;
        while (before->next != cur) before = before->next;
        before->next = nullptr;
        pending.tail = before;
    }
    drop(cur->filled);
    frames_discarded.fetch_add(1, std::memory_order_relaxed);
    lx_log(LX_LOG_DBG, "DBG", "[%s] discard frame: idx = %d\n", "_discard_cur_frame",
           cur->info.fridx);
    release(cur);
}

// Throws away every pending frame, complete or not: the frames of a segment whose data failed
// its checksum (with the frame it continued).
void lx_stream::discard_pending() {
    while (FrameNode *n = pending.pop()) {
        drop(n->filled);
        frames_discarded.fetch_add(1, std::memory_order_relaxed);
        lx_log(LX_LOG_DBG, "DBG", "[%s] discard frame: idx = %d\n", "_discard_cur_frame",
               n->info.fridx);
        release(n);
    }
}

bool lx_stream::feed(const uint8_t *in, uint32_t n) {
    lx_log(LX_LOG_TRC, "TRC", "[%s] %d raw bytes\n", "lx_stream_feed_input", static_cast<int>(n));
    if (!in) n = 0;
    uint32_t pos = 0;
    while (pos < n) {
        if (hdr_have > 0 && hdr_have < lumox::kHdrSize) {
            complete_partial_header(in, n, pos);
        } else if (hdr_have == lumox::kHdrSize && (seg_done || discard)) {
            finish_segment();
            search_header(in, n, pos);
        } else if (hdr_have == lumox::kHdrSize) {
            consume_data(in, n, pos);
        } else {
            forget_order();
            search_header(in, n, pos);
        }
    }
    return frames_ready.load(std::memory_order_relaxed) > 0;
}

uint32_t lx_stream::fetch(void *dst, int32_t dst_len, uint32_t k, lx_raw_frame_info *info,
                          bool peek) {
    auto *out = static_cast<uint8_t *>(dst);
    auto copy_out = [&](FrameNode *n, bool first) {
        if (first && info) *info = n->info;
        if (out && dst_len > 0) {
            const uint32_t c = std::min(static_cast<uint32_t>(dst_len), n->filled);
            std::memcpy(out, n->bytes(), c);
            out += c;
            dst_len -= static_cast<int32_t>(c);
        }
    };

    if (peek) {
        std::shared_lock guard(lock);
        k = std::min(k, frames_ready.load(std::memory_order_relaxed));
        FrameNode *n = ready.head;
        if (k > 0 && info) *info = n->info;
        if (k == 0 || !out) return k;
        for (uint32_t i = 0; i < k; ++i, n = n->next) copy_out(n, i == 0);
        return k;
    }

    FrameList taken;
    {
        std::unique_lock guard(lock);
        k = std::min(k, frames_ready.load(std::memory_order_relaxed));
        for (uint32_t i = 0; i < k; ++i) taken.push(ready.pop());
        frames_ready.fetch_sub(k, std::memory_order_relaxed);
    }
    // The taken frames belong to this thread now: copy them without holding the lock.
    for (uint32_t i = 0; i < k; ++i) {
        FrameNode *n = taken.pop();
        copy_out(n, i == 0);
        release(n);
    }
    return k;
}

void lx_stream::get_state(lx_stream_state *st) const {
    std::shared_lock guard(lock);
    st->frames_received = frames_received.load(std::memory_order_relaxed);
    st->frames_queued = frames_queued.load(std::memory_order_relaxed);
    st->frames_discarded = frames_discarded.load(std::memory_order_relaxed);
    st->frames_overflowed = frames_overflowed.load(std::memory_order_relaxed);
    st->frames_ready = frames_ready.load(std::memory_order_relaxed);
    st->reserved0 = 0;
    st->bytes_dropped = bytes_dropped.load(std::memory_order_relaxed);
    st->reserved1 = 0;
    st->reset_time = reset_time;
}

void lx_stream::reset() {
    FrameList gone;
    {
        std::unique_lock guard(lock);
        while (FrameNode *n = ready.pop()) gone.push(n);
        while (FrameNode *n = pending.pop()) gone.push(n);
        frames_received = 0;
        frames_queued = 0;
        frames_discarded = 0;
        frames_overflowed = 0;
        frames_ready = 0;
        bytes_dropped = 0;
        lx_gettimeofday(&reset_time, nullptr);
    }
    while (FrameNode *n = gone.pop()) release(n);
    hdr_have = 0;
    prev_sidx = lumox::kNone;
}

lx_stream::~lx_stream() {
    while (FrameNode *n = ready.pop()) std::free(n);
    while (FrameNode *n = pending.pop()) std::free(n);
}

namespace lumox {

FrameAllocFn set_frame_alloc(FrameAllocFn alloc) { return g_frame_alloc.exchange(alloc); }

}  // namespace lumox

lx_stream *lx_stream_create(const lx_stream_cfg *cfg) {
    auto *s = new (std::nothrow) lx_stream;
    if (!s) return nullptr;
    s->capacity = cfg ? cfg->capacity : 0;
    lx_gettimeofday(&s->reset_time, nullptr);
    return s;
}

void lx_stream_destroy(lx_stream *stream) { delete stream; }

void lx_stream_set_cfg(lx_stream *stream, const lx_stream_cfg *cfg) {
    if (stream && cfg) stream->capacity = cfg->capacity;
}

void lx_stream_get_cfg(lx_stream *stream, lx_stream_cfg *cfg) {
    if (stream && cfg) cfg->capacity = stream->capacity;
}

void lx_stream_reset(lx_stream *stream) {
    if (stream) stream->reset();
}

bool lx_stream_feed_input(lx_stream *stream, const uint8_t *bytes, uint32_t n) {
    return stream ? stream->feed(bytes, n) : false;
}

uint32_t lx_stream_fetch_frames(lx_stream *stream, void *dst, int32_t dst_len, uint32_t k,
                                lx_raw_frame_info *info, bool peek) {
    return stream ? stream->fetch(dst, dst_len, k, info, peek) : 0;
}

void lx_stream_get_state(lx_stream *stream, lx_stream_state *state) {
    if (stream && state) stream->get_state(state);
}
