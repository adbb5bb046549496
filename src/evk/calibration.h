// DRNU calibration of the epc sensor: the per-chip parameter file (calibration frequency, DRNU
// offset, temperatures, step), the distance-image file turned into the per-pixel DRNU table
// distImagesDRNU, and the linear fit g_calib_scale_m / g_calib_offset_mm (lumox/evk.h).
//
// Both files are read from the path prefix (lumox_path_get) under the names that
// calibrationGetParamName and calibrationGetDistanceImagesName give.
#pragma once

#include <cstdint>
#include <vector>

#include "lumox/evk.h"

namespace lumox::evk {

// Work buffer of the distance-image load: 30 images of the full 328 x 252 array.
constexpr size_t kDrnuWorkBytes = 4959360;
constexpr int kMaxDistances = 30;
constexpr int kDefaultCalibFrequency = 12000;  // kHz

// Whether the calibration files in the path prefix are read at all. A camera that stores no
// calibration of its own has no files to match: its open turns them off, so that the defaults
// apply (and not another camera's table, fit or temperatures).
void set_calibration_files_used(bool used);
bool calibration_files_used();

// Forgets what an earlier camera's calibration left behind: both DRNU table banks (where they were
// filled), the linear fit and the parameter-file values return to their defaults.
void reset_calibration();

// The epc635 calibration covers only part of the array.
void set_calibration_limits(int columns, int rows);

// Calibration modulation frequency in kHz of the parameter file in use.
int calibration_frequency_khz();

// The linear fit of the distance images. a0 and a_mid are the mean phases of image 0 and image
// D/2; returns false when the phases do not determine a line (the fit is then left unchanged).
bool fit_scale_offset(int a0, int a_mid, int frequency_khz, double step_mm, int distances,
                      int *scale, int *offset_mm);

// Image row order to the sensor's raw read-out order: raw row h-2-2m holds image row m and raw
// row 2m+1 holds image row h/2+m (m < h/2).
void unsort_rows(uint16_t *dst, const uint16_t *src, int width, int height);

// The DRNU table of `distances` images of width x height values (image after image, image row
// order) in one pass: pixel i of the raw read-out order (unsort_rows) owns entries i x distances
// .. i x distances + distances - 1 of table, entry k from image k. Raw rows that unsort_rows
// leaves unwritten (odd heights) get 0.
void fill_drnu_table(uint16_t *table, const uint16_t *images, int width, int height, int distances);

// Maps the pages of [data, data + bytes) that the process has not touched yet, so that the first
// reader does not fault on each of them.
void prefault(const void *data, size_t bytes);

}  // namespace lumox::evk
