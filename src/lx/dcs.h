// Amplitude and phase of four-DCS time-of-flight pixels, many pixels per call.
//
// A raw frame holds four planes of n little-endian 16-bit samples (12 bits used). Per pixel with
// samples d0..d3:
//   valid      max(d) < 4095 and min(d) > 0 (otherwise saturated or empty)
//   amplitude  trunc(lx_math_sqrtf(((d2 - d0)^2 + (d3 - d1)^2) >> 2))
//   phase      (lx_math_atan2_i32(d3 - d1, d2 - d0) + 15000) mod 30000
// The batch calls give exactly these values; pixel() is the plain per-pixel implementation they
// are checked against, and the fallback where no vector unit is available.
#pragma once

#include <cstdint>

namespace lumox::dcs {

// Phase of an invalid pixel in the batch output (phases are below 30000).
constexpr uint16_t kNoPhase = 0xFFFF;

struct Pixel {
    bool valid;
    uint16_t amplitude;  // 0 when not valid
    uint16_t phase;      // kNoPhase when not valid
};

// Pixel i of a frame with n pixels per plane, computed alone.
Pixel pixel(const uint8_t *raw, uint32_t n, uint32_t i);

// Pixels first .. first + count - 1: amp[k] and phase[k] of pixel first + k (amplitude 0 and
// phase kNoPhase where the pixel is not valid).
void amplitude_phase(const uint8_t *raw, uint32_t n, uint32_t first, uint32_t count, uint16_t *amp,
                     uint16_t *phase);

// Amplitudes alone (0 where the pixel is not valid): the gray image.
void amplitude(const uint8_t *raw, uint32_t n, uint32_t first, uint32_t count, uint16_t *amp);

// Angle codes: the vector decode finds a pixel's phase as an eighth of a turn and an index into
// the arctangent table, the code eighth x 4096 + index (below kAngleCodes). A table by code lets
// a decode map the phase on in the same table read.
constexpr uint32_t kAngleCodes = 8 * 4096;

// The phase of an angle code.
uint16_t phase_of_code(uint32_t code);

// What amplitude_lookup maps phases to: by_code holds kAngleCodes + 1 entries (the last one is
// only read, never used, by wide table reads) and by_phase the same values by phase (30000).
struct Lookup {
    const uint16_t *by_code;
    const uint16_t *by_phase;
    uint16_t invalid;  // amplitude and value of a pixel that is not valid
};

// Pixels first .. first + count - 1: amp[k] the amplitude and out[k] = by_phase[phase] of pixel
// first + k, both t.invalid where the pixel is not valid.
void amplitude_lookup(const uint8_t *raw, uint32_t n, uint32_t first, uint32_t count,
                      const Lookup &t, uint16_t *amp, uint16_t *out);

}  // namespace lumox::dcs
