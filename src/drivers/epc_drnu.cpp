// The DRNU distance formula: the plain per-pixel routine and vector variants for SSE4.1, AVX2
// and AVX-512 chosen at run time (one kernel, epc_drnu_kernel.inc, compiled per instruction set).
//
// The vector variants keep every rounding of the plain routine. The integer quotients become
// double quotients truncated toward zero: for integers a and b > 0 with |a| < 2^53 the correctly
// rounded a / b lies on the same side of every integer as the exact quotient (an integer quotient
// is exact; otherwise the quotient is at least 1 / b away from the nearest integer, more than its
// rounding error |a / b| x 2^-53), so the truncations agree. The table reads are gathers of two
// neighbouring entries at once.

#include "drivers/epc_drnu.h"

#include <cmath>
#include <cstring>

#include "lx/dcs.h"
#include "lx/simd.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define LUMOX_DRNU_VECTORS 1
#include <immintrin.h>
#else
#define LUMOX_DRNU_VECTORS 0
#endif

namespace lumox::drivers::drnu {
namespace {

constexpr uint32_t kPhaseUnits = 30000;

// Truncation toward zero; values outside the 32-bit range (and NaN) give INT32_MIN, the
// "integer indefinite" of the hardware conversion.
inline int32_t trunc_i32(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// Whether a frame's arithmetic can run in single precision where the plain routine uses double
// precision, with the same results, for rows of up to kMaxNarrowEntries entries: the temperature
// drift Tp is 0 or of a magnitude in 2^-13 .. 2^18. Then p - Tp is exact in double precision for
// every 16-bit p (its bits span fewer than 53 places), so its rounding to single precision is one
// single-precision subtraction; and |J| <= 65535 + 2^18 + 1, so the segment numerator
// (J - L[0]) x (K-1) stays below 2^24, where a truncated single-precision quotient equals the
// integer one (the argument above, with 2^24 for 2^53). The segment base float(s x step) is one
// single-precision product whatever the drift and row length: s is below 2^22 (the size of a
// bank), so s x step has at most 46 significant bits, the double product is exact and it rounds
// as the single-precision one does.
constexpr int32_t kMaxNarrowEntries = 32;

inline bool narrow_drift(float temp_ph) {
    const float drift = std::fabs(temp_ph);
    return temp_ph == 0 || (drift >= 0x1p-13f && drift <= 0x1p18f);
}

}  // namespace

uint16_t distance(const Params &p, uint16_t phase, uint32_t pixel) {
    if (phase == lumox::dcs::kNoPhase) return kInvalidDistance;
    int32_t j = trunc_i32(static_cast<float>(phase - static_cast<double>(p.temp_ph)));
    if (p.k >= 2) {
        const uint16_t *row = p.table + static_cast<size_t>(pixel) * p.k;
        const int32_t first = row[0];
        const int32_t last = row[p.k - 1];
        if (last > first) {
            const int64_t q = (static_cast<int64_t>(j) - first) * (p.k - 1) / (last - first);
            const int32_t s = q < 0 ? 0 : (q >= p.k - 1 ? p.k - 2 : static_cast<int32_t>(q));
            const double seg = (static_cast<double>(j) - row[s]) * p.step_ph /
                               static_cast<double>(row[s + 1] - row[s]);
            const float base = static_cast<float>(s * static_cast<double>(p.step_ph));
            const int64_t sum = static_cast<int64_t>(trunc_i32(seg + base)) + p.offset_ph;
            j = static_cast<int32_t>(static_cast<uint32_t>(sum));
        }
    }
    const auto range = static_cast<uint32_t>(p.range_mm);
    uint32_t mm = static_cast<uint32_t>(j) * range / kPhaseUnits;
    if (mm > range) mm -= range;
    return static_cast<uint16_t>(mm);
}

#if LUMOX_DRNU_VECTORS

#pragma GCC push_options
#pragma GCC target("sse4.1")
namespace sse41 {
constexpr int kLanes = 4;
typedef int32_t VI __attribute__((vector_size(kLanes * sizeof(int32_t))));
typedef uint32_t VU32 __attribute__((vector_size(kLanes * sizeof(uint32_t))));
typedef double VD __attribute__((vector_size(kLanes * sizeof(double))));
typedef float VF __attribute__((vector_size(kLanes * sizeof(float))));
typedef uint16_t VU __attribute__((vector_size(kLanes * sizeof(uint16_t))));

// Entries index and index + 1 of the table in the low and high half of each lane.
LUMOX_INLINE VI gather_pair(const uint16_t *table, VI index) {
    VI out;
    for (int k = 0; k < kLanes; ++k) {
        uint32_t v;
        std::memcpy(&v, table + index[k], sizeof v);
        out[k] = static_cast<int32_t>(v);
    }
    return out;
}

// trunc_i32 per lane: the conversion gives INT32_MIN outside the 32-bit range and for NaN.
LUMOX_INLINE VI truncate(VD v) {
    __m128d half[2];
    std::memcpy(half, &v, sizeof v);
    return reinterpret_cast<VI>(
        _mm_unpacklo_epi64(_mm_cvttpd_epi32(half[0]), _mm_cvttpd_epi32(half[1])));
}

// u / 30000 = (u x 2345624806) >> 46 for every 32-bit u (see the kernel).
LUMOX_INLINE VU32 quotient_30000(VU32 u) {
    const __m128i m = _mm_set1_epi64x(2345624806u);
    const __m128i v = reinterpret_cast<__m128i>(u);
    const __m128i even = _mm_srli_epi64(_mm_mul_epu32(v, m), 46);
    const __m128i odd = _mm_srli_epi64(_mm_mul_epu32(_mm_srli_epi64(v, 32), m), 46);
    return reinterpret_cast<VU32>(_mm_or_si128(even, _mm_slli_epi64(odd, 32)));
}

#include "drivers/epc_drnu_kernel.inc"
}  // namespace sse41
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
constexpr int kLanes = 8;
typedef int32_t VI __attribute__((vector_size(kLanes * sizeof(int32_t))));
typedef uint32_t VU32 __attribute__((vector_size(kLanes * sizeof(uint32_t))));
typedef double VD __attribute__((vector_size(kLanes * sizeof(double))));
typedef float VF __attribute__((vector_size(kLanes * sizeof(float))));
typedef uint16_t VU __attribute__((vector_size(kLanes * sizeof(uint16_t))));

LUMOX_INLINE VI gather_pair(const uint16_t *table, VI index) {
    return reinterpret_cast<VI>(_mm256_i32gather_epi32(reinterpret_cast<const int *>(table),
                                                       reinterpret_cast<__m256i>(index), 2));
}

// trunc_i32 per lane: the conversion gives INT32_MIN outside the 32-bit range and for NaN.
LUMOX_INLINE VI truncate(VD v) {
    __m256d half[2];
    std::memcpy(half, &v, sizeof v);
    return reinterpret_cast<VI>(
        _mm256_set_m128i(_mm256_cvttpd_epi32(half[1]), _mm256_cvttpd_epi32(half[0])));
}

// u / 30000 = (u x 2345624806) >> 46 for every 32-bit u (see the kernel).
LUMOX_INLINE VU32 quotient_30000(VU32 u) {
    const __m256i m = _mm256_set1_epi64x(2345624806u);
    const __m256i v = reinterpret_cast<__m256i>(u);
    const __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(v, m), 46);
    const __m256i odd = _mm256_srli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(v, 32), m), 46);
    return reinterpret_cast<VU32>(_mm256_or_si256(even, _mm256_slli_epi64(odd, 32)));
}

