#include "evk/image_processing.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "evk/calculation.h"
#include "evk/bad_pixels.h"
#include "evk/settings.h"
#include "lumox/evk.h"

namespace lumox::evk {
namespace {

constexpr uint16_t kFirstCode = LUMOX_EVK_LOW_AMPLITUDE;
constexpr int kRingPictures = 5;
// A stored previous value above this is no value: the next one replaces it.
constexpr uint16_t kNoPrevious = 0xFFFF;

using Plane = std::array<uint16_t, kArrayPixels>;

Plane g_copy;
Plane g_previous;
int g_previous_pixels = 0;
Plane g_reference;
int g_reference_pixels = 0;
std::array<Plane, kRingPictures> g_ring;
int g_ring_filled = 0;
int g_ring_next = 0;
int g_ring_pixels = 0;

bool is_code(uint16_t v) { return v >= kFirstCode; }

// The neighbour of index in a direction, or -1 outside the image.
int neighbour(int index, Direction direction, int width, int height) {
    static constexpr int kDx[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
    static constexpr int kDy[8] = {0, -1, -1, -1, 0, 1, 1, 1};
    const auto d = static_cast<size_t>(direction);
    const int x = index % width + kDx[d];
    const int y = index / width + kDy[d];
    if (x < 0 || x >= width || y < 0 || y >= height) return -1;
    return y * width + x;
}

void average_neighbours(uint16_t *image, int width, int height, bool eight) {
    const auto pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    std::memcpy(g_copy.data(), image, pixels * sizeof(uint16_t));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const uint16_t own = g_copy[static_cast<size_t>(y * width + x)];
            if (own == LUMOX_EVK_SATURATED || own == LUMOX_EVK_ADC_OVERFLOW) continue;
            int members = 0;
            int valid = 0;
            int64_t sum = 0;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    if (!eight && dx != 0 && dy != 0) continue;
                    const int nx = x + dx;
                    const int ny = y + dy;
                    if (nx < 0 || nx >= width || ny < 0 || ny >= height) continue;
                    ++members;
                    const uint16_t v = g_copy[static_cast<size_t>(ny * width + nx)];
                    if (is_code(v)) continue;
                    sum += v;
                    ++valid;
                }
            }
            const bool enough = eight ? 3 * valid >= 2 * members : 2 * valid > members;
            image[y * width + x] =
                enough ? static_cast<uint16_t>(sum / valid) : LUMOX_EVK_LOW_AMPLITUDE;
        }
    }
}

}  // namespace

uint16_t *average_previous(int pixels) {
    if (pixels != g_previous_pixels) {
        g_previous.fill(kNoPrevious);
        g_previous_pixels = pixels;
    }
    return g_previous.data();
}

void image_history_restart() {
    g_previous_pixels = 0;
    g_ring_filled = 0;
    g_ring_next = 0;
}

}  // namespace lumox::evk

using namespace lumox::evk;

extern "C" {

LUMOX_API int imageCorrect(uint16_t **image) noexcept {
    if (!image || !*image) return -1;
    if (!bad_pixels_enabled()) return 0;
    const int width = calcImageWidth();
    const int height = calcImageHeight();
    const int pixels = calc_pixels();
    if (pixels == 0) return 0;
    uint16_t *img = *image;
    for (const CorrectedPixel &p : bad_pixel_corrections()) {
        if (static_cast<unsigned>(p.direction) > static_cast<unsigned>(Direction::SW)) {
            std::printf("unknown neighbour, check image_correction.txt\n");
            continue;
        }
        if (p.index < 0 || p.index >= pixels) continue;
        const int from = neighbour(p.index, p.direction, width, height);
        if (from >= 0) img[p.index] = img[from];
    }
    return 0;
}

LUMOX_API int imageProcess(uint16_t **image) noexcept {
    if (!image || !*image) return -1;
    const int mode = pixel_settings().neighbour_processing;
    if ((mode != 1 && mode != 2) || calc_pixels() == 0) return 0;
    average_neighbours(*image, calcImageWidth(), calcImageHeight(), mode == 2);
    return 0;
}

LUMOX_API int imageAverage(uint16_t **image) noexcept {
    if (!image || !*image) return -1;
    const int n = pixel_settings().averaged_pictures;
    const int pixels = calc_pixels();
    if (n < 2 || pixels == 0) return 0;
    // A new geometry starts the average afresh.
    average_previous(pixels);
    uint16_t *img = *image;
    // The integer quotient as a truncated double one: the sum stays below 2^48, where the
    // correctly rounded quotient never crosses an integer the exact one does not reach.
    const double divisor = n;
    for (int i = 0; i < pixels; ++i) {
        uint16_t &previous = g_previous[static_cast<size_t>(i)];
        uint16_t v = img[i];
        if (previous < kFirstCode && v < kFirstCode) {
            const auto sum = static_cast<double>(v + static_cast<int64_t>(n - 1) * previous);
            v = static_cast<uint16_t>(static_cast<int64_t>(sum / divisor));
        }
        img[i] = v;
        previous = v;
    }
    return 0;
}

LUMOX_API int imageAveragePicture(uint16_t **image) noexcept {
    if (!image || !*image) return -1;
    const int pixels = calc_pixels();
    if (pixels == 0) return 0;
    if (pixels != g_ring_pixels) {
        g_ring_filled = 0;
        g_ring_next = 0;
        g_ring_pixels = pixels;
    }
    uint16_t *img = *image;
    print_message("imageAveragePicture\n");
    print_message("current Picture = %i\n", g_ring_next);
    std::memcpy(g_ring[static_cast<size_t>(g_ring_next)].data(), img,
                static_cast<size_t>(pixels) * sizeof(uint16_t));
    g_ring_next = (g_ring_next + 1) % kRingPictures;
    g_ring_filled = std::min(g_ring_filled + 1, kRingPictures);
    if (g_ring_filled < kRingPictures) return 0;
    // The mean of the pictures where the pixel carries a value; a pixel without any keeps the
    // latest picture's code.
    for (int i = 0; i < pixels; ++i) {
        int64_t sum = 0;
        int valid = 0;
        for (const Plane &picture : g_ring) {
            const uint16_t v = picture[static_cast<size_t>(i)];
            if (is_code(v)) continue;
            sum += v;
            ++valid;
        }
        if (valid > 0) img[i] = static_cast<uint16_t>(sum / valid);
    }
    return 0;
}

LUMOX_API int imageDifference(uint16_t **image) noexcept {
    if (!image || !*image) return -1;
    auto &s = pixel_settings();
    const int threshold = s.difference_threshold;
    const int pixels = calc_pixels();
    if (threshold <= 0 || pixels == 0) return 0;
    uint16_t *img = *image;
    if (!s.difference_reference_taken || pixels != g_reference_pixels) {
        std::memcpy(g_reference.data(), img, static_cast<size_t>(pixels) * sizeof(uint16_t));
        g_reference_pixels = pixels;
        s.difference_reference_taken = true;
        return 0;
    }
    for (int i = 0; i < pixels; ++i) {
        if (std::abs(img[i] - g_reference[static_cast<size_t>(i)]) < threshold) {
            img[i] = LUMOX_EVK_LOW_AMPLITUDE;
        }
    }
    return 0;
}

}  // extern "C"
