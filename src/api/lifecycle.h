// Library start and end, and the device lifecycle: list, open, reset, close.
#pragma once

#include "lumox/image.h"
#include "lumox/transport.h"

namespace lumox::api {

// The library-wide colour map (30000 entries between lumox_init and lumox_uninit).
lx_cmap &library_cmap();

// Makes lumox_dev_open and lumox_dev_list use ops instead of the USB transport (nullptr restores
// it). For tests that run the device layer over a fake transport.
void set_transport_for_tests(const lumox_ll_op *ops);

}  // namespace lumox::api
