// Median filters on 16-bit images.
//
// The 3 x 3 and 5 x 5 medians are branch-free min/max networks run on 16 pixels at a time (in
// the wide or the baseline instruction set, see simd.h). The
// values are biased by 0x8000 into signed 16-bit numbers, whose min/max every x86-64 vector unit
// has (SSE2 lacks the unsigned ones); the bias is removed on output. Work is shared between
// neighbouring windows:
// - every source row is sorted once per horizontal window (3 or 5 wide) and kept in a small cache
//   of sorted rows;
// - 3 x 3: the median of nine is the median of (largest row minimum, median of the row medians,
//   smallest row maximum);
// - 5 x 5: two output rows share four source rows. The sorted rows are merged in pairs (a pair
//   serves two output row pairs), the two pairs are merged into ranks 8..13 of the shared twenty
//   values, and each output row adds its fifth row through the rank-selection identity
//   rank13(Q u C) = min(Q13, max(Q12, C1), ..., max(Q8, C5)) for sorted Q and C.
// Columns are processed in strips so the working set stays in the first-level cache and on the
// stack, whatever the image width.
//
// The generic median keeps the k x k window in a sorted doubly linked list with a pointer to the
// median node, and moves the window one pixel at a time in serpentine order.

#include "lx/median.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "lumox/image.h"
#include "lumox/log.h"
#include "lx/filter.h"
#include "lx/simd.h"

namespace lumox {

namespace {

using simd::kLanes;
using V = simd::I16;
constexpr int32_t kStrip = 160;  // columns per strip, a multiple of kLanes

LUMOX_INLINE V vmin(V a, V b) { return a < b ? a : b; }
LUMOX_INLINE V vmax(V a, V b) { return a < b ? b : a; }
LUMOX_INLINE V load(const int16_t *p) { return simd::load<V>(p); }
LUMOX_INLINE void store(int16_t *p, V v) { simd::store(p, v); }
LUMOX_INLINE void sort2(V &a, V &b) {
    const V lo = vmin(a, b);
    b = vmax(a, b);
    a = lo;
}
LUMOX_INLINE V med3(V a, V b, V c) { return vmax(vmin(a, b), vmin(vmax(a, b), c)); }

constexpr uint16_t kBias = 0x8000;

// Writes kLanes biased values back as unsigned pixels; only the first n land in out.
LUMOX_INLINE void store_pixels(uint16_t *out, V v, int32_t n) {
    v ^= static_cast<int16_t>(kBias);
    if (n >= kLanes) {
        std::memcpy(out, &v, sizeof v);
    } else {
        std::memcpy(out, &v, static_cast<size_t>(n) * sizeof(uint16_t));
    }
}

// Per source row, the K values of the horizontal window around each column of a strip, sorted:
// rank r of column x is at ranks(y)[r * kStrip + x]. Rows are computed on first use and cached in
// Slots slots, enough for the rows one output step needs at a time.
template <int K, int Slots>
class SortedRows {
  public:
    // Caches the strip of columns x0 .. x0 + n - 1 (n <= kStrip).
    SortedRows(const uint16_t *src, int32_t w, int32_t h, int32_t x0, int32_t n)
        : src_(src), w_(w), h_(h), x0_(x0), n_(n) {
        for (int32_t &t : tag_) t = -1;
    }

    LUMOX_INLINE const int16_t *get(int32_t y) {
        y = clamp_index(y, h_);
        const int slot = y % Slots;
        int16_t *out = ranks_[slot];
        if (tag_[slot] != y) {
            tag_[slot] = y;
            sort_row(out, src_ + static_cast<size_t>(y) * w_);
        }
        return out;
    }

  private:
    static constexpr int kRadius = K / 2;

    LUMOX_INLINE void sort_row(int16_t *out, const uint16_t *row) {
        alignas(32) int16_t biased[kStrip + K - 1];
        const int32_t lanes_end = (n_ + kLanes - 1) / kLanes * kLanes;
        const int32_t len = lanes_end + K - 1;
        const int32_t first = x0_ - kRadius;  // source column of biased[0]
        int32_t i = 0;
        for (; i < len && first + i < 0; ++i) biased[i] = static_cast<int16_t>(row[0] ^ kBias);
        for (; i + kLanes <= len && first + i + kLanes <= w_; i += kLanes)
            store(biased + i, load(reinterpret_cast<const int16_t *>(row + first + i)) ^
                                  static_cast<int16_t>(kBias));
        for (; i < len; ++i)
            biased[i] = static_cast<int16_t>(row[clamp_index(first + i, w_)] ^ kBias);
        for (int32_t x = 0; x < lanes_end; x += kLanes) {
            V v[K];
            for (int j = 0; j < K; ++j) v[j] = load(biased + x + j);
            if constexpr (K == 3) {
                sort2(v[0], v[1]);
                sort2(v[1], v[2]);
                sort2(v[0], v[1]);
            } else {
                sort2(v[0], v[1]);
                sort2(v[3], v[4]);
                sort2(v[2], v[4]);
                sort2(v[2], v[3]);
                sort2(v[0], v[3]);
                sort2(v[0], v[2]);
                sort2(v[1], v[4]);
                sort2(v[1], v[3]);
                sort2(v[1], v[2]);
            }
            for (int j = 0; j < K; ++j) store(out + j * kStrip + x, v[j]);
        }
    }