#include "drivers/epc_drnu_kernel.inc"
}  // namespace avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl")
namespace avx512 {
constexpr int kLanes = 8;
typedef int32_t VI __attribute__((vector_size(kLanes * sizeof(int32_t))));
typedef uint32_t VU32 __attribute__((vector_size(kLanes * sizeof(uint32_t))));
typedef double VD __attribute__((vector_size(kLanes * sizeof(double))));
typedef float VF __attribute__((vector_size(kLanes * sizeof(float))));
typedef uint16_t VU __attribute__((vector_size(kLanes * sizeof(uint16_t))));

// The masked gather with every lane selected: the plain one starts from an undefined register,
// which GCC 12 reports as uninitialised.
LUMOX_INLINE VI gather_pair(const uint16_t *table, VI index) {
    return reinterpret_cast<VI>(_mm256_mmask_i32gather_epi32(
        _mm256_setzero_si256(), 0xFF, reinterpret_cast<__m256i>(index), table, 2));
}

// trunc_i32 per lane: the conversion gives INT32_MIN outside the 32-bit range and for NaN.
LUMOX_INLINE VI truncate(VD v) {
    return reinterpret_cast<VI>(
        _mm512_mask_cvttpd_epi32(_mm256_setzero_si256(), 0xFF, reinterpret_cast<__m512d>(v)));
}

// u / 30000 = (u x 2345624806) >> 46 for every 32-bit u (see the kernel).
LUMOX_INLINE VU32 quotient_30000(VU32 u) {
    const __m256i m = _mm256_set1_epi64x(2345624806u);
    const __m256i v = reinterpret_cast<__m256i>(u);
    const __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(v, m), 46);
    const __m256i odd = _mm256_srli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(v, 32), m), 46);
    return reinterpret_cast<VU32>(_mm256_or_si256(even, _mm256_slli_epi64(odd, 32)));
}

