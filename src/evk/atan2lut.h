// Table-driven arctangent of the evaluation-kit pipeline: a phase in 0..29999 (30000 units per
// turn) from the two DCS differences, declared in lumox/evk.h.
#pragma once

#include <cstdint>

#include "lumox/evk.h"

namespace lumox::evk {

// The 4096 entries of the table atan2_lut reads (built on first use): entry i is the angle of
// (4095, i) in 30000 units per turn, rounded.
const int *atan2_table();

// atan2_lut(y, x) with the table already at hand, for loops that look it up per pixel.
inline int atan2_with(const int *table, int y, int x) {
    if (y == 0) return x < 0 ? 15000 : 0;
    int64_t yy = y;
    int64_t xx = x;
    int base = 0;
    if (yy < 0) {
        yy = -yy;
        xx = -xx;
        base = 15000;
        if (xx <= 0) {
            base = 22500;
            const int64_t t = yy;
            yy = -xx;
            xx = t;
        }
    } else if (xx < 1) {
        base = 7500;
        const int64_t t = yy;
        yy = -xx;
        xx = t;
    }
    if (yy >= xx) {
        base += 3750;
        const int64_t t = yy;
        yy = t - xx;
        xx = t + xx;
    }
    return base + table[yy * 4096 / xx];
}

}  // namespace lumox::evk
