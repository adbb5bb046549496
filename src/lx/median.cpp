// Median filters on 16-bit images.
//
// The 3 x 3 and 5 x 5 medians are branch-free min/max networks run on a vector of pixels at a
// time, written once over Highway, compiled for every target and dispatched at run time. Work is
// shared between neighbouring windows:
// - every source row is sorted once per horizontal window (3 or 5 wide) and kept in a small cache
//   of sorted rows;
// - 3 x 3: the median of nine is the median of (largest row minimum, median of the row medians,
//   smallest row maximum);
// - 5 x 5: two output rows share four source rows. The sorted rows are merged in pairs (a pair
//   serves two output row pairs), the two pairs are merged into ranks 8..13 of the shared twenty
//   values, and each output row adds its fifth row through the rank-selection identity
//   rank13(Q u C) = min(Q13, max(Q12, C1), ..., max(Q8, C5)) for sorted Q and C.
// Columns are processed in strips so the working set stays in the first-level cache and on the
// stack, whatever the image width. The networks keep their vectors in named values, not arrays:
// SVE vectors have no size the compiler knows.
//
// The generic median keeps the k x k window in a sorted doubly linked list with a pointer to the
// median node, and moves the window one pixel at a time in serpentine order.

// Highway compiles this file once per target (foreach_target.h includes it again); the plain
// part is compiled once.
#ifndef LUMOX_LX_MEDIAN_PLAIN
#define LUMOX_LX_MEDIAN_PLAIN

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

namespace lumox {

namespace {

constexpr int32_t kStrip = 160;  // columns per strip, a multiple of the x86 and NEON widths

}  // namespace

}  // namespace lumox