// Rows of more than kMaxWindowEntries entries.
namespace gathers {
#include "drivers/epc_drnu_kernel.inc"
}  // namespace gathers

// Rows of up to 32 entries are read without gathers: the two rows of a pixel pair lie in one
// window of 64 words (two masked loads that read nothing past the pair), and one word permute of
// the window picks the pair's entries. Sixteen pixels per step: eight windows, whose permutes
// land in four-word slots of one vector, two words per pixel as gather_pair gives them.
constexpr int32_t kMaxWindowEntries = 32;
constexpr uint32_t kStep = 16;
constexpr uint32_t kAheadBytes = 8192;

// GCC 12's unmasked AVX-512 intrinsics merge into an undefined register, which it then reports
// as maybe used uninitialised.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// Word w of the result is word idx[w] of the 64-word window (a[m], b[m]) of the pair m whose slot
// holds w: a zeroing permute per window, the eight joined by three-way ORs.
LUMOX_INLINE __m512i pick(const __m512i *a, __m512i idx, const __m512i *b) {
    __m512i slot[kStep / 2];
    for (int m = 0; m < static_cast<int>(kStep / 2); ++m) {
        slot[m] = _mm512_maskz_permutex2var_epi16(__mmask32{0xFu} << (4 * m), a[m], idx, b[m]);
    }
    constexpr int kOr3 = 0xFE;  // a | b | c
    const __m512i first = _mm512_ternarylogic_epi32(slot[0], slot[1], slot[2], kOr3);
    const __m512i second = _mm512_ternarylogic_epi32(slot[3], slot[4], slot[5], kOr3);
    return _mm512_ternarylogic_epi32(first, second, _mm512_or_si512(slot[6], slot[7]), kOr3);
}

LUMOX_INLINE __m512d low_pd(__m512i v) { return _mm512_cvtepi32_pd(_mm512_castsi512_si256(v)); }
LUMOX_INLINE __m512d high_pd(__m512i v) {
    return _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(v, 1));
}
LUMOX_INLINE __m512d low_pd(__m512 v) { return _mm512_cvtps_pd(_mm512_castps512_ps256(v)); }
LUMOX_INLINE __m512d high_pd(__m512 v) {
    return _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1)));
}
LUMOX_INLINE __m512 join_ps(__m256 low, __m256 high) {
    return _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(low)),
                                               _mm256_castps_pd(high), 1));
}

// trunc_i32 of both halves: the conversion gives INT32_MIN outside the 32-bit range and for NaN.
LUMOX_INLINE __m512i truncate16(__m512d low, __m512d high) {
    return _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvttpd_epi32(low)),
                              _mm512_cvttpd_epi32(high), 1);
}

