#include "writers.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "lumox/lumox.h"

namespace lumox_cli {

OutputFile::~OutputFile() {
    if (file_) std::fclose(file_);
    if (remove_on_failure_ && (file_ || error_ != 0)) std::remove(path_.c_str());
}

bool OutputFile::open(const std::string &path) {
    path_ = path;
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        fail_with(errno);
        return false;
    }
    struct stat st {};
    remove_on_failure_ = fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode);
    return true;
}

void OutputFile::fail_with(int error) {
    if (error_ == 0) error_ = error ? error : EIO;
}

void OutputFile::set_failed(int error) { fail_with(error); }

bool OutputFile::write(const void *data, size_t n) {
    if (!file_ || error_ != 0) return false;
    if (n != 0 && std::fwrite(data, 1, n, file_) != n) fail_with(errno);
    return ok();
}

bool OutputFile::print(const char *fmt, ...) {
    if (!file_ || error_ != 0) return false;
    va_list ap;
    va_start(ap, fmt);
    const int r = std::vfprintf(file_, fmt, ap);
    va_end(ap);
    if (r < 0) fail_with(errno);
    return ok();
}

int OutputFile::fd() {
    if (!file_) return -1;
    if (std::fflush(file_) != 0) fail_with(errno);
    return fileno(file_);
}

bool OutputFile::commit() {
    if (!file_) return false;
    if (std::fflush(file_) != 0) fail_with(errno);
    if (std::fclose(file_) != 0) fail_with(errno);
    file_ = nullptr;
    return ok();
}

std::string OutputFile::error() const {
    return path_ + ": " + (error_ ? std::strerror(error_) : "not written");
}

std::string make_dirs(const std::string &path) {
    std::string partial;
    for (size_t i = 0; i <= path.size(); ++i) {
        if ((i == path.size() || path[i] == '/') && !partial.empty()) {
            struct stat st {};
            if (stat(partial.c_str(), &st) == 0) {
                if (!S_ISDIR(st.st_mode)) return "'" + partial + "' is a file, not a directory";
            } else if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
                return partial + ": " + std::strerror(errno);
            }
        }
        if (i < path.size()) partial += path[i];
    }
    if (!path.empty() && access(path.c_str(), W_OK) != 0) return path + ": " + std::strerror(errno);
    return "";
}

namespace {

bool finish(OutputFile &f, std::string *error) {
    if (f.commit()) return true;
    if (error) *error = f.error();
    return false;
}

}  // namespace

bool write_raw(const std::string &path, const uint8_t *data, size_t n, std::string *error) {
    OutputFile f;
    if (f.open(path)) f.write(data, n);
    return finish(f, error);
}

bool write_pnm(const std::string &path, const char *magic, const std::vector<uint8_t> &pixels,
               uint32_t w, uint32_t h, std::string *error) {
    OutputFile f;
    if (f.open(path) && f.print("%s\n%u %u\n255\n", magic, w, h))
        f.write(pixels.data(), pixels.size());
    return finish(f, error);
}

bool write_ply(const std::string &path, const std::vector<float> &xyz, size_t points,
               std::string *error) {
    OutputFile f;
    if (f.open(path) && f.print("ply\nformat binary_little_endian 1.0\nelement vertex %zu\n"
                                "property float x\nproperty float y\nproperty float z\n"
                                "end_header\n",
                                points))
        f.write(xyz.data(), 3 * points * sizeof(float));
    return finish(f, error);
}

namespace {

bool save_frames(OutputFile &f, bool gray, const std::vector<float> &values, uint32_t w,
                 uint32_t h) {
    const int fd = f.fd();
    if (fd < 0 || !f.ok()) return false;
    const int n = static_cast<int>(values.size());
    errno = 0;
    const int r = gray ? lumox_frame_save_gray(fd, SAVE_FMT_U16, values.data(), n,
                                               static_cast<int>(w), static_cast<int>(h))
                       : lumox_frame_save_distance(fd, SAVE_FMT_F32, values.data(), n,
                                                   static_cast<int>(w), static_cast<int>(h));
    if (r != 1) f.set_failed(errno);
    return f.ok();
}

}  // namespace

bool append_distances(OutputFile &file, const std::vector<float> &values, uint32_t w, uint32_t h) {
    return save_frames(file, false, values, w, h);
}

bool write_gray_file(const std::string &path, const std::vector<float> &values, uint32_t w,
                     uint32_t h, std::string *error) {
    OutputFile f;
    if (f.open(path)) save_frames(f, true, values, w, h);
    return finish(f, error);
}

}  // namespace lumox_cli