#endif  // LUMOX_LX_MEDIAN_PLAIN

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lx/median.cpp"
#include <hwy/foreach_target.h>  // must come before highway.h
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumox::HWY_NAMESPACE {
namespace {

namespace hn = hwy::HWY_NAMESPACE;

// At most 32 pixels a step (a strip of 160 columns is whole vectors of 8, 16 and 32).
using D = hn::CappedTag<uint16_t, 32>;
using V = hn::Vec<D>;

// The distance between the ranks of a strip in memory: the strip itself, and where a vector's
// width may not divide it (SVE), room for the last vector.
#if HWY_MAX_BYTES <= 64
constexpr int32_t kStride = kStrip;
#else
constexpr int32_t kStride = kStrip + 32;
#endif

HWY_INLINE V vmin(V a, V b) { return hn::Min(a, b); }
HWY_INLINE V vmax(V a, V b) { return hn::Max(a, b); }
HWY_INLINE V load(const uint16_t *p) { return hn::LoadU(D(), p); }
HWY_INLINE void store(uint16_t *p, V v) { hn::StoreU(v, D(), p); }
HWY_INLINE void sort2(V &a, V &b) {
    const V lo = vmin(a, b);
    b = vmax(a, b);
    a = lo;
}
HWY_INLINE V med3(V a, V b, V c) { return vmax(vmin(a, b), vmin(vmax(a, b), c)); }

// A vector of pixels into out; only the first n land there.
HWY_INLINE void store_pixels(uint16_t *out, V v, int32_t n) {
    const D d;
    if (static_cast<size_t>(n) >= hn::Lanes(d)) {
        hn::StoreU(v, d, out);
    } else {
        hn::BlendedStore(v, hn::FirstN(d, static_cast<size_t>(n)), d, out);
    }
}

// Per source row, the K values of the horizontal window around each column of a strip, sorted:
// rank r of column x is at ranks(y)[r * kStride + x]. Rows are computed on first use and cached
// in Slots slots, enough for the rows one output step needs at a time.
template <int K, int Slots>
class SortedRows {
  public:
    // Caches the strip of columns x0 .. x0 + n - 1 (n <= kStrip).
    SortedRows(const uint16_t *src, int32_t w, int32_t h, int32_t x0, int32_t n)
        : src_(src), w_(w), h_(h), x0_(x0), n_(n) {
        for (int32_t &t : tag_) t = -1;
    }

    HWY_INLINE const uint16_t *get(int32_t y) {
        y = clamp_index(y, h_);
        const int slot = y % Slots;
        uint16_t *out = ranks_[slot];
        if (tag_[slot] != y) {
            tag_[slot] = y;
            sort_row(out, src_ + static_cast<size_t>(y) * w_);
        }
        return out;
    }

  private:
    static constexpr int kRadius = K / 2;

    HWY_INLINE void sort_row(uint16_t *out, const uint16_t *row) {
        const auto lanes = static_cast<int32_t>(hn::Lanes(D()));
        alignas(64) uint16_t clamped[kStride + K - 1];
        const int32_t lanes_end = (n_ + lanes - 1) / lanes * lanes;
        const int32_t len = lanes_end + K - 1;
        const int32_t first = x0_ - kRadius;  // source column of clamped[0]
        int32_t i = 0;
        for (; i < len && first + i < 0; ++i) clamped[i] = row[0];
        for (; i + lanes <= len && first + i + lanes <= w_; i += lanes)
            store(clamped + i, load(row + first + i));
        for (; i < len; ++i) clamped[i] = row[clamp_index(first + i, w_)];
        for (int32_t x = 0; x < lanes_end; x += lanes) {
            const uint16_t *c = clamped + x;
            uint16_t *o = out + x;
            if constexpr (K == 3) {
                V v0 = load(c), v1 = load(c + 1), v2 = load(c + 2);
                sort2(v0, v1);
                sort2(v1, v2);
                sort2(v0, v1);
                store(o, v0);
                store(o + kStride, v1);
                store(o + 2 * kStride, v2);
            } else {
                V v0 = load(c), v1 = load(c + 1), v2 = load(c + 2), v3 = load(c + 3),
                  v4 = load(c + 4);
                sort2(v0, v1);
                sort2(v3, v4);
                sort2(v2, v4);
                sort2(v2, v3);
                sort2(v0, v3);
                sort2(v0, v2);
                sort2(v1, v4);
                sort2(v1, v3);
                sort2(v1, v2);
                store(o, v0);
                store(o + kStride, v1);
                store(o + 2 * kStride, v2);
                store(o + 3 * kStride, v3);
                store(o + 4 * kStride, v4);
            }
        }
    }

    const uint16_t *src_;
    int32_t w_, h_, x0_, n_;
    int32_t tag_[Slots];
    alignas(64) uint16_t ranks_[Slots][K * kStride];
};

void median3_strip(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h, int32_t x0) {
    const auto lanes = static_cast<int32_t>(hn::Lanes(D()));
    const int32_t n = std::min(kStrip, w - x0);
    SortedRows<3, 4> rows(src, w, h, x0, n);
    for (int32_t y = 0; y < h; ++y) {
        const uint16_t *a = rows.get(y - 1);
        const uint16_t *b = rows.get(y);
        const uint16_t *c = rows.get(y + 1);
        uint16_t *out = dst + static_cast<size_t>(y) * w + x0;
        for (int32_t x = 0; x < n; x += lanes) {
            const V lo = vmax(vmax(load(a + x), load(b + x)), load(c + x));
            const V mid = med3(load(a + kStride + x), load(b + kStride + x), load(c + kStride + x));
            const V hi = vmin(vmin(load(a + 2 * kStride + x), load(b + 2 * kStride + x)),
                              load(c + 2 * kStride + x));
            store_pixels(out + x, med3(lo, mid, hi), n - x);
        }
    }
}

// Merges two sorted rows of five ranks (a, b) into ten sorted ranks (odd-even merge, pruned).
HWY_INLINE void merge5(const uint16_t *ra, const uint16_t *rb, uint16_t *out, int32_t x) {
    const auto a = [&](int i) { return load(ra + i * kStride + x); };
    const auto b = [&](int i) { return load(rb + i * kStride + x); };
    const V a0 = a(0), b0 = b(0), a4 = a(4), b4 = b(4), a2 = a(2), b2 = b(2);
    const V m1 = vmin(a0, b0);
    const V m2 = vmax(a0, b0);
    const V m3 = vmin(a4, b4);
    const V m4 = vmax(a4, b4);
    const V m5 = vmin(m3, m2);
    const V m6 = vmax(m3, m2);
    const V m7 = vmin(a2, b2);
    const V m8 = vmax(a2, b2);
    const V m9 = vmin(m7, m5);
    const V m10 = vmax(m7, m5);
    const V m11 = vmin(m8, m6);
    const V m12 = vmax(m8, m6);
    const V a1 = a(1), b1 = b(1), a3 = a(3), b3 = b(3);
    const V m13 = vmin(a1, b1);
    const V m14 = vmax(a1, b1);
    const V m15 = vmin(a3, b3);
    const V m16 = vmax(a3, b3);
    const V m17 = vmin(m15, m14);
    const V m18 = vmax(m15, m14);
    uint16_t *o = out + x;
    store(o, m1);
    store(o + kStride, vmin(m13, m9));
    store(o + 2 * kStride, vmax(m13, m9));
    store(o + 3 * kStride, vmin(m17, m10));
    store(o + 4 * kStride, vmax(m17, m10));
    store(o + 5 * kStride, vmin(m18, m11));
    store(o + 6 * kStride, vmax(m18, m11));
    store(o + 7 * kStride, vmin(m16, m12));
    store(o + 8 * kStride, vmax(m16, m12));
    store(o + 9 * kStride, m4);
}

// Ranks 8..13 (1-based) of the union of two sorted ten-value sets (odd-even merge, pruned to
// those outputs), into q8 .. q13.
HWY_INLINE void middle_ranks20(const uint16_t *rp, const uint16_t *rq, int32_t x, V &q8, V &q9,
                               V &q10, V &q11, V &q12, V &q13) {
    const auto p = [&](int i) { return load(rp + i * kStride + x); };
    const auto q = [&](int i) { return load(rq + i * kStride + x); };
    const V r2 = vmax(p(0), q(0));
    const V r3 = vmin(p(8), q(8));
    const V r5 = vmin(r3, r2);
    const V r6 = vmax(r3, r2);
    const V r7 = vmin(p(4), q(4));
    const V r8 = vmax(p(4), q(4));
    const V r10 = vmax(r7, r5);
    const V r11 = vmin(r8, r6);
    const V r14 = vmax(p(2), q(2));
    const V r15 = vmin(p(6), q(6));
    const V r17 = vmin(r15, r14);
    const V r18 = vmax(r15, r14);
    const V r22 = vmax(r17, r10);
    const V r23 = vmin(r18, r11);
    const V r24 = vmax(r18, r11);
    const V r28 = vmax(p(1), q(1));
    const V r29 = vmin(p(9), q(9));
    const V r31 = vmin(r29, r28);
    const V r32 = vmax(r29, r28);
    const V r33 = vmin(p(5), q(5));
    const V r34 = vmax(p(5), q(5));
    const V r36 = vmax(r33, r31);
    const V r37 = vmin(r34, r32);
    const V r40 = vmax(p(3), q(3));
    const V r41 = vmin(p(7), q(7));
    const V r43 = vmin(r41, r40);
    const V r44 = vmax(r41, r40);
    const V r47 = vmin(r43, r36);
    const V r48 = vmax(r43, r36);
    const V r49 = vmin(r44, r37);
    q8 = vmin(r47, r22);
    q9 = vmax(r47, r22);
    q10 = vmin(r48, r23);
    q11 = vmax(r48, r23);
    q12 = vmin(r49, r24);
    q13 = vmax(r49, r24);
}

// Rank 13 of the union of twenty sorted values (of which q8 .. q13 are ranks 8..13) and a sorted
// row of five ranks.
HWY_INLINE V median25(V q8, V q9, V q10, V q11, V q12, V q13, const uint16_t *row, int32_t x) {
    V m = q13;
    m = vmin(m, vmax(q12, load(row + x)));
    m = vmin(m, vmax(q11, load(row + kStride + x)));
    m = vmin(m, vmax(q10, load(row + 2 * kStride + x)));
    m = vmin(m, vmax(q9, load(row + 3 * kStride + x)));
    return vmin(m, vmax(q8, load(row + 4 * kStride + x)));
}

void median5_strip(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h, int32_t x0) {
    const auto lanes = static_cast<int32_t>(hn::Lanes(D()));
    const int32_t n = std::min(kStrip, w - x0);
    SortedRows<5, 8> rows(src, w, h, x0, n);
    alignas(64) uint16_t pairs[2][10 * kStride];
    uint16_t *upper = pairs[0];  // rows y-1, y
    uint16_t *lower = pairs[1];  // rows y+1, y+2
    {
        const uint16_t *a = rows.get(-1);
        const uint16_t *b = rows.get(0);
        for (int32_t x = 0; x < n; x += lanes) merge5(a, b, upper, x);
    }
    for (int32_t y = 0; y < h; y += 2) {
        const uint16_t *a = rows.get(y + 1);
        const uint16_t *b = rows.get(y + 2);
        for (int32_t x = 0; x < n; x += lanes) merge5(a, b, lower, x);
        const uint16_t *top = rows.get(y - 2);
        const uint16_t *bottom = rows.get(y + 3);
        uint16_t *out = dst + static_cast<size_t>(y) * w + x0;
        const bool second_row = y + 1 < h;
        for (int32_t x = 0; x < n; x += lanes) {
            V q8, q9, q10, q11, q12, q13;
            middle_ranks20(upper, lower, x, q8, q9, q10, q11, q12, q13);
            store_pixels(out + x, median25(q8, q9, q10, q11, q12, q13, top, x), n - x);
            if (second_row) {
                store_pixels(out + w + x, median25(q8, q9, q10, q11, q12, q13, bottom, x), n - x);
            }
        }
        std::swap(upper, lower);
    }
}

}  // namespace

// Each kernel runs strip by strip.
void median3(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) {
    for (int32_t x0 = 0; x0 < w; x0 += kStrip) median3_strip(dst, src, w, h, x0);
}

void median5(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) {
    for (int32_t x0 = 0; x0 < w; x0 += kStrip) median5_strip(dst, src, w, h, x0);
}

}  // namespace lumox::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumox {

HWY_EXPORT(median3);
HWY_EXPORT(median5);

namespace {

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
    HWY_DYNAMIC_DISPATCH(lumox::median3)(dst, src, w, h);
}

LUMOX_API void lx_median2d_u16_k5(uint16_t *dst, const uint16_t *src, int32_t w,
                                  int32_t h) noexcept {
    if (!lumox::filter_size_ok("lx_median2d_u16_k5", w, h)) return;
    HWY_DYNAMIC_DISPATCH(lumox::median5)(dst, src, w, h);
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
#endif  // HWY_ONCE