    const uint16_t *src_;
    int32_t w_, h_, x0_, n_;
    int32_t tag_[Slots];
    alignas(32) int16_t ranks_[Slots][K * kStrip];
};

LUMOX_INLINE void median3_strip(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                                int32_t x0) {
    const int32_t n = std::min(kStrip, w - x0);
    SortedRows<3, 4> rows(src, w, h, x0, n);
    for (int32_t y = 0; y < h; ++y) {
        const int16_t *a = rows.get(y - 1);
        const int16_t *b = rows.get(y);
        const int16_t *c = rows.get(y + 1);
        uint16_t *out = dst + static_cast<size_t>(y) * w + x0;
        for (int32_t x = 0; x < n; x += kLanes) {
            const V lo = vmax(vmax(load(a + x), load(b + x)), load(c + x));
            const V mid = med3(load(a + kStrip + x), load(b + kStrip + x), load(c + kStrip + x));
            const V hi = vmin(vmin(load(a + 2 * kStrip + x), load(b + 2 * kStrip + x)),
                              load(c + 2 * kStrip + x));
            store_pixels(out + x, med3(lo, mid, hi), n - x);
        }
    }
}

// Merges two sorted rows of five ranks (a, b) into ten sorted ranks (odd-even merge, pruned).
LUMOX_INLINE void merge5(const int16_t *ra, const int16_t *rb, int16_t *out, int32_t x) {
    V a[5], b[5];
    for (int i = 0; i < 5; ++i) {
        a[i] = load(ra + i * kStrip + x);
        b[i] = load(rb + i * kStrip + x);
    }
    const V m1 = vmin(a[0], b[0]);
    const V m2 = vmax(a[0], b[0]);
    const V m3 = vmin(a[4], b[4]);
    const V m4 = vmax(a[4], b[4]);
    const V m5 = vmin(m3, m2);
    const V m6 = vmax(m3, m2);
    const V m7 = vmin(a[2], b[2]);
    const V m8 = vmax(a[2], b[2]);
    const V m9 = vmin(m7, m5);
    const V m10 = vmax(m7, m5);
    const V m11 = vmin(m8, m6);
    const V m12 = vmax(m8, m6);
    const V m13 = vmin(a[1], b[1]);
    const V m14 = vmax(a[1], b[1]);
    const V m15 = vmin(a[3], b[3]);
    const V m16 = vmax(a[3], b[3]);
    const V m17 = vmin(m15, m14);
    const V m18 = vmax(m15, m14);
    const V sorted[10] = {m1,
                          vmin(m13, m9),
                          vmax(m13, m9),
                          vmin(m17, m10),
                          vmax(m17, m10),
                          vmin(m18, m11),
                          vmax(m18, m11),
                          vmin(m16, m12),
                          vmax(m16, m12),
                          m4};
    for (int i = 0; i < 10; ++i) store(out + i * kStrip + x, sorted[i]);
}

// Ranks 8..13 (1-based) of the union of two sorted ten-value sets (odd-even merge, pruned to
// those outputs).
LUMOX_INLINE void middle_ranks20(const int16_t *rp, const int16_t *rq, int32_t x, V out[6]) {
    V p[10], q[10];
    for (int i = 0; i < 10; ++i) {
        p[i] = load(rp + i * kStrip + x);
        q[i] = load(rq + i * kStrip + x);
    }
    const V r2 = vmax(p[0], q[0]);
    const V r3 = vmin(p[8], q[8]);
    const V r5 = vmin(r3, r2);
    const V r6 = vmax(r3, r2);
    const V r7 = vmin(p[4], q[4]);
    const V r8 = vmax(p[4], q[4]);
    const V r10 = vmax(r7, r5);
    const V r11 = vmin(r8, r6);
    const V r14 = vmax(p[2], q[2]);
    const V r15 = vmin(p[6], q[6]);
    const V r17 = vmin(r15, r14);
    const V r18 = vmax(r15, r14);
    const V r22 = vmax(r17, r10);
    const V r23 = vmin(r18, r11);
    const V r24 = vmax(r18, r11);
    const V r28 = vmax(p[1], q[1]);
    const V r29 = vmin(p[9], q[9]);
    const V r31 = vmin(r29, r28);
    const V r32 = vmax(r29, r28);
    const V r33 = vmin(p[5], q[5]);
    const V r34 = vmax(p[5], q[5]);
    const V r36 = vmax(r33, r31);
    const V r37 = vmin(r34, r32);
    const V r40 = vmax(p[3], q[3]);
    const V r41 = vmin(p[7], q[7]);
    const V r43 = vmin(r41, r40);
    const V r44 = vmax(r41, r40);
    const V r47 = vmin(r43, r36);
    const V r48 = vmax(r43, r36);
    const V r49 = vmin(r44, r37);
    out[0] = vmin(r47, r22);
    out[1] = vmax(r47, r22);
    out[2] = vmin(r48, r23);
    out[3] = vmax(r48, r23);
    out[4] = vmin(r49, r24);
    out[5] = vmax(r49, r24);
}

// Rank 13 of the union of twenty sorted values (of which q holds ranks 8..13) and a sorted row
// of five ranks.
LUMOX_INLINE V median25(const V q[6], const int16_t *row, int32_t x) {
    V m = q[5];
    for (int j = 1; j <= 5; ++j) m = vmin(m, vmax(q[5 - j], load(row + (j - 1) * kStrip + x)));
    return m;
}

LUMOX_INLINE void median5_strip(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                                int32_t x0) {
    const int32_t n = std::min(kStrip, w - x0);
    SortedRows<5, 8> rows(src, w, h, x0, n);
    alignas(32) int16_t pairs[2][10 * kStrip];
    int16_t *upper = pairs[0];  // rows y-1, y
    int16_t *lower = pairs[1];  // rows y+1, y+2
    {
        const int16_t *a = rows.get(-1);
        const int16_t *b = rows.get(0);
        for (int32_t x = 0; x < n; x += kLanes) merge5(a, b, upper, x);
    }
    for (int32_t y = 0; y < h; y += 2) {
        const int16_t *a = rows.get(y + 1);
        const int16_t *b = rows.get(y + 2);
        for (int32_t x = 0; x < n; x += kLanes) merge5(a, b, lower, x);
        const int16_t *top = rows.get(y - 2);
        const int16_t *bottom = rows.get(y + 3);
        uint16_t *out = dst + static_cast<size_t>(y) * w + x0;
        const bool second_row = y + 1 < h;
        for (int32_t x = 0; x < n; x += kLanes) {
            V q[6];
            middle_ranks20(upper, lower, x, q);
            store_pixels(out + x, median25(q, top, x), n - x);
            if (second_row) store_pixels(out + w + x, median25(q, bottom, x), n - x);
        }
        std::swap(upper, lower);
    }
}

// Each kernel runs strip by strip, in the wide or the baseline instruction set.
template <bool Five>
LUMOX_INLINE void median_strips(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) {
    for (int32_t x0 = 0; x0 < w; x0 += kStrip) {
        if constexpr (Five)
            median5_strip(dst, src, w, h, x0);
        else
            median3_strip(dst, src, w, h, x0);
    }
}

template <bool Five>
LUMOX_TARGET_WIDE void median_wide(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) {
    median_strips<Five>(dst, src, w, h);
}

template <bool Five>
void median_base(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) {
    median_strips<Five>(dst, src, w, h);
}

template <bool Five>
void median_fixed(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) {
    if (simd::wide_vectors())
        median_wide<Five>(dst, src, w, h);
    else
        median_base<Five>(dst, src, w, h);
}

// Sorted doubly linked list of the window values with a pointer to the median node. The balance
// counter is (nodes after the median) - (nodes before it); whenever it reaches +-2 the median
// pointer moves one node toward the larger side, so with an odd count the pointer sits on the
// true median.
class RunningMedian {
  public:
    struct Node {
        uint16_t value;
        Node *prev;
        Node *next;
    };

