// Saving and loading distance and gray frames as header-plus-raw-samples files on caller-owned
// file descriptors.

#include "lumox/frame_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <new>

#include <sys/stat.h>
#include <unistd.h>

#include "lumox/log.h"

namespace {

constexpr size_t kHeaderSize = 256;
// Largest frame a file header may announce: far above any sensor, small enough that the sample
// count and byte sizes cannot overflow and a corrupt header cannot ask for gigabytes.
constexpr int64_t kMaxFrameSamples = int64_t{1} << 26;

enum class Sample { None, F32, U32, U16, U8 };

size_t sample_bytes(Sample s) {
    switch (s) {
        case Sample::F32:
        case Sample::U32:
            return 4;
        case Sample::U16:
            return 2;
        case Sample::U8:
            return 1;
        case Sample::None:
            break;
    }
    return 0;
}

// The most recently parsed header of each kind, shared by every later load of that kind.
struct LoadState {
    int width = 0;
    int height = 0;
    Sample sample = Sample::None;
};
std::mutex g_load_mutex;
LoadState g_dist_state;
LoadState g_gray_state;

bool at_start(int fd) { return lseek(fd, 0, SEEK_CUR) == 0; }

// Writes all of buf unless the descriptor fails; returns the bytes written.
ssize_t write_all(int fd, const void *buf, size_t len) {
    const auto *p = static_cast<const uint8_t *>(buf);
    size_t done = 0;
    while (done < len) {
        const ssize_t r = write(fd, p + done, len - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return done > 0 ? static_cast<ssize_t>(done) : r;
        done += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

// Reads until len bytes arrived, the end of the file or an error; returns the bytes read, or the
// failing read's result when nothing was read.
ssize_t read_full(int fd, void *buf, size_t len) {
    auto *p = static_cast<uint8_t *>(buf);
    size_t done = 0;
    while (done < len) {
        const ssize_t r = read(fd, p + done, len - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return done > 0 ? static_cast<ssize_t>(done) : r;
        done += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

// value truncated toward zero to a 64-bit integer; NaN gives 0 and out-of-range values saturate,
// so no float-to-integer conversion is ever undefined.
int64_t trunc_i64(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 9.2e18) return std::numeric_limits<int64_t>::max();
    if (value <= -9.2e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

template <typename T>
std::unique_ptr<T[]> try_alloc(size_t n) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[n]);
}

template <typename Out, typename Convert>
bool write_converted(int fd, const float *src, size_t n, Convert convert, ssize_t *written) {
    auto buf = try_alloc<Out>(n);
    if (!buf) return false;
    for (size_t i = 0; i < n; ++i) buf[i] = static_cast<Out>(convert(src[i]));
    *written = write_all(fd, buf.get(), n * sizeof(Out));
    return true;
}

struct HeaderFormat {
    const char *scan;
    Sample sample;
};

// Reads and parses the header line at the start of fd; on success positions fd just after it.
bool read_header(int fd, const HeaderFormat *formats, size_t count, LoadState *state) {
    char text[kHeaderSize + 1] = {};
    const ssize_t got = read(fd, text, kHeaderSize);
    if (got < 1) return false;
    char *lf = static_cast<char *>(std::memchr(text, '\n', static_cast<size_t>(got)));
    if (!lf) return false;
    lf[1] = '\0';
    for (size_t i = 0; i < count; ++i) {
        int w = 0;
        int h = 0;
        if (std::sscanf(text, formats[i].scan, &w, &h) != 2) continue;
        if (w <= 0 || h <= 0 || int64_t{w} * h > kMaxFrameSamples) return false;
        if (lseek(fd, lf + 1 - text, SEEK_SET) < 0) return false;
        *state = LoadState{w, h, formats[i].sample};
        return true;
    }
    return false;
}

// Integer distance samples are millimetres and load as metres; gray samples load unchanged.
int load_frame(const char *func, int fd, float *dst, int dst_len, int *out_w, int *out_h,
               const HeaderFormat *formats, size_t count, LoadState *shared, bool millimetres) {
    const float unit = millimetres ? 1000.0f : 1.0f;
    LoadState state;
    {
        std::lock_guard lock(g_load_mutex);
        if (at_start(fd)) {
            if (!read_header(fd, formats, count, shared)) {
                *shared = LoadState{};
                lx_log(LX_LOG_ERR, "ERR", "[%s] faile to load LX file header\n", func);
                return 0;
            }
        }
        state = *shared;
    }
    if (state.width <= 0 || state.height <= 0) return 0;

    const size_t samples = static_cast<size_t>(state.width) * static_cast<size_t>(state.height);
    const size_t bytes = samples * sample_bytes(state.sample);
    // A regular file with less than one frame left cannot hold it: fail before allocating for
    // a size that only the header claims.
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const off_t pos = lseek(fd, 0, SEEK_CUR);
        if (pos >= 0 && st.st_size - pos < static_cast<off_t>(bytes)) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] read %d date failed: ret= %d\n", func,
                   static_cast<int>(bytes), static_cast<int>(st.st_size - pos));
            return 0;
        }
    }
    auto raw = try_alloc<uint8_t>(bytes);
    if (!raw) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] malloc failed!\n", func);
        return 0;
    }
    const ssize_t got = read_full(fd, raw.get(), bytes);
    if (got < 0 || static_cast<size_t>(got) < bytes) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] read %d date failed: ret= %d\n", func,
               static_cast<int>(bytes), static_cast<int>(got));
        return 0;
    }

    const size_t m = dst_len > 0 ? std::min(static_cast<size_t>(dst_len), samples) : 0;
    if (m > 0 && !dst) return 0;
    const uint8_t *p = raw.get();
    for (size_t i = 0; i < m; ++i) {
        switch (state.sample) {
            case Sample::F32: {
                float v;
                std::memcpy(&v, p + 4 * i, 4);
                dst[i] = v;
                break;
            }
            case Sample::U32: {
                uint32_t v;
                std::memcpy(&v, p + 4 * i, 4);
                dst[i] = static_cast<float>(v) / unit;
                break;
            }
            case Sample::U16: {
                uint16_t v;
                std::memcpy(&v, p + 2 * i, 2);
                dst[i] = static_cast<float>(v) / unit;
                break;
            }
            case Sample::U8:
                dst[i] = static_cast<float>(p[i]);
                break;
            case Sample::None:
                break;
        }
    }
    if (out_w) *out_w = state.width;
    if (out_h) *out_h = state.height;
    return static_cast<int>(m);
}

