#include "vcam/registers.h"

namespace lumox::vcam {

namespace {

// Power-on values of the sensor registers that the host reads before writing them.
struct PowerOn {
    uint8_t address;
    uint8_t value;
};
constexpr PowerOn kPowerOn[] = {
    {0, 0x66},   // chip family code
    {34, 0x04},  // HDR pattern / ABS of the four integration slots
    {37, 0x01},  {40, 0x0E},  {43, 0x0B},  {125, 0x04},  // clock control: normal mode
    {126, 0x00},  // top bit clear: the chip already runs in normal mode
    {128, 0x3F},  // modulation control
    {129, 0x00},  // system clock divider exponent 0 (bits 4-5)
    {130, 0x17},  // PLL multiplier 23: (23 + 1) * 4000 kHz = 96 MHz
    {133, 0x01},  // modulation clock divider: 96 MHz / 8 = 12 MHz
    {139, 0x02},  // demodulation delay
    {146, 0x31},  // four DCS, pseudo-noise polynomial 1, HDR off
    {148, 0x00}, {150, 0x00}, {151, 0x04}, {152, 0x01},
    {153, 0x43}, {154, 0x06}, {155, 0x7D},  // ROI
    {160, 0x00},                            // integration multiplier 1
    {161, 0x01}, {162, 0x04},               // integration count 1200
    {163, 0xB0}, {174, 0x04},               // DLL control
};

}  // namespace

RegisterFile::RegisterFile(const ChipIdentity &chip) : chip_(chip) { power_on_sensor(); }

void RegisterFile::power_on_sensor() {
    sensor_.fill(0);
    for (const PowerOn &p : kPowerOn) sensor_[p.address] = p.value;
    sensor_[1] = chip_.ic_version;
    identity_.fill(0);
    identity_[kIdentityInfo] = 0x01;
    identity_[kIdentityWafer] = static_cast<uint8_t>(chip_.wafer_id >> 8);
    identity_[kIdentityWafer + 1] = static_cast<uint8_t>(chip_.wafer_id);
    identity_[kIdentityChip] = static_cast<uint8_t>(chip_.chip_id >> 8);
    identity_[kIdentityChip + 1] = static_cast<uint8_t>(chip_.chip_id);
    identity_[kIdentityPartType] = chip_.part_type;
    identity_[kIdentityPartVersion] = chip_.part_version;
    identity_index_ = 0;
    dll_measurements_ = 0;
}

void RegisterFile::measure_dll() {
    if (sensor_[kRegDllControl] & 0x01) {
        sensor_[kRegDllStatus] = 0;  // bypassed: nothing to measure
        return;
    }
    const uint32_t n = dll_measurements_++;
    if (n == 0) {
        sensor_[kRegDllStatus] = 0x01;  // still settling
        return;
    }
    static constexpr int kJitter[8] = {0, 1, -1, 2, -2, 1, -1, kDllOutlier};
    const auto fine = static_cast<uint16_t>(kDllFine + kJitter[n % 8]);
    sensor_[kRegDllStatus] = 0x03;
    const uint8_t result[6] = {
        static_cast<uint8_t>(fine >> 8), static_cast<uint8_t>(fine), kDllCoarse,
        static_cast<uint8_t>(fine >> 8), static_cast<uint8_t>(fine), static_cast<uint8_t>(n)};
    for (uint32_t i = 0; i < 6; ++i) sensor_[kRegDllResult + i] = result[i];
}

ReadOut RegisterFile::readout() const {
    ReadOut r;
    const uint8_t mode = sensor_[148];
    r.col_shift = (mode & 0x10) ? 1 : 0;
    r.row_shift = static_cast<uint8_t>((mode >> 2) & 0x03);
    r.row_average = (mode & 0x20) != 0;
    const uint8_t type = part_type();
    r.dcs = (type == 3 || type == 5) ? 2 : static_cast<uint8_t>(((sensor_[146] >> 4) & 0x03) + 1);
    r.halves = (type == 4 || type == 5) ? 1 : 2;
    return r;
}

uint32_t RegisterFile::modulation_khz() const {
    if (sensor_[128] == 127) return 36000;
    const uint32_t sys = (((sensor_[130] & 0x1Fu) + 1) * 4000) >> ((sensor_[129] >> 4) & 3);
    return sys / (4 * ((sensor_[133] & 0x1Fu) + 1));
}

void RegisterFile::roi(uint32_t &x1, uint32_t &x2, uint32_t &y1, uint32_t &y2) const {
    x1 = (sensor_[150] << 8) | sensor_[151];
    x2 = (sensor_[152] << 8) | sensor_[153];
    y1 = sensor_[154];
    y2 = sensor_[155];
}

bool RegisterFile::in_range(uint8_t target, uint32_t address, uint32_t count) const {
    if (target != kTargetSensor) return true;
    return address <= kSensorRegisterCount && count <= kSensorRegisterCount - address;
}

bool RegisterFile::read(uint8_t target, uint32_t address, uint32_t &value) {
    if (!in_range(target, address, 1)) return false;
    if (target == kTargetSensor && address == kRegIdentityData) {
        value = identity_[identity_index_++];
        return true;
    }
    value = peek(target, address);
    return true;
}

bool RegisterFile::write(uint8_t target, uint32_t address, uint32_t value) {
    if (!in_range(target, address, 1)) return false;
    if (target == kTargetSensor) {
        sensor_[address] = static_cast<uint8_t>(value);
        if (address == kRegIdentityIndex) identity_index_ = static_cast<uint8_t>(value);
        if (address == kRegIdentityData && identity_index_ == kIdentityPartType) {
            identity_[kIdentityPartType] = static_cast<uint8_t>(value);
        }
        if (address == kRegDllTrigger && value != 0) measure_dll();
        // Switching the clock control to normal mode (4) ends the start-up mode that the top bit
        // of register 126 reports.
        if (address == kRegClockControl && value == kClockNormal) sensor_[kRegClockStatus] &= 0x7F;
        return true;
    }
    other_[{target, address}] = value;
    return true;
}

uint32_t RegisterFile::peek(uint8_t target, uint32_t address) const {
    if (target == kTargetSensor) {
        if (address >= kSensorRegisterCount) return 0;
        if (address == kRegIdentityData) return identity_[identity_index_];
        return sensor_[address];
    }
    auto it = other_.find({target, address});
    return it == other_.end() ? 0 : it->second;
}

}  // namespace lumox::vcam
