// Logging: one stamped record per call, written to the console and to an append-mode log file,
// each output with its own level threshold.

#include "lumox/log.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/fs.h"

namespace {

constexpr uint32_t kOutputs = 3;

std::atomic<uint32_t> g_threshold[kOutputs] = {3, 1, 5};

// The log file and the path it was opened with. The file is written under the lock so that a
// record's stamp and message stay together and enable/disable never close a file in use.
std::mutex g_file_mutex;
FILE *g_file = nullptr;
std::string g_file_path;
bool g_file_path_set = false;
// errno of the first failure to open or write the log file named last, 0 while none.
int g_file_error = 0;

constexpr size_t kStampSize = 48;

void format_stamp(char (&stamp)[kStampSize]) {
    const auto now = lumox::platform::local_time_now();
    std::snprintf(stamp, sizeof stamp, "%04u/%02u/%02u %02u:%02u:%02u.%03u[%u]", now.year,
                  now.month, now.day, now.hour, now.minute, now.second, now.millis,
                  lumox::platform::thread_id());
}

bool reaches(uint32_t level, uint32_t output) {
    return level >= g_threshold[output].load(std::memory_order_relaxed);
}

// The calling thread's last error and warning messages, kept whatever the outputs' thresholds
// so that a caller learns why its call failed without a log file. Fixed buffers: recording a
// message never allocates.
struct LastRecords {
    char error[512];
    char warning[512];
};
thread_local LastRecords t_last{};

void remember(uint32_t level, const char *fmt, va_list args) {
    if (level < LX_LOG_WRN) return;
    char *text = level >= LX_LOG_ERR ? t_last.error : t_last.warning;
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(text, sizeof t_last.error, fmt, copy);
    va_end(copy);
    size_t end = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof t_last.error - 1);
    while (end > 0 && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    text[end] = '\0';
}

// Writes one record to both outputs as their thresholds allow. stamp is null for raw records.
void write_record(uint32_t level, const char *tag, const char *fmt, va_list args) {
    if (tag) remember(level, fmt, args);
    const bool to_console = reaches(level, LX_LOG_OUT_CONSOLE);
    const bool to_file = reaches(level, LX_LOG_OUT_FILE);
    if (!to_console && !to_file) return;

    char stamp[kStampSize] = "";
    if (tag) format_stamp(stamp);

    if (to_console) {
        va_list copy;
        va_copy(copy, args);
        flockfile(stdout);
        if (tag) std::fprintf(stdout, "%s[%s] ", stamp, tag);
        std::vfprintf(stdout, fmt, copy);
        funlockfile(stdout);
        va_end(copy);
    }
    if (to_file) {
        std::lock_guard lock(g_file_mutex);
        if (g_file) {
            va_list copy;
            va_copy(copy, args);
            if (tag) std::fprintf(g_file, "%s[%s] ", stamp, tag);
            std::vfprintf(g_file, fmt, copy);
            if (std::fflush(g_file) != 0 || std::ferror(g_file)) {
                if (g_file_error == 0) g_file_error = errno ? errno : EIO;
                std::clearerr(g_file);
            }
            va_end(copy);
        }
    }
}

}  // namespace

extern "C" {

LUMOX_API void lx_log(uint32_t level, const char *tag, const char *fmt, ...) noexcept {
    va_list args;
    va_start(args, fmt);
    write_record(level, tag ? tag : "", fmt, args);
    va_end(args);
}

LUMOX_API void lx_log_raw(uint32_t level, const char *fmt, ...) noexcept {
    va_list args;
    va_start(args, fmt);
    write_record(level, nullptr, fmt, args);
    va_end(args);
}

LUMOX_API int lx_log_enable(uint32_t index, uint32_t level, const char *path) noexcept {
    if (index >= kOutputs) return 0;
    g_threshold[index].store(level, std::memory_order_relaxed);
    if (index != LX_LOG_OUT_FILE) return 1;

    std::lock_guard lock(g_file_mutex);
    if (!path) {
        if (g_file) return 1;
        path = "lx.log";
    }
    if (g_file) {
        if (g_file_path_set && g_file_path == path) return 1;
        std::fclose(g_file);
        g_file = nullptr;
    }
    g_file_path = path;
    g_file_path_set = true;
    errno = 0;
    g_file = lumox::platform::open_file(path, "ab");
    g_file_error = g_file ? 0 : (errno ? errno : EIO);
    if (!g_file) {
        std::fprintf(stderr, "cannot open file %s for write\n", path);
        return 0;
    }
    return 1;
}

LUMOX_API void lx_log_disable(void) noexcept {
    for (auto &threshold : g_threshold) threshold.store(LX_LOG_OFF, std::memory_order_relaxed);
    std::lock_guard lock(g_file_mutex);
    if (g_file) {
        std::fclose(g_file);
        g_file = nullptr;
    }
}

LUMOX_API int lumox_log_file_error(void) noexcept {
    std::lock_guard lock(g_file_mutex);
    return g_file_error;
}

LUMOX_API const char *lumox_last_error(void) noexcept {
    return t_last.error[0] ? t_last.error : t_last.warning;
}

LUMOX_API void lumox_clear_last_error(void) noexcept {
    t_last.error[0] = '\0';
    t_last.warning[0] = '\0';
}

LUMOX_API int lx_gettimeofday(lx_timeval *tv, void * /*tz*/) noexcept {
    if (!tv) return 0;
    const auto now = lumox::platform::local_time_now();
    tv->tv_sec = static_cast<int32_t>(now.epoch_s);
    tv->tv_usec = static_cast<int32_t>(now.millis * 1000);
    return 0;
}

}  // extern "C"
