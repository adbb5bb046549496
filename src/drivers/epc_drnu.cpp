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
typedef int64_t VL __attribute__((vector_size(kLanes * sizeof(int64_t))));
typedef uint64_t VUL __attribute__((vector_size(kLanes * sizeof(uint64_t))));
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

#include "drivers/epc_drnu_kernel.inc"
}  // namespace sse41
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
constexpr int kLanes = 4;
typedef int32_t VI __attribute__((vector_size(kLanes * sizeof(int32_t))));
typedef uint32_t VU32 __attribute__((vector_size(kLanes * sizeof(uint32_t))));
typedef int64_t VL __attribute__((vector_size(kLanes * sizeof(int64_t))));
typedef uint64_t VUL __attribute__((vector_size(kLanes * sizeof(uint64_t))));
typedef double VD __attribute__((vector_size(kLanes * sizeof(double))));
typedef float VF __attribute__((vector_size(kLanes * sizeof(float))));
typedef uint16_t VU __attribute__((vector_size(kLanes * sizeof(uint16_t))));

LUMOX_INLINE VI gather_pair(const uint16_t *table, VI index) {
    return reinterpret_cast<VI>(_mm_i32gather_epi32(reinterpret_cast<const int *>(table),
                                                    reinterpret_cast<__m128i>(index), 2));
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
typedef int64_t VL __attribute__((vector_size(kLanes * sizeof(int64_t))));
typedef uint64_t VUL __attribute__((vector_size(kLanes * sizeof(uint64_t))));
typedef double VD __attribute__((vector_size(kLanes * sizeof(double))));
typedef float VF __attribute__((vector_size(kLanes * sizeof(float))));
typedef uint16_t VU __attribute__((vector_size(kLanes * sizeof(uint16_t))));

// The masked gather with every lane selected: the plain one starts from an undefined register,
// which GCC 12 reports as uninitialised.
LUMOX_INLINE VI gather_pair(const uint16_t *table, VI index) {
    return reinterpret_cast<VI>(_mm256_mmask_i32gather_epi32(
        _mm256_setzero_si256(), 0xFF, reinterpret_cast<__m256i>(index), table, 2));
}

#include "drivers/epc_drnu_kernel.inc"
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
