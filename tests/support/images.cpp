#include "support/images.h"

#include <random>

namespace lumox::test {

Image16 random_depth_image(int32_t w, int32_t h, uint32_t seed, uint32_t spread) {
    static constexpr uint16_t kSpecial[] = {0, 65300, 65400, 65500, 65535, 1, 32767, 32768};
    std::mt19937 rng(seed);
    Image16 img(static_cast<size_t>(w) * h);
    const uint32_t base = spread >= 65536 ? 0 : 1000;
    for (auto &v : img) {
        const uint32_t r = rng();
        if (r % 16 == 0)
            v = kSpecial[(r >> 4) % 8];
        else
            v = static_cast<uint16_t>(base + (r >> 8) % spread);
    }
    return img;
}

}  // namespace lumox::test
