// Transport dispatch: the lumox_ll_* calls that route device operations to the transport.

#include "lumox/transport.h"

#include <atomic>

namespace {
std::atomic<uint32_t> g_usb_debug_level{0};
}

extern "C" {

LUMOX_API void lumox_ll_set_debug(uint32_t level) {
    g_usb_debug_level.store(level, std::memory_order_relaxed);
}

}  // extern "C"
