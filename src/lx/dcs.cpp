// Batch amplitude and phase of four-DCS pixels: one plain per-pixel implementation and vector
// variants for SSE4.1, AVX2 and AVX-512 chosen at run time.
//
// The vector variants share one kernel (dcs_kernel.inc), compiled once per instruction set. They
// give the per-pixel results exactly: the square root is the correctly rounded one with the rare
// pixels where the fast root truncates differently recomputed alone, and the angle uses the same
// table and the same integer table index.

#include "lx/dcs.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "lumox/image.h"
#include "lx/simd.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define LUMOX_DCS_VECTORS 1
#include <immintrin.h>
#else
#define LUMOX_DCS_VECTORS 0
#endif

namespace lumox::dcs {

namespace {

uint32_t sample(const uint8_t *raw, size_t index) {
    return static_cast<uint32_t>(raw[2 * index] | (raw[2 * index + 1] << 8)) & 0xFFF;
}

#include "lx/atan2_lut.inc"

#if LUMOX_DCS_VECTORS

// The angle table widened to 32-bit entries for the gather instructions.
struct AngleTable {
    alignas(64) int32_t entry[ARCTAN2_LUT_NUM];
    AngleTable() {
        for (int i = 0; i < ARCTAN2_LUT_NUM; ++i) entry[i] = g_atan2_LUT[i];
    }
};

const AngleTable &angle_table() {
    static const AngleTable table;
    return table;
}

#endif

// The amplitude of a pixel whose squared half-length is s.
uint16_t fast_amplitude(int32_t s) {
    return static_cast<uint16_t>(static_cast<int32_t>(lx_math_sqrtf(static_cast<float>(s))));
}

// What the decode writes beside the amplitudes.
enum class Output { kNone, kPhase, kLookup };

}  // namespace

Pixel pixel(const uint8_t *raw, uint32_t n, uint32_t i) {
    const auto d0 = static_cast<int32_t>(sample(raw, i));
    const auto d1 = static_cast<int32_t>(sample(raw, static_cast<size_t>(n) + i));
    const auto d2 = static_cast<int32_t>(sample(raw, 2 * static_cast<size_t>(n) + i));
    const auto d3 = static_cast<int32_t>(sample(raw, 3 * static_cast<size_t>(n) + i));
    const int32_t hi = std::max(std::max(d0, d1), std::max(d2, d3));
    const int32_t lo = std::min(std::min(d0, d1), std::min(d2, d3));
    if (hi >= 4095 || lo == 0) return Pixel{false, 0, kNoPhase};
    const int32_t dx = d2 - d0;
    const int32_t dy = d3 - d1;
    const uint16_t amplitude = fast_amplitude((dx * dx + dy * dy) >> 2);
    const auto phase = static_cast<uint16_t>((lx_math_atan2_i32(dy, dx) + 15000) % 30000);
    return Pixel{true, amplitude, phase};
}

uint16_t phase_of_code(uint32_t code) {
    const uint32_t eighths = code >> 12 & 7;
    const uint32_t index = code & 4095;
    return static_cast<uint16_t>((eighths * 3750 + g_atan2_LUT[index] + 15000) % 30000);
}

namespace {

// Pixel i alone, for the pixels past the last whole vector and the plain path.
template <Output kOutput>
void single(const uint8_t *raw, uint32_t n, uint32_t i, uint16_t *amp, uint16_t *out,
            const Lookup *lookup) {
    const Pixel px = pixel(raw, n, i);
    if constexpr (kOutput == Output::kLookup) {
        *amp = px.valid ? px.amplitude : lookup->invalid;
        *out = px.valid ? lookup->by_phase[px.phase] : lookup->invalid;
    } else {
        *amp = px.amplitude;
        if constexpr (kOutput == Output::kPhase) *out = px.phase;
    }
}

}  // namespace

#if LUMOX_DCS_VECTORS

#pragma GCC push_options
#pragma GCC target("sse4.1")
namespace sse41 {
constexpr int kLanes = 4;
typedef int32_t VI __attribute__((vector_size(kLanes * sizeof(int32_t))));
typedef float VF __attribute__((vector_size(kLanes * sizeof(float))));
typedef uint16_t VU __attribute__((vector_size(kLanes * sizeof(uint16_t))));

LUMOX_INLINE VF square_root(VF v) {
    return reinterpret_cast<VF>(_mm_sqrt_ps(reinterpret_cast<__m128>(v)));
}

LUMOX_INLINE VI angle_entry(VI index) {
    const int32_t *table = angle_table().entry;
    return VI{table[index[0]], table[index[1]], table[index[2]], table[index[3]]};
}

LUMOX_INLINE VI table_entry(const uint16_t *table, VI index) {
    return VI{table[index[0]], table[index[1]], table[index[2]], table[index[3]]};
}

LUMOX_INLINE bool any_lane(VI mask) { return _mm_movemask_ps(reinterpret_cast<__m128>(mask)) != 0; }

#include "lx/dcs_kernel.inc"
}  // namespace sse41
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
constexpr int kLanes = 8;
typedef int32_t VI __attribute__((vector_size(kLanes * sizeof(int32_t))));
typedef float VF __attribute__((vector_size(kLanes * sizeof(float))));
typedef uint16_t VU __attribute__((vector_size(kLanes * sizeof(uint16_t))));

LUMOX_INLINE VF square_root(VF v) {
    return reinterpret_cast<VF>(_mm256_sqrt_ps(reinterpret_cast<__m256>(v)));
}

LUMOX_INLINE VI angle_entry(VI index) {
    return reinterpret_cast<VI>(
        _mm256_i32gather_epi32(angle_table().entry, reinterpret_cast<__m256i>(index), 4));
}

LUMOX_INLINE VI table_entry(const uint16_t *table, VI index) {
    return reinterpret_cast<VI>(_mm256_i32gather_epi32(reinterpret_cast<const int *>(table),
                                                       reinterpret_cast<__m256i>(index), 2));
}

LUMOX_INLINE bool any_lane(VI mask) {
    return _mm256_movemask_ps(reinterpret_cast<__m256>(mask)) != 0;
}

#include "lx/dcs_kernel.inc"
}  // namespace avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl")
namespace avx512 {
constexpr int kLanes = 16;
typedef int32_t VI __attribute__((vector_size(kLanes * sizeof(int32_t))));
typedef float VF __attribute__((vector_size(kLanes * sizeof(float))));
typedef uint16_t VU __attribute__((vector_size(kLanes * sizeof(uint16_t))));

LUMOX_INLINE VF square_root(VF v) {
    const auto m = reinterpret_cast<__m512>(v);
    return reinterpret_cast<VF>(_mm512_mask_sqrt_ps(m, 0xFFFF, m));
}

// The masked gather with every lane selected: the plain one starts from an undefined register,
// which GCC 12 reports as uninitialised.
LUMOX_INLINE VI angle_entry(VI index) {
    return reinterpret_cast<VI>(_mm512_mask_i32gather_epi32(
        _mm512_setzero_si512(), 0xFFFF, reinterpret_cast<__m512i>(index), angle_table().entry, 4));
}

LUMOX_INLINE VI table_entry(const uint16_t *table, VI index) {
    return reinterpret_cast<VI>(_mm512_mask_i32gather_epi32(
        _mm512_setzero_si512(), 0xFFFF, reinterpret_cast<__m512i>(index), table, 2));
}

LUMOX_INLINE bool any_lane(VI mask) {
    return _mm512_movepi32_mask(reinterpret_cast<__m512i>(mask)) != 0;
}

#include "lx/dcs_kernel.inc"
}  // namespace avx512
#pragma GCC pop_options