    uint16_t median() const { return median_->value; }

    // Links n with value v before the first node of greater value (equal values keep
    // insertion order).
    void insert(Node *n, uint16_t v) {
        n->value = v;
        if (!median_) {
            n->prev = n->next = nullptr;
            head_ = tail_ = median_ = n;
            balance_ = 0;
            return;
        }
        Node *after;
        if (v >= median_->value) {
            after = median_->next;
            while (after && after->value <= v) after = after->next;
            ++balance_;
        } else {
            after = median_;
            while (after->prev && after->prev->value > v) after = after->prev;
            --balance_;
        }
        n->next = after;
        n->prev = after ? after->prev : tail_;
        (n->prev ? n->prev->next : head_) = n;
        (after ? after->prev : tail_) = n;
        rebalance();
    }

    void remove(Node *n) {
        if (n == median_) {
            if (n->next) {
                median_ = n->next;
                --balance_;
            } else {
                median_ = n->prev;
                ++balance_;
            }
        } else if (lies_after_median(n)) {
            --balance_;
        } else {
            ++balance_;
        }
        (n->prev ? n->prev->next : head_) = n->next;
        (n->next ? n->next->prev : tail_) = n->prev;
        if (!median_) balance_ = 0;
        rebalance();
    }

  private:
    bool lies_after_median(const Node *n) const {
        if (n->value != median_->value) return n->value > median_->value;
        for (const Node *p = median_->next; p && p->value == n->value; p = p->next)
            if (p == n) return true;
        return false;
    }

