// File-system calls of the library. Paths may carry Windows separators (the path prefix defaults
// to ".\"); every call here turns backslashes into '/' before it reaches the operating system.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace lumox::platform {

// The path with every '\' replaced by '/'.
std::string native_path(const char *path);

// True when a file or directory of that name exists.
bool path_exists(const char *path);

// Creates one directory (mode 0777 before the umask). Returns 0 on success, -1 on failure.
int make_dir(const char *path);

// fopen with the path made native.
FILE *open_file(const char *path, const char *mode);

// Size in bytes of the open file when it is a regular file; -1 for anything else (a directory,
// a device, a pipe) or when the system cannot tell.
long long regular_file_size(FILE *file);

// Removes a file; returns 0 on success, -1 on failure.
int remove_file(const char *path);

// Names (not paths) of the entries of directory dir whose names match the shell pattern, sorted.
std::vector<std::string> list_dir(const char *dir, const char *pattern);

struct FileCloser {
    void operator()(FILE *f) const {
        if (f) std::fclose(f);
    }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

}  // namespace lumox::platform
