// The per-pixel DRNU distance formula, many pixels per call.
//
// Pixel i with angle p (0..29999) and table row L[0..K-1] (K entries of bank 1, pixel i's angles
// at the calibration distances 295 + k x step mm):
//   J = trunc(float(p - Tp))
//   if L[K-1] > L[0]: k = ((J - L[0]) x (K - 1)) / (L[K-1] - L[0]), s = k clamped to 0..K-2,
//     J = trunc(trunc((J - L[s]) x stepP / (L[s+1] - L[s]) + float(s x stepP)) + offset)
//   distance = (J x range) / 30000 in unsigned 32-bit arithmetic, less range once above range.
// distance() is the plain per-pixel implementation, the reference of the batch call and the
// fallback where no vector unit is available.
#pragma once

#include <cstdint>

namespace lumox::drivers::drnu {

// Everything the formula needs, fixed for one frame.
struct Params {
    const uint16_t *table = nullptr;  // K entries per pixel, pixels in read-out order
    int32_t k = 0;                    // table entries per pixel; below 2 the table is not used
    float step_ph = 0;                // calibration step in angle units
    float temp_ph = 0;                // temperature drift in angle units
    int32_t offset_ph = 0;            // the 295 mm of the first calibration distance
    int32_t range_mm = 0;             // unambiguous range, above 0
};

// Invalid pixels (phase kNoPhase of the batch decode) get this distance.
constexpr uint16_t kInvalidDistance = 65500;

// The distance of pixel `pixel` (read-out index) with angle `phase`.
uint16_t distance(const Params &p, uint16_t phase, uint32_t pixel);

// dist[k] = distance(p, phase[k], first + k) for k < count.
void distances(const Params &p, const uint16_t *phase, uint32_t first, uint32_t count,
               uint16_t *dist);

}  // namespace lumox::drivers::drnu
