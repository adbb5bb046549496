#include "evk/print.h"

#include <cstdarg>
#include <cstdio>

namespace {
constexpr size_t kMessageBuffer = 516;
constexpr int kMajor = 2, kMinor = 8, kPatch = 0;
}  // namespace

extern "C" {

LUMOX_API void print(int condition, int level, const char *format, ...) noexcept {
    if (!condition || !format || level > configGetPrint()) return;
    char text[kMessageBuffer];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fputs(text, stdout);
}

LUMOX_API void print_message(const char *format, ...) noexcept {
    if (!format) return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

LUMOX_API int getVersion(void) noexcept { return kMajor * 10000 + kMinor * 100 + kPatch; }
LUMOX_API int getMajor(void) noexcept { return kMajor; }
LUMOX_API int getMinor(void) noexcept { return kMinor; }
LUMOX_API int getPatch(void) noexcept { return kPatch; }

}  // extern "C"
