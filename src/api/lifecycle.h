// Library start and end, and the device lifecycle: list, open, reset, close.
#pragma once

#include "lumox/image.h"
#include "lumox/transport.h"

namespace lumox::api {

// The library-wide colour map (30000 entries between lumox_init and lumox_uninit).
lx_cmap &library_cmap();

// The transport tests installed in place of USB (set_transport_for_tests), or null.
const lumox_ll_op *test_transport();

}  // namespace lumox::api
