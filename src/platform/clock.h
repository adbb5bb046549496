// Local wall-clock time, thread identity and sleeping: the operating-system calls the library's
// clock, log stamps and waits are built on. Sleeping goes through one replaceable hook so that
// tests can shorten or skip the seconds-long waits the device protocols prescribe.
#pragma once

#include <cstdint>

namespace lumox::platform {

struct LocalTime {
    unsigned year;    // e.g. 2026
    unsigned month;   // 1-12
    unsigned day;     // 1-31
    unsigned hour;    // 0-23
    unsigned minute;  // 0-59
    unsigned second;  // 0-60
    unsigned millis;  // 0-999
    int64_t epoch_s;  // seconds since the epoch of the same instant
};

// Current local date and time, millisecond resolution.
LocalTime local_time_now();

// Numeric identifier of the calling thread (the kernel's thread id).
uint32_t thread_id();

// Monotonic milliseconds, for measuring waits.
int64_t monotonic_ms();

// Sleeps for ms milliseconds through the installed hook (the real sleep by default; tests replace
// it with set_sleep_hook of testing/hooks.h).
void sleep_ms(uint32_t ms);

}  // namespace lumox::platform
