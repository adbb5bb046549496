// Register spaces of the virtual camera. Target 1 is the sensor chip: 256 8-bit registers with
// their power-on values, an identity memory read through the index/data port at registers 17
// (index) and 18 (data, advancing the index on every read), and the clock registers from which
// the host derives the system and modulation clocks. Every other target is a plain space of
// 32-bit words that reads 0 until written.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <utility>

namespace lumox::vcam {

// Identity of the sensor chip, as registers, identity memory and parameter 7 report it.
struct ChipIdentity {
    uint8_t part_type = 2;  // 2: epc660; 4 or 5: epc635
    uint8_t part_version = 7;
    uint8_t ic_version = 3;
    uint16_t chip_id = 12;
    uint16_t wafer_id = 3;
};

inline constexpr uint8_t kTargetSensor = 1;
inline constexpr uint32_t kSensorRegisterCount = 256;
inline constexpr uint32_t kRegIdentityIndex = 17;
inline constexpr uint32_t kRegIdentityData = 18;

// Identity memory addresses selected through register 17.
inline constexpr uint8_t kIdentityInfo =
    245;  // seven bytes from here: info, wafer, chip, type, version
inline constexpr uint8_t kIdentityWafer = 246;  // two bytes, high byte first
inline constexpr uint8_t kIdentityChip = 248;   // two bytes, high byte first
inline constexpr uint8_t kIdentityPartType = 250;
inline constexpr uint8_t kIdentityPartVersion = 251;

// One register write the host sent, in arrival order.
struct RegisterWrite {
    uint8_t target;
    uint32_t address;
    uint32_t value;
    bool operator==(const RegisterWrite &) const = default;
};

class RegisterFile {
  public:
    explicit RegisterFile(const ChipIdentity &chip);

    // False when the address lies outside the target's space.
    bool read(uint8_t target, uint32_t address, uint32_t &value);
    bool write(uint8_t target, uint32_t address, uint32_t value);
    // Reads without the side effect of the identity data port.
    uint32_t peek(uint8_t target, uint32_t address) const;
    bool in_range(uint8_t target, uint32_t address, uint32_t count) const;

    // Back to the power-on values of the sensor (target 1) only.
    void power_on_sensor();

  private:
    ChipIdentity chip_;
    std::array<uint8_t, kSensorRegisterCount> sensor_{};
    std::array<uint8_t, 256> identity_{};
    uint8_t identity_index_ = 0;
    std::map<std::pair<uint8_t, uint32_t>, uint32_t> other_;
};

}  // namespace lumox::vcam
