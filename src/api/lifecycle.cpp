// Library-wide configuration calls.

#include "lumox/lumox.h"

extern "C" {

LUMOX_API void lumox_log_cfg(uint32_t console_level, uint32_t file_level, uint32_t usb_level) {
    lx_log_enable(LX_LOG_OUT_CONSOLE, console_level, nullptr);
    lx_log_enable(LX_LOG_OUT_FILE, file_level, nullptr);
    lumox_ll_set_debug(usb_level);
}

}  // extern "C"