// kNarrow: see narrow_drift.
template <bool kNarrow>
void window_distances(const Params &p, const uint16_t *phase, uint32_t first, uint32_t count,
                      uint16_t *dist) {
    const int32_t k = p.k;
    const bool use_table = k >= 2;
    const __m512d temp = _mm512_set1_pd(p.temp_ph);
    const __m512 temp_f = _mm512_set1_ps(p.temp_ph);
    const __m512d step = _mm512_set1_pd(p.step_ph);
    const __m512 step_f = _mm512_set1_ps(p.step_ph);
    const __m512 segments_f = _mm512_set1_ps(static_cast<float>(k - 1));
    const __m512 last_segment_f = _mm512_set1_ps(static_cast<float>(k - 2));
    const __m512d segments = _mm512_set1_pd(k - 1.0);
    const __m512d last_segment = _mm512_set1_pd(k - 2.0);
    const __m512i range = _mm512_set1_epi32(p.range_mm);
    const __m512i offset = _mm512_set1_epi32(p.offset_ph);
    const __m512i no_phase = _mm512_set1_epi32(lumox::dcs::kNoPhase);
    const __m512i invalid = _mm512_set1_epi32(kInvalidDistance);
    const __m512i low16 = _mm512_set1_epi32(0xFFFF);
    const __m512i one = _mm512_set1_epi32(1);
    // u / 30000 = (u x 2345624806) >> 46 for every 32-bit u (see the batch kernel).
    const __m512i reciprocal = _mm512_set1_epi64(2345624806u);
    // The words of a pair's two rows, and the window words of its slot: pixel e of the pair has
    // its row at word e x K; entries 0 and K-1 for the row ends, entries s and s+1 (s added per
    // pixel) for the segment.
    const uint32_t words = use_table ? 2 * static_cast<uint32_t>(k) : 0;
    const __mmask32 low_words = words >= 32 ? ~__mmask32{0} : (__mmask32{1} << words) - 1;
    const __mmask32 high_words = words <= 32   ? 0
                                 : words >= 64 ? ~__mmask32{0}
                                               : (__mmask32{1} << (words - 32)) - 1;
    alignas(64) int16_t ends_at[32];
    alignas(64) int16_t segment_at[32];
    for (int w = 0; w < 32; ++w) {
        const int e = (w / 2) % 2;
        const int h = w % 2;
        ends_at[w] = static_cast<int16_t>(e * k + h * (k - 1));
        segment_at[w] = static_cast<int16_t>(e * k + h);
    }
    const __m512i ends_index = _mm512_load_si512(ends_at);
    const __m512i segment_index = _mm512_load_si512(segment_at);

    uint32_t i = 0;
    for (; i + kStep <= count; i += kStep) {
        const __m512i ph =
            _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(phase + i)));
        const __mmask16 valid = _mm512_cmpneq_epi32_mask(ph, no_phase);
        // J = trunc(float(p - Tp)).
        __m512i j;
        if (kNarrow) {
            j = _mm512_cvttps_epi32(_mm512_sub_ps(_mm512_cvtepi32_ps(ph), temp_f));
        } else {
            j = _mm512_cvttps_epi32(join_ps(_mm512_cvtpd_ps(_mm512_sub_pd(low_pd(ph), temp)),
                                            _mm512_cvtpd_ps(_mm512_sub_pd(high_pd(ph), temp))));
        }
        if (use_table) {
            const uint16_t *rows = p.table + static_cast<size_t>(first + i) * k;
            __m512i a[kStep / 2];
            __m512i b[kStep / 2];
            for (int m = 0; m < static_cast<int>(kStep / 2); ++m) {
                const uint16_t *window = rows + static_cast<size_t>(2 * m) * k;
                // The table streams from memory: ask for the windows a few steps ahead, the two
                // lines from where each begins (a window has at most 128 bytes; a third line it
                // reaches into is the first of the next window).
                const char *ahead = reinterpret_cast<const char *>(window) + kAheadBytes;
                _mm_prefetch(ahead, _MM_HINT_T0);
                _mm_prefetch(ahead + 64, _MM_HINT_T0);
                a[m] = _mm512_maskz_loadu_epi16(low_words, window);
                b[m] = _mm512_maskz_loadu_epi16(high_words, window + 32);
            }
            const __m512i ends = pick(a, ends_index, b);
            const __m512i l0 = _mm512_and_si512(ends, low16);
            const __m512i lk = _mm512_srli_epi32(ends, 16);
            const __mmask16 rising = _mm512_cmpgt_epi32_mask(lk, l0);
            if (rising & valid) {
                // Segment: the truncated quotient clamped to 0..K-2 (q < 0 exactly when the
                // quotient is at most -1, q >= K-1 exactly when it is at least K-1).
                const __m512i span = _mm512_mask_sub_epi32(one, rising, lk, l0);
                __m512i s;
                if (kNarrow) {
                    const __m512 q = _mm512_div_ps(
                        _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_sub_epi32(j, l0)), segments_f),
                        _mm512_cvtepi32_ps(span));
                    s = _mm512_cvttps_epi32(
                        _mm512_min_ps(_mm512_max_ps(q, _mm512_setzero_ps()), last_segment_f));
                } else {
                    const __m512d q_low =
                        _mm512_div_pd(_mm512_mul_pd(_mm512_sub_pd(low_pd(j), low_pd(l0)), segments),
                                      low_pd(span));
                    const __m512d q_high = _mm512_div_pd(
                        _mm512_mul_pd(_mm512_sub_pd(high_pd(j), high_pd(l0)), segments),
                        high_pd(span));
                    const __m512d zero = _mm512_setzero_pd();
                    s = truncate16(_mm512_min_pd(_mm512_max_pd(q_low, zero), last_segment),
                                   _mm512_min_pd(_mm512_max_pd(q_high, zero), last_segment));
                }
                const __m512i index =
                    _mm512_add_epi16(segment_index, _mm512_or_si512(s, _mm512_slli_epi32(s, 16)));
                const __m512i pair = pick(a, index, b);
                const __m512i ls = _mm512_and_si512(pair, low16);
                const __m512i width = _mm512_sub_epi32(_mm512_srli_epi32(pair, 16), ls);
                // J - L[s] (exact in double precision) in 32 bits where it stays within them.
                __m512d from_low;
                __m512d from_high;
                if (kNarrow) {
                    const __m512i from = _mm512_sub_epi32(j, ls);
                    from_low = low_pd(from);
                    from_high = high_pd(from);
                } else {
                    from_low = _mm512_sub_pd(low_pd(j), low_pd(ls));
                    from_high = _mm512_sub_pd(high_pd(j), high_pd(ls));
                }
                const __m512d part_low =
                    _mm512_div_pd(_mm512_mul_pd(from_low, step), low_pd(width));
                const __m512d part_high =
                    _mm512_div_pd(_mm512_mul_pd(from_high, step), high_pd(width));
                const __m512 base = _mm512_mul_ps(_mm512_cvtepi32_ps(s), step_f);
                const __m512i moved =
                    _mm512_add_epi32(truncate16(_mm512_add_pd(part_low, low_pd(base)),
                                                _mm512_add_pd(part_high, high_pd(base))),
                                     offset);
                j = _mm512_mask_mov_epi32(j, rising, moved);
            }
        }
        // (J x range) / 30000 in unsigned 32 bits: the product wraps, the quotient is exact.
        const __m512i product = _mm512_mullo_epi32(j, range);
        const __m512i even = _mm512_srli_epi64(_mm512_mul_epu32(product, reciprocal), 46);
        const __m512i odd =
            _mm512_srli_epi64(_mm512_mul_epu32(_mm512_srli_epi64(product, 32), reciprocal), 46);
        __m512i mm = _mm512_or_si512(even, _mm512_slli_epi64(odd, 32));
        mm = _mm512_mask_sub_epi32(mm, _mm512_cmpgt_epi32_mask(mm, range), mm, range);
        const __m512i out = _mm512_mask_mov_epi32(invalid, valid, mm);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dist + i), _mm512_cvtepi32_epi16(out));
    }
    for (; i < count; ++i) dist[i] = distance(p, phase[i], first + i);
}

