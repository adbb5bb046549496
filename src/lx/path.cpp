// The process-wide path prefix under which calibration files are looked up and written.

#include "lumox/log.h"

#include <cstring>

#include "platform/fs.h"

namespace {

constexpr size_t kPrefixSize = 256;
char g_path_prefix[kPrefixSize] = {};

bool is_separator(char c) { return c == '/' || c == '\\'; }

}  // namespace

extern "C" {

LUMOX_API int lumox_path_cfg(const char *path) noexcept {
    if (!path) path = "";
    // A longer prefix would be cut, and the files would land in another directory than the
    // caller named: it is refused and the prefix in force stays.
    if (std::strlen(path) >= kPrefixSize) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] path prefix of %zu characters refused (at most %zu)\n",
               "lumox_path_cfg", std::strlen(path), kPrefixSize - 1);
        return -1;
    }
    std::strncpy(g_path_prefix, path, kPrefixSize);
    g_path_prefix[kPrefixSize - 1] = '\0';
    lx_log(LX_LOG_DBG, "DBG", "[%s] PATH_PREIFX: %s\n", "lumox_path_cfg", g_path_prefix);

    // Create every directory along the way; the stored prefix keeps its trailing separator.
    char work[kPrefixSize] = {};
    std::memcpy(work, g_path_prefix, kPrefixSize);
    size_t len = std::strlen(work);
    if (len > 0 && is_separator(work[len - 1])) work[--len] = '\0';
    for (size_t i = 0; i < len; ++i) {
        if (!is_separator(work[i])) continue;
        work[i] = '\0';
        if (i > 0 && !lumox::platform::path_exists(work)) lumox::platform::make_dir(work);
        work[i] = '/';
    }
    if (len > 0 && !lumox::platform::path_exists(work)) return lumox::platform::make_dir(work);
    return len > 0 ? 0 : -1;
}

LUMOX_API const char *lumox_path_get(void) noexcept { return g_path_prefix; }

}  // extern "C"
