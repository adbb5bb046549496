#include "evk/roi.h"

#include <cstdio>

namespace {

constexpr int kRegRoiFirst = 150;

struct Roi {
    int left = 4;
    int right = 323;
    int top = 6;
    int bottom = 125;
};

Roi g_roi;

}  // namespace

extern "C" {

LUMOX_API int readOutSetROI(int x1, int x2, int y1, int y2, int address) noexcept {
    g_roi = {x1, x2, y1, y2};
    unsigned char bytes[6] = {
        static_cast<unsigned char>((x1 >> 8) & 0xFF), static_cast<unsigned char>(x1 & 0xFF),
        static_cast<unsigned char>((x2 >> 8) & 0xFF), static_cast<unsigned char>(x2 & 0xFF),
        static_cast<unsigned char>(y1 & 0xFF),        static_cast<unsigned char>(y2 & 0xFF)};
    unsigned char *buffer = bytes;
    return i2c(address, 'w', kRegRoiFirst, 6, &buffer);
}

LUMOX_API int readOutGetTopLeftX(void) noexcept { return g_roi.left; }
LUMOX_API int readOutGetBottomRightX(void) noexcept { return g_roi.right; }
LUMOX_API int readOutGetTopLeftY(void) noexcept { return g_roi.top; }
LUMOX_API int readOutGetBottomRightY(void) noexcept { return g_roi.bottom; }

LUMOX_API int apiSetROI(int x1, int x2, int y1, int y2, int address) noexcept {
    if (x1 < 0 || x2 < x1 || x1 % 2 != 0 || x2 < 5 || x2 > 327 || x2 % 2 != 1) {
        std::printf("bad x coordinates\n");
        return -1;
    }
    if (y1 < 0 || y2 < y1 || y1 % 2 != 0 || y2 < 1 || y2 > 125 || y2 % 2 != 1) {
        std::printf("bad y coordinates\n");
        return -1;
    }
    int min_width = 6 * pruGetColReduction();
    int min_height = 2 * pruGetRowReduction();
    if (x2 - x1 + 1 < min_width || y2 - y1 + 1 < min_height) {
        std::printf("size too small: min size = %i x %i\n", min_width, min_height);
        return -1;
    }
    readOutSetROI(x1, x2, y1, y2, address);
    pruSetSize(x2 - x1 + 1, y2 - y1 + 1);
    imageCorrectionTransform();
    imageDifferenceInit();
    return 0;
}

LUMOX_API int apiEnableABS(int flag, int address) noexcept {
    configEnableABS(flag, address);
    imageDifferenceInit();
    return flag;
}

}  // extern "C"
