#include "frames.h"

#include <algorithm>
#include <random>
#include <span>

#include "lx/dcs.h"
#include "vcam/depth_sensor.h"

namespace lumox::bench {

std::vector<uint8_t> scene_frame() {
    std::vector<uint8_t> raw(8 * static_cast<size_t>(kPixels));
    vcam::Exposure exposure;
    exposure.temp_sensor = 352;
    exposure.temp_board = 301;
    vcam::SensorModel(vcam::Scene::box(1500.0)).render(exposure, std::span<uint8_t>(raw));
    // Sample noise of a real sensor, so that neighbouring pixels differ.
    std::mt19937 rng(5);
    for (size_t i = 0; i < 4 * static_cast<size_t>(kPixels); ++i) {
        const int32_t v = raw[2 * i] | (raw[2 * i + 1] << 8);
        if (v == 0 || v >= 4095) continue;
        const int32_t out = std::clamp(v + static_cast<int32_t>(rng() % 9) - 4, 1, 4094);
        raw[2 * i] = static_cast<uint8_t>(out);
        raw[2 * i + 1] = static_cast<uint8_t>(out >> 8);
    }
    return raw;
}

std::vector<uint16_t> depth_image() {
    const std::vector<uint8_t> raw = scene_frame();
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
