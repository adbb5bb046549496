// lumox: the command-line tool over the library's public C interface.

#include <cstdio>
#include <cstring>
#include <string>

#include "lumox/lumox.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: lumox COMMAND [ARGS]\n"
                 "commands:\n"
                 "  cmap [MIN_MM MAX_MM [STEPS]]  print the distance colour ramp as 24-bit colour\n"
                 "  atan2 Y X                     phase angle of (X, Y), 30000 units per turn\n");
    return 2;
}

// Prints the colour of evenly spaced distances, as hex words and as a 24-bit colour strip.
int cmd_cmap(int argc, char **argv) {
    const int lo = argc > 0 ? std::atoi(argv[0]) : 0;
    const int hi = argc > 1 ? std::atoi(argv[1]) : 4000;
    const int steps = argc > 2 ? std::atoi(argv[2]) : 40;
    if (steps <= 0 || hi <= lo) return usage();
    lx_cmap map{};
    if (!lx_cmap_init(&map, 30000)) {
        std::fprintf(stderr, "lumox: out of memory\n");
        return 1;
    }
    lx_cmap_set_range(&map, lo, hi);
    std::string strip;
    for (int i = 1; i <= steps; ++i) {
        const int mm = lo + static_cast<int>(static_cast<long long>(hi - lo) * i / steps);
        const uint32_t c = lx_cmap_get_color(&map, mm);
        std::printf("%6d mm  %06X\n", mm, static_cast<unsigned>(c));
        char cell[64];
        std::snprintf(cell, sizeof cell, "\x1b[48;2;%u;%u;%um ", (c >> 16) & 0xFF, (c >> 8) & 0xFF,
                      c & 0xFF);
        strip += cell;
    }
    std::printf("%s\x1b[0m\n", strip.c_str());
    lx_cmap_uninit(&map);
    return 0;
}

int cmd_atan2(int argc, char **argv) {
    if (argc < 2) return usage();
    std::printf("%d\n", lx_math_atan2_i32(std::atoi(argv[0]), std::atoi(argv[1])));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return usage();
    const char *cmd = argv[1];
    if (std::strcmp(cmd, "cmap") == 0) return cmd_cmap(argc - 2, argv + 2);
    if (std::strcmp(cmd, "atan2") == 0) return cmd_atan2(argc - 2, argv + 2);
    return usage();
}
