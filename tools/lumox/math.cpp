// lumox cmap and atan2: the library's colour ramp and fixed-point angle, without a camera.

#include <cstdio>
#include <string>

#include "command.h"
#include "lumox/lumox.h"

namespace lumox_cli {

// Prints the colour of evenly spaced distances, as hex words and as a 24-bit colour strip.
int cmd_cmap(const Args &args) {
    const CmapRange range = parse_cmap(args.operands);
    lx_cmap map{};
    if (!lx_cmap_init(&map, 30000)) return fail("out of memory");
    lx_cmap_set_range(&map, range.min_mm, range.max_mm);
    std::string strip;
    const long long span = range.max_mm - range.min_mm;
    for (int32_t i = 1; i <= range.steps; ++i) {
        const auto mm = static_cast<int32_t>(range.min_mm + span * i / range.steps);
        const uint32_t c = lx_cmap_get_color(&map, mm);
        std::printf("%6d mm  %06X\n", mm, static_cast<unsigned>(c));
        char cell[64];
        std::snprintf(cell, sizeof cell, "\x1b[48;2;%u;%u;%um ", (c >> 16) & 0xFF, (c >> 8) & 0xFF,
                      c & 0xFF);
        strip += cell;
    }
    std::printf("%s\x1b[0m\n", strip.c_str());
    lx_cmap_uninit(&map);
    return kExitOk;
}

// The angle table is exact for coordinates below 2^19 in magnitude.
int cmd_atan2(const Args &args) {
    constexpr long long kLimit = (1 << 19) - 1;
    const auto y = static_cast<int32_t>(parse_int(args.operands[0], -kLimit, kLimit, "Y"));
    const auto x = static_cast<int32_t>(parse_int(args.operands[1], -kLimit, kLimit, "X"));
    std::printf("%d\n", lx_math_atan2_i32(y, x));
    return kExitOk;
}

}  // namespace lumox_cli
