// Register spaces of the virtual camera. Target 1 is the sensor chip: 256 8-bit registers with
// their power-on values, an identity memory read through the index/data port at registers 17
// (index) and 18 (data, advancing the index on every read), and the clock registers from which
// the host derives the system and modulation clocks. Every other target is a plain space of
// 32-bit words that reads 0 until written.
//
// The sensor also acts on some writes:
// - Writing register 18 while the index is 250 switches the chip's personality: the part type it
//   reports becomes the value written (3 or 5: FLIM, 2 or 4: time of flight) until the sensor is
//   powered on again.
// - Writing a non-zero value to register 164 while the DLL runs (register 174 bit 0 clear)
//   measures the DLL: the first measurement after power-on finds it still settling (status
//   register 112 = 1); later ones report a lock (112 = 3) with the result in registers 116-121:
//   fine control value (116 high, 117 low), coarse control value (118), then the fine value again
//   and the measurement count. The fine value jitters by a few steps around kDllFine, and every
//   eighth measurement is an outlier kDllOutlier steps off.
// - Writing 4 (normal mode) to the clock control register 125 clears the start-up flag, the top
//   bit of register 126.
// - The modulation frequency follows the clock registers: the system clock ((register 130 bits 0-4)
//   + 1) x 4000 kHz >> (register 129 bits 4-5), divided by 4 x (register 133 + 1); 36 MHz when
//   register 128 is 127. At power-on 12 MHz.
// - The region of interest (registers 150-155, 4..323 x 6..125 at power-on) places the frame on
//   the pixel array.
// - The read-out (ReadOut of vcam/stream.h) follows registers 148 (bit 4 horizontal binning, bits
//   2-3 row reduction, bit 5 vertical binning) and 146 (bits 4-5: DCS count - 1); a FLIM
//   personality reads two DCS; an epc635 (part type 4 or 5) reads one half.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <utility>

#include "vcam/stream.h"

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

inline constexpr uint32_t kRegClockControl = 125;
inline constexpr uint32_t kRegClockStatus = 126;
inline constexpr uint8_t kClockNormal = 4;

// The DLL the sensor locks to (see above).
inline constexpr uint8_t kDllCoarse = 5;
inline constexpr uint16_t kDllFine = 420;
inline constexpr int kDllOutlier = 40;
inline constexpr uint32_t kRegDllStatus = 112;
inline constexpr uint32_t kRegDllResult = 116;
inline constexpr uint32_t kRegDllTrigger = 164;
inline constexpr uint32_t kRegDllControl = 174;

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

    // The read-out the sensor registers select.
    ReadOut readout() const;
    // The modulation frequency the clock registers select (128, 129, 130, 133), in kHz.
    uint32_t modulation_khz() const;
    // Ambient-light suppression (ABS): bits 4-5 of register 34.
    bool ambient_suppression() const { return (sensor_[34] & 0x30) == 0x30; }
    // The region of interest of registers 150-155: columns x1..x2, rows y1..y2 of each half.
    void roi(uint32_t &x1, uint32_t &x2, uint32_t &y1, uint32_t &y2) const;
    // The part type the chip reports now (its personality).
    uint8_t part_type() const { return identity_[kIdentityPartType]; }

  private:
    ChipIdentity chip_;
    std::array<uint8_t, kSensorRegisterCount> sensor_{};
    std::array<uint8_t, 256> identity_{};
    uint8_t identity_index_ = 0;
    uint32_t dll_measurements_ = 0;

    void measure_dll();
    std::map<std::pair<uint8_t, uint32_t>, uint32_t> other_;
};

}  // namespace lumox::vcam
