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
    {37, 0x01},  {40, 0x0E},  {43, 0x0B}, {125, 0x04},  // clock control: normal mode
    {126, 0x00},               // top bit clear: the chip already runs in normal mode
    {128, 0x3F},               // modulation control
    {129, 0x00},               // system clock divider exponent 0 (bits 4-5)
    {130, 0x17},               // PLL multiplier 23: (23 + 1) * 4000 kHz = 96 MHz
    {133, 0x00},               // modulation clock divider
    {139, 0x02},               // demodulation delay
    {146, 0x01},               // pseudo-noise polynomial 1, HDR off
    {148, 0x00}, {160, 0x00},  // integration multiplier 1
    {161, 0x01}, {162, 0x04},  // integration count 1200
    {163, 0xB0}, {174, 0x04},  // DLL control
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
