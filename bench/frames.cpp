#include "frames.h"

#include <cmath>
#include <random>
#include <span>

#include "lx/dcs.h"
#include "vcam/depth_sensor.h"

namespace lumox::bench {

std::vector<uint8_t> wall_frame() {
    std::vector<uint8_t> raw(8 * static_cast<size_t>(kPixels));
    vcam::DepthSensor().render(1500.0, std::span<uint8_t>(raw));
    // The rendered wall has one amplitude everywhere; light falls off towards the corners of a
    // real scene, and its samples are noisy.
    std::mt19937 rng(5);
    for (uint32_t i = 0; i < kPixels; ++i) {
        const uint32_t r = i / kWidth;
        const uint32_t x = i % kWidth;
        const double gain = 1.4 - std::hypot(x - 160.0, r - 120.0) / 160.0;
        for (uint32_t k = 0; k < 4; ++k) {
            uint8_t *p = &raw[2 * (static_cast<size_t>(k) * kPixels + i)];
            const int32_t v = p[0] | (p[1] << 8);
            int32_t out = 2048 + static_cast<int32_t>((v - 2048) * gain) +
                          static_cast<int32_t>(rng() % 9) - 4;
            if (r < 6 && x > 200) out = 4095;          // saturated band
            if (r > 230 && x < 12 && k == 1) out = 0;  // dark corner
            p[0] = static_cast<uint8_t>(out);
            p[1] = static_cast<uint8_t>(out >> 8);
        }
    }
    return raw;
}

std::vector<uint16_t> depth_image() {
    const std::vector<uint8_t> raw = wall_frame();
    std::vector<uint16_t> amp(kPixels), phase(kPixels), depth(kPixels);
    dcs::amplitude_phase(raw.data(), kPixels, 0, kPixels, amp.data(), phase.data());
    std::mt19937 rng(7);
    for (uint32_t i = 0; i < kPixels; ++i) {
        const uint32_t r = rng();
        uint16_t v = phase[i] == dcs::kNoPhase ? 65500 : static_cast<uint16_t>(phase[i] / 2);
        v = static_cast<uint16_t>(v + r % 64);
        if (r % 97 == 0) v = 65300;
        if (r % 211 == 0) v = 65500;
        depth[i] = v;
    }
    return depth;
}

}  // namespace lumox::bench
