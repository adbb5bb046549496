#include "evk/bad_pixels.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/fs.h"

namespace lumox::evk {
namespace {

constexpr int kLastRow = 251;

std::vector<BadPixel> g_list;
std::vector<CorrectedPixel> g_working;
bool g_enabled = false;

// Three decimal digits at text[0..2].
bool parse_coordinate(const char *text, int *value) {
    for (int i = 0; i < 3; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    *value = (text[0] - '0') * 100 + (text[1] - '0') * 10 + (text[2] - '0');
    return true;
}

bool parse_direction(const char *text, Direction *direction) {
    static const char *const kNames[] = {"W", "NW", "N", "NE", "E", "SE", "S", "SW"};
    size_t length = 0;
    while (length < 2 && std::isalpha(static_cast<unsigned char>(text[length]))) ++length;
    for (int code = 0; code < 8; ++code) {
        if (std::strlen(kNames[code]) == length && std::strncmp(text, kNames[code], length) == 0) {
            *direction = static_cast<Direction>(code);
            return true;
        }
    }
    return false;
}

}  // namespace

const std::vector<BadPixel> &bad_pixels() { return g_list; }
const std::vector<CorrectedPixel> &bad_pixel_corrections() { return g_working; }
bool bad_pixels_enabled() { return g_enabled; }

}  // namespace lumox::evk

using namespace lumox::evk;

extern "C" {

// Lines too short or not in the "XXX YYY D[D]" layout are skipped.
LUMOX_API int imageCorrectionLoad(const char *path) noexcept {
    if (!path) return -1;
    lumox::platform::UniqueFile file(lumox::platform::open_file(path, "r"));
    if (!file) return -1;
    g_list.clear();
    char line[256];
    while (std::fgets(line, sizeof line, file.get())) {
        if (std::strlen(line) < 9) continue;
        BadPixel pixel{};
        if (!parse_coordinate(line, &pixel.x) || !parse_coordinate(line + 4, &pixel.y) ||
            !parse_direction(line + 8, &pixel.direction)) {
            continue;
        }
        if (pixel.direction == Direction::W) std::printf("strN == W\n");
        if (pixel.direction == Direction::E) std::printf("strN == E\n");
        g_list.push_back(pixel);
    }
    return static_cast<int>(g_list.size());
}

LUMOX_API int imageCorrectionTransform(void) noexcept {
    int left = readOutGetTopLeftX();
    int right = readOutGetBottomRightX();
    int top = readOutGetTopLeftY();
    int columns = pruGetNCols();
    int col_reduction = pruGetColReduction();
    int row_step = calculationIsDualMGX() ? 2 : pruGetRowReduction();
    int image_size = columns * pruGetNRowsPerHalf() * pruGetNumberOfHalves();

    g_working.clear();
    for (const BadPixel &p : g_list) {
        if (p.x < left || p.x > right || p.y < top || p.y > kLastRow - top) continue;
        Direction d = p.direction;
        bool westward = d == Direction::W || d == Direction::NW || d == Direction::SW;
        bool eastward = d == Direction::NE || d == Direction::E || d == Direction::SE;
        if ((p.x == left && westward) || (p.x == right && eastward) ||
            (p.y == top && d != Direction::W && d != Direction::E)) {
            std::printf("pixel %i,%i can not be corrected\n", p.x, p.y);
            continue;
        }
        int index = columns * ((p.y - top) / row_step) + (p.x - left) / col_reduction;
        // A region narrower than the list's rows would put the pixel outside the image.
        if (index < 0 || index >= image_size) continue;
        g_working.push_back({index, d});
    }
    return static_cast<int>(g_working.size());
}

LUMOX_API int imageCorrectionEnable(int flag) noexcept {
    g_enabled = flag != 0;
    return 0;
}

}  // extern "C"