const HeaderFormat kDistFormats[] = {{"LX_DIST,F32,%d,%d", Sample::F32},
                                     {"LX_DIST,U32,%d,%d", Sample::U32},
                                     {"LX_DIST,U16,%d,%d", Sample::U16}};
const HeaderFormat kGrayFormats[] = {{"LX_GRAY,U8,%d,%d", Sample::U8},
                                     {"LX_GRAY,U16,%d,%d", Sample::U16}};

// A frame of no pixels has no frame count, a negative size is no frame at all, and values need
// a source; logs and returns false for such arguments.
bool frame_args_ok(const char *func, const float *src, int src_len, int w, int h) {
    if (w > 0 && h > 0 && int64_t{w} * h <= kMaxFrameSamples && src_len >= 0 &&
        (src_len == 0 || src)) {
        return true;
    }
    lx_log(LX_LOG_ERR, "ERR", "[%s] wrong frame size: %dx%d, %d values\n", func, w, h, src_len);
    return false;
}

bool write_header(int fd, const char *fmt, int w, int h) {
    char header[kHeaderSize];
    const int len = std::snprintf(header, sizeof header, fmt, w, h);
    return write_all(fd, header, static_cast<size_t>(len)) >= len;
}

}  // namespace

extern "C" {

LUMOX_API int lumox_frame_save_distance(int fd, int format, const float *src, int src_len, int w,
                                        int h) noexcept {
    static const char *const kFunc = "lumox_frame_save_distance";
    static const char *const kHeaders[] = {"LX_DIST,F32,%d,%d\n", "LX_DIST,U32,%d,%d\n",
                                           "LX_DIST,U16,%d,%d\n"};
    if (format < SAVE_FMT_F32 || format > SAVE_FMT_U16) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] wrong distance save format: %d\n", kFunc, format);
        return 0;
    }
    if (!frame_args_ok(kFunc, src, src_len, w, h)) return 0;
    if (at_start(fd) && !write_header(fd, kHeaders[format], w, h)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] faile to save LX_DIST header\n", kFunc);
        return 0;
    }
    const size_t frame = static_cast<size_t>(w) * static_cast<size_t>(h);
    const size_t n = frame * (static_cast<size_t>(src_len) / frame);
    ssize_t written = 0;
    size_t expected = 0;
    const char *type = "F32";
    bool allocated = true;
    switch (format) {
        case SAVE_FMT_F32:
            expected = n * sizeof(float);
            written = write_all(fd, src, expected);
            break;
        case SAVE_FMT_U32:
            type = "U32";
            expected = n * sizeof(uint32_t);
            allocated = write_converted<uint32_t>(
                fd, src, n, [](float v) { return trunc_i64(double{v} * 1000.0); }, &written);
            break;
        default:
            type = "U16";
            expected = n * sizeof(uint16_t);
            allocated = write_converted<uint16_t>(
                fd, src, n, [](float v) { return trunc_i64(double{v} * 1000.0); }, &written);
            break;
    }
    if (!allocated) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] malloc failed!\n", kFunc);
        return 0;
    }
    if (written < 0 || static_cast<size_t>(written) < expected) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] faile to save LX_DIST %s data: %d bytes\n", kFunc, type,
               static_cast<int>(written));
        return 0;
    }
    return 1;
}

