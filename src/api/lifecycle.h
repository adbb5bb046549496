// Library start and end, and the device lifecycle: list, open, reset, close.
#pragma once

#include "lumox/image.h"
#include "lumox/transport.h"

namespace lumox::api {

// The library-wide colour map (30000 entries between lumox_init and lumox_uninit).
lx_cmap &library_cmap();

}  // namespace lumox::api
