// Median filters on 16-bit images.
//
// The 3 x 3 and 5 x 5 medians are branch-free min/max networks run on 16 pixels at a time (in
// the wide or the baseline instruction set, see simd.h), or 32 with AVX-512 (median_kernel.inc,
// compiled per width). The
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

constexpr int32_t kStrip = 160;  // columns per strip, a multiple of every vector width

// 16 lanes for the baseline and the wide (AVX2) instruction set.
namespace lanes16 {
constexpr int kLanes = simd::kLanes;
using V = simd::I16;
#include "lx/median_kernel.inc"
}  // namespace lanes16

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define LUMOX_MEDIAN_AVX512 1
// 32 lanes in 512-bit registers.
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl")
namespace lanes32 {
constexpr int kLanes = 32;
typedef int16_t V __attribute__((vector_size(kLanes * sizeof(int16_t))));
#include "lx/median_kernel.inc"

template <bool Five>
void median_avx512(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) {
    median_strips<Five>(dst, src, w, h);
}
}  // namespace lanes32
#pragma GCC pop_options
#endif

template <bool Five>
LUMOX_TARGET_WIDE void median_wide(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) {
    lanes16::median_strips<Five>(dst, src, w, h);
}

template <bool Five>
void median_base(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) {
    lanes16::median_strips<Five>(dst, src, w, h);
}

template <bool Five>
void median_fixed(uint16_t *dst, const uint16_t *src, int32_t w, int32_t h) {
#ifdef LUMOX_MEDIAN_AVX512
    if (simd::best_isa() == simd::Isa::kAvx512) {
        lanes32::median_avx512<Five>(dst, src, w, h);
        return;
    }
#endif
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
