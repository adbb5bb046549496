// Binding of the evaluation-kit code to one open device (g_lx_dev): by the EPC driver with its
// device, or stand-alone, where the adapter starts the library and opens the first camera itself.
#pragma once

#include "lumox/evk.h"

namespace lumox::evk {

// True while the bound device was opened by epc_adapter_init(NULL) and is closed by the adapter.
bool adapter_owns_device();

}  // namespace lumox::evk
