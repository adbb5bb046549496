// The camera's parameter store: values of up to 18 bytes keyed by the 8-bit identifier of the
// 20-byte wire record, with the defaults a freshly powered camera reports.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vcam/registers.h"
#include "vcam/wire.h"

namespace lumox::vcam {

struct ParamDefaults {
    std::string product;
    std::string id2;
    ChipIdentity chip;
    uint32_t frame_rate = 20;
    int16_t temp_sensor = 0;
    int16_t temp_board = 0;
};

class ParamStore {
  public:
    explicit ParamStore(const ParamDefaults &defaults);

    void restore_defaults();
    std::optional<std::vector<uint8_t>> get(uint8_t id) const;
    // Values longer than 18 bytes are cut to 18.
    void set(uint8_t id, std::span<const uint8_t> value);
    uint32_t get_u32(uint8_t id) const;  // first four value bytes, little-endian (missing = 0)

    // The 20-byte wire record of an identifier; an unknown identifier reports length 0.
    std::array<uint8_t, kParamRecordSize> record(uint8_t id) const;

  private:
    ParamDefaults defaults_;
    std::map<uint8_t, std::vector<uint8_t>> values_;
};

}  // namespace lumox::vcam
