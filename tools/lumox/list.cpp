// lumox list: the cameras attached.

#include <cstdio>

#include "command.h"
#include "session.h"

namespace lumox_cli {

int cmd_list(const Args &args) {
    Session session(args);
    lumox_dev_t list[16];
    const int32_t n = lumox_dev_list(list, 16);
    if (n <= 0) {
        std::printf("no camera found\n");
        return kExitOk;
    }
    std::printf("%-9s %-5s %-5s\n", "BUS:PORT", "ADDR", "SPEED");
    for (int32_t i = 0; i < n; ++i) {
        std::printf("%3u:%-5u %-5u %-5u\n", list[i].bus, list[i].port, list[i].addr, list[i].speed);
    }
    return kExitOk;
}

}  // namespace lumox_cli
