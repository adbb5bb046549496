#include "platform/clock.h"

#include "testing/hooks.h"

#include <atomic>
#include <ctime>

#include <sys/syscall.h>
#include <unistd.h>

namespace lumox::platform {
namespace {

void real_sleep_ms(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

std::atomic<SleepHook> g_sleep_hook{real_sleep_ms};

}  // namespace

LocalTime local_time_now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm parts{};
    localtime_r(&ts.tv_sec, &parts);
    return LocalTime{
        static_cast<unsigned>(parts.tm_year + 1900), static_cast<unsigned>(parts.tm_mon + 1),
        static_cast<unsigned>(parts.tm_mday),        static_cast<unsigned>(parts.tm_hour),
        static_cast<unsigned>(parts.tm_min),         static_cast<unsigned>(parts.tm_sec),
        static_cast<unsigned>(ts.tv_nsec / 1000000), static_cast<int64_t>(ts.tv_sec)};
}

uint32_t thread_id() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

int64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(uint32_t ms) { g_sleep_hook.load(std::memory_order_acquire)(ms); }

SleepHook set_sleep_hook(SleepHook hook) {
    return g_sleep_hook.exchange(hook ? hook : real_sleep_ms, std::memory_order_acq_rel);
}

}  // namespace lumox::platform
