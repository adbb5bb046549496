// Region of interest of the sensor read-out (registers 150-155) and the checked api* setters that
// also resize the frame geometry, declared in lumox/evk.h.
#pragma once

#include "lumox/evk.h"
