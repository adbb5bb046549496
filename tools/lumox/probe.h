// A camera opened at the transport level only, for short queries (parameters, the stored image's
// description) that must not start the sensor driver or fetch calibration files the way a full
// open does: `list` describes every camera this way, and the image commands ask the camera why a
// transfer failed.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "args.h"
#include "lumox/lumox.h"

namespace lumox_cli {

class TransportProbe {
  public:
    // Opens the listed transport record (the library must be started).
    explicit TransportProbe(const lumox_ll_dev &record);
    ~TransportProbe();
    TransportProbe(const TransportProbe &) = delete;
    TransportProbe &operator=(const TransportProbe &) = delete;

    bool is_open() const { return dev_ != nullptr; }
    // The value the camera reports for a parameter (possibly empty), or nothing when it did not
    // answer.
    std::optional<std::vector<uint8_t>> param(uint8_t id);
    // The description of the stored image that the data information query returns for type.
    std::optional<al_data_info> data_info(uint8_t type);

  private:
    lumox_ll_dev record_{};
    lumox_ll_dev *dev_ = nullptr;
};

// The transport records of the cameras attached, at most 16.
std::vector<lumox_ll_dev> transport_list();
// The record at the location, or the first one; nothing when there is none.
std::optional<lumox_ll_dev> transport_find(const std::optional<DeviceLocation> &where);

}  // namespace lumox_cli
