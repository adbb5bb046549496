// Corrections of the evaluation-kit images: the offset phase added last on the distance path, the
// per-pixel DRNU table correction, the temperature compensation, the ambient-light correction of
// DCS samples, the grayscale gain/offset correction and the FLIM gray correction
// (lumox/evk_calc.h).
//
// Choices where the kit leaves the working open:
// - DRNU (modes 1 and 2): the distance image's phase of a pixel is located in that pixel's row of
//   the DRNU table (calibrationLoadDistanceImages: the phases measured at 295 + k x step mm) and
//   interpolated linearly between the two neighbouring calibration distances; the result is the
//   phase of the distance beyond the 295 mm reference, which calculationAddOffset then adds
//   (DRNU mode 2 with the default offset: exactly the reference phase). Mode 2 first subtracts the
//   temperature drift. Pixels outside the calibration geometry (binning, dual MGX, another region)
//   or with a table row that does not rise are left as they are.
// - Temperature drift: (sensor - calibration sensor temperature) x sensor coefficient plus
//   (board - calibration board temperature) x board coefficient, in millimetres per 0.1 degree
//   (configLoadParameters), with the temperatures of the latest frame header, converted to phase
//   at the current modulation frequency.
// - Grayscale: value x gain + offset with the per-chip table (grayscale.h) at the pixel's sensor
//   coordinates; the offset and gain parts can be switched off separately (both on initially) and
//   nothing is applied unless the table loaded (enabledGrayscale).
// - FLIM: calculationFlimCalibration records a dark frame (per-pixel offset) and a flat frame
//   (per-pixel gain towards the frame mean); the correction is (value - offset) x gain.
// Reserved codes are never changed by a correction.
#pragma once

#include <cstdint>

#include "lumox/evk_calc.h"

namespace lumox::evk {

// count samples in planes of plane samples, image order, columns per row.
void apply_grayscale_correction(uint16_t *image, int count, int plane, int columns);
void apply_flim_correction(uint16_t *image, int count, int plane);
// Ambient-light correction of the first two sorted DCS planes (12-bit values).
void correct_ambient_dcs(uint16_t *image, int count, int plane, int columns);

// Temperature drift in phase units at the current modulation frequency.
double temperature_drift_phase();

}  // namespace lumox::evk