#endif  // LUMOX_DCS_VECTORS

namespace {

template <Output kOutput>
void decode_any(const uint8_t *raw, uint32_t n, uint32_t first, uint32_t count, uint16_t *amp,
                uint16_t *out, const Lookup *lookup = nullptr) {
#if LUMOX_DCS_VECTORS
    switch (simd::best_isa()) {
        case simd::Isa::kAvx512:
            avx512::decode<kOutput>(raw, n, first, count, amp, out, lookup);
            return;
        case simd::Isa::kAvx2:
            avx2::decode<kOutput>(raw, n, first, count, amp, out, lookup);
            return;
        case simd::Isa::kSse41:
            sse41::decode<kOutput>(raw, n, first, count, amp, out, lookup);
            return;
        case simd::Isa::kScalar:
            break;
    }
#endif
    for (uint32_t i = 0; i < count; ++i) {
        single<kOutput>(raw, n, first + i, amp + i, out ? out + i : nullptr, lookup);
    }
}

}  // namespace

void amplitude_phase(const uint8_t *raw, uint32_t n, uint32_t first, uint32_t count, uint16_t *amp,
                     uint16_t *phase) {
    decode_any<Output::kPhase>(raw, n, first, count, amp, phase);
}

void amplitude(const uint8_t *raw, uint32_t n, uint32_t first, uint32_t count, uint16_t *amp) {
    decode_any<Output::kNone>(raw, n, first, count, amp, nullptr);
}

void amplitude_lookup(const uint8_t *raw, uint32_t n, uint32_t first, uint32_t count,
                      const Lookup &t, uint16_t *amp, uint16_t *out) {
    decode_any<Output::kLookup>(raw, n, first, count, amp, out, &t);
}

}  // namespace lumox::dcs
