// Helpers shared by the fuzz targets: a private scratch directory, files written from the input,
// and the library's logging routed to /dev/null at the most verbose level, so that every message
// is formatted (a bad format argument shows up) without flooding the terminal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <unistd.h>

#include "lumox/log.h"

namespace lumox::fuzz {

inline void route_logs_to_null() {
    lx_log_enable(0, 5, nullptr);
    lx_log_enable(1, 0, "/dev/null");
}

// A directory of this process under /tmp, made on first use; ends with '/'.
inline const std::string &scratch_dir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/lumox-fuzz-XXXXXX";
        const char *made = mkdtemp(pattern);
        if (!made) std::abort();
        return std::string(made) + "/";
    }();
    return dir;
}

inline bool write_file(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

// Removes every plain file and empty subdirectory directly in dir (one level of nesting).
inline void clear_dir(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    while (dirent *e = readdir(d)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        const std::string path = dir + e->d_name;
        if (unlink(path.c_str()) != 0) {
            clear_dir(path + "/");
            rmdir(path.c_str());
        }
    }
    closedir(d);
}

}  // namespace lumox::fuzz
