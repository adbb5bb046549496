// The evaluation kit's register bridge: i2c() carries register reads and writes of the sensor to
// the bound device (declared in lumox/evk.h).
#pragma once

#include "lumox/evk.h"
