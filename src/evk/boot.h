// The evaluation kit's power-up and identity sequence (lumox/evk_api.h). The board's GPIO lines
// and power rails do not exist here; their functions keep the kit's calling order and do nothing.
#pragma once

#include "lumox/evk.h"

namespace lumox::evk {

// Asks which bus address the sensor answers on; writes it into reply[0] and returns 0, or -1.
// By default the register bridge's device query ('d').
using DeviceQuery = int (*)(unsigned char reply[2]);

// Installs a device query (nullptr restores the bridge's); returns the previous one. Tests use it
// to model a sensor that never answers.
DeviceQuery set_device_query(DeviceQuery query);

}  // namespace lumox::evk
