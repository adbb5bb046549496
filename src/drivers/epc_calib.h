// The camera's calibration package: download in data-upload mode, unpacking of its zip archive
// and splitting of the per-chip file into the two calibration files the chip configuration loads.
//
// Package layout ("calibration.bin"): a 17-byte header (valid flag at 0, compression at 2 with 1
// meaning zip, version at 3, total size at 7, zip data size at 11, checksum at 15, little-endian)
// followed by the zip archive. The archive holds "calib_and_param_NNN.bin" (NNN the chip id):
// the parameter file's bytes followed by the distance-image file's bytes, the parameter part
// being the file's size modulo 256.
#pragma once

#include <cstdint>
#include <string>

#include "lumox/device.h"
#include "lumox/driver.h"

namespace lumox::drivers {

constexpr size_t kCalibHeaderSize = 17;

// Where the two calibration files of one chip go (full paths).
struct CalibTargets {
    std::string param_path;
    std::string dist_path;
};

// Most bytes one calibration archive may unpack to. A real package unpacks to about 5 MB; the
// bound keeps a damaged or hostile archive from filling the disk.
inline constexpr uint64_t kCalibMaxExtractedBytes = 256ull << 20;

// Extracts every entry of the zip archive into dir (entries that would land outside dir are
// refused). Returns false when the archive cannot be read, an entry cannot be written, or the
// entries would unpack to more than max_bytes; an entry cut short is removed.
bool calib_extract_zip(const char *zip_path, const char *dir,
                       uint64_t max_bytes = kCalibMaxExtractedBytes);

// Splits a per-chip file into the parameter and distance-image files. The targets are written
// only after the source was read whole, so a failure never destroys existing calibration files.
// Deletes the per-chip file on success.
bool calib_split_chip_file(const char *chip_file, const CalibTargets &targets);

// Unpacks a downloaded package: header check, archive extraction into prefix, then the per-chip
// file whose name shares its first 15 characters with "calib_and_param_<chip>.bin" is split.
// Temporary files are removed. Returns true when calibration files were written.
bool calib_unpack_package(const char *package_path, const char *prefix, uint16_t chip_id,
                          const CalibTargets &targets);

// Downloads the camera's calibration package in data-upload mode into prefix + "calibration.bin",
// unpacks it into the targets and deletes the temporary files. Returns true once the camera
// reported valid calibration data (whatever happened after); the caller checks the files.
bool calib_download(lumox_dev_t *dev, const char *prefix, const CalibTargets &targets);

}  // namespace lumox::drivers

// The EPC driver's calib_load slot: fetches the calibration package when the calibration files
// are missing, then fixes the calibration constants of the distance calculation. Returns 0.
int32_t epc_calib_save(lumox_drv *drv, uint32_t unused, int32_t value, int32_t mode);
