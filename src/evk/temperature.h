// Temperatures of the sensor chip and the illumination board as the evaluation-kit code sees
// them, and the fixed ADC stand-ins of the kit's illumination-board read-out (lumox/evk.h).
//
// Chip temperature measurement: the camera reports the sensor's temperature readings in
// parameter 15 (signed 16-bit, tenths of a degree). temperatureGetTemperatureROI takes its four
// region temperatures from the first four readings (a camera reporting fewer repeats the last
// one); the last chip temperature is their mean. No frame is captured for it, so the grayscale
// image of the measurement (read by the ambient-light correction) stays zero.
#pragma once

#include "lumox/evk.h"