    void rebalance() {
        if (balance_ == 2) {
            median_ = median_->next;
            balance_ = 0;
        } else if (balance_ == -2) {
            median_ = median_->prev;
            balance_ = 0;
        }
    }

    Node *head_ = nullptr;
    Node *tail_ = nullptr;
    Node *median_ = nullptr;
    int balance_ = 0;
};

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

}  // namespace

bool median2d_list_u16(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h, int32_t k) {
    using Node = RunningMedian::Node;
    const int32_t r = k / 2;
    const size_t gw = static_cast<size_t>(w) + k - 1, gh = static_cast<size_t>(h) + k - 1;
    const size_t window = static_cast<size_t>(k) * k;
    std::unique_ptr<Node, FreeDeleter> nodes(
        static_cast<Node *>(std::malloc(window * sizeof(Node))));
    std::unique_ptr<Node *, FreeDeleter> grid(
        static_cast<Node **>(std::calloc(gw * gh, sizeof(Node *))));
    std::unique_ptr<Node *, FreeDeleter> spare(
        static_cast<Node **>(std::malloc(window * sizeof(Node *))));
    if (!nodes || !grid || !spare) return false;

    size_t spare_count = 0;
    for (size_t i = 0; i < window; ++i) spare.get()[spare_count++] = nodes.get() + i;

    RunningMedian list;
    // Grid cell (gx, gy) holds image pixel (gx - r, gy - r), clamped into the image.
    const auto add = [&](int32_t gx, int32_t gy) {
        Node *n = spare.get()[--spare_count];
        grid.get()[static_cast<size_t>(gy) * gw + gx] = n;
        const int32_t sx = clamp_index(gx - r, w), sy = clamp_index(gy - r, h);
        list.insert(n, src[static_cast<size_t>(sy) * w + sx]);
    };
    const auto drop = [&](int32_t gx, int32_t gy) {
        Node *n = grid.get()[static_cast<size_t>(gy) * gw + gx];
        list.remove(n);
        spare.get()[spare_count++] = n;
    };

    for (int32_t gy = 0; gy < k; ++gy)
        for (int32_t gx = 0; gx < k; ++gx) add(gx, gy);

    int32_t x = 0;
    for (int32_t y = 0; y < h; ++y) {
        if (y > 0) {
            for (int32_t i = 0; i < k; ++i) drop(x + i, y - 1);
            for (int32_t i = 0; i < k; ++i) add(x + i, y + k - 1);
        }
        const bool rightwards = y % 2 == 0;
        for (int32_t step = 0; step < w; ++step) {
            if (step > 0) {
                const int32_t leaving = rightwards ? x : x + k - 1;
                const int32_t entering = rightwards ? x + k : x - 1;
                for (int32_t i = 0; i < k; ++i) drop(leaving, y + i);
                for (int32_t i = 0; i < k; ++i) add(entering, y + i);
                x += rightwards ? 1 : -1;
            }
            dst[static_cast<size_t>(y) * w + x] = list.median();
        }
    }
    return true;
}

}  // namespace lumox

extern "C" {

LUMOX_API void lx_median2d_u16_k3(uint16_t *dst, const uint16_t *src, int32_t w,
                                  int32_t h) noexcept {
    if (!lumox::filter_size_ok("lx_median2d_u16_k3", w, h)) return;
    lumox::median_fixed<false>(dst, src, w, h);
}

LUMOX_API void lx_median2d_u16_k5(uint16_t *dst, const uint16_t *src, int32_t w,
                                  int32_t h) noexcept {
    if (!lumox::filter_size_ok("lx_median2d_u16_k5", w, h)) return;
    lumox::median_fixed<true>(dst, src, w, h);
}

LUMOX_API void lx_median2d_u16(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h,
                               int32_t k) noexcept {
    if (k == 3) return lx_median2d_u16_k3(dst, src, w, h);
    if (k == 5) return lx_median2d_u16_k5(dst, src, w, h);
    if (k % 2 == 0 || k <= 2 || k >= 2 * static_cast<int64_t>(w) ||
        k >= 2 * static_cast<int64_t>(h)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s]  wrong parameter:w/h/kernel=%d/%d/%d\n", "lx_median2d_u16",
               w, h, k);
        return;
    }
    if (!lumox::median2d_list_u16(dst, src, w, h, k)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] malloc failed\n", "lx_median2d_u16");
        std::exit(-3);
    }
}

}  // extern "C"
