#include "platform/fs.h"

#include <algorithm>

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumox::platform {

std::string native_path(const char *path) {
    std::string p = path ? path : "";
    std::replace(p.begin(), p.end(), '\\', '/');
    return p;
}

bool path_exists(const char *path) {
    struct stat st {};
    return stat(native_path(path).c_str(), &st) == 0;
}

int make_dir(const char *path) { return mkdir(native_path(path).c_str(), 0777) == 0 ? 0 : -1; }

FILE *open_file(const char *path, const char *mode) {
    return std::fopen(native_path(path).c_str(), mode);
}

long long regular_file_size(FILE *file) {
    struct stat st {};
    if (!file || fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<long long>(st.st_size);
}

int remove_file(const char *path) { return std::remove(native_path(path).c_str()) == 0 ? 0 : -1; }

std::vector<std::string> list_dir(const char *dir, const char *pattern) {
    std::vector<std::string> names;
    const std::string d = native_path(dir);
    DIR *handle = opendir(d.empty() ? "." : d.c_str());
    if (!handle) return names;
    while (const dirent *entry = readdir(handle)) {
        if (fnmatch(pattern, entry->d_name, 0) == 0) names.emplace_back(entry->d_name);
    }
    closedir(handle);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace lumox::platform