void distances(const Params &p, const uint16_t *phase, uint32_t first, uint32_t count,
               uint16_t *dist) {
    if (p.k > kMaxWindowEntries) {
        gathers::distances(p, phase, first, count, dist);
        return;
    }
    if (narrow_drift(p.temp_ph)) {
        window_distances<true>(p, phase, first, count, dist);
    } else {
        window_distances<false>(p, phase, first, count, dist);
    }
}
#pragma GCC diagnostic pop
}  // namespace avx512
#pragma GCC pop_options

#endif  // LUMOX_DRNU_VECTORS

void distances(const Params &p, const uint16_t *phase, uint32_t first, uint32_t count,
               uint16_t *dist) {
#if LUMOX_DRNU_VECTORS
    switch (simd::best_isa()) {
        case simd::Isa::kAvx512:
            avx512::distances(p, phase, first, count, dist);
            return;
        case simd::Isa::kAvx2:
            avx2::distances(p, phase, first, count, dist);
            return;
        case simd::Isa::kSse41:
            sse41::distances(p, phase, first, count, dist);
            return;
        case simd::Isa::kScalar:
            break;
    }
#endif
    for (uint32_t i = 0; i < count; ++i) dist[i] = distance(p, phase[i], first + i);
}

}  // namespace lumox::drivers::drnu
