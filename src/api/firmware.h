// Limits of the flash-image protocol that tests may shorten.
#pragma once

#include <cstdint>

namespace lumox::api {

struct DataTransferTiming {
    // How long a write keeps asking while the camera reports that it is still erasing.
    int64_t erase_limit_ms = 120000;
};

// Installs new limits; returns the previous ones.
DataTransferTiming set_data_transfer_timing(const DataTransferTiming &timing);

}  // namespace lumox::api