LUMOX_API int lumox_frame_save_gray(int fd, int format, const float *src, int src_len, int w,
                                    int h) noexcept {
    static const char *const kFunc = "lumox_frame_save_gray";
    if (format != SAVE_FMT_U16 && format != SAVE_FMT_U8) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] wrong gray save format: %d\n", kFunc, format);
        return 0;
    }
    if (!frame_args_ok(kFunc, src, src_len, w, h)) return 0;
    const bool u8 = format == SAVE_FMT_U8;
    if (at_start(fd) &&
        !write_header(fd, u8 ? "LX_GRAY,U8,%d,%d\n" : "LX_GRAY,U16,%d,%d\n", w, h)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] faile to save LX_GRAY header\n", kFunc);
        return 0;
    }
    const size_t n = std::min(static_cast<size_t>(src_len), static_cast<size_t>(w) * h);
    ssize_t written = 0;
    const bool allocated =
        u8 ? write_converted<uint8_t>(
                 fd, src, n, [](float v) { return static_cast<int16_t>(trunc_i64(v)); }, &written)
           : write_converted<uint16_t>(
                 fd, src, n, [](float v) { return static_cast<int32_t>(trunc_i64(v)); }, &written);
    if (!allocated) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] malloc failed!\n", kFunc);
        return 0;
    }
    const size_t expected = n * (u8 ? 1 : 2);
    if (written < 0 || static_cast<size_t>(written) < expected) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] faile to save LX_GRAY %s data: %d bytes\n", kFunc,
               u8 ? "U8" : "U16", static_cast<int>(written));
        return 0;
    }
    return 1;
}

LUMOX_API int lumox_frame_load_distance(int fd, float *dst, int dst_len, int *out_w,
                                        int *out_h) noexcept {
    return load_frame("lumox_frame_load_distance", fd, dst, dst_len, out_w, out_h, kDistFormats,
                      std::size(kDistFormats), &g_dist_state, true);
}

LUMOX_API int lumox_frame_load_gray(int fd, float *dst, int dst_len, int *out_w,
                                    int *out_h) noexcept {
    return load_frame("lumox_frame_load_gray", fd, dst, dst_len, out_w, out_h, kGrayFormats,
                      std::size(kGrayFormats), &g_gray_state, false);
}

}  // extern "C"
