#include "evk/sensor_io.h"

#include "evk/config.h"
#include "evk/device_port.h"

namespace lumox::evk {

namespace {
constexpr int kRegIdentityIndex = 17;
constexpr int kRegIdentityData = 18;
}  // namespace

void update_bits(int address, int reg, uint8_t mask, uint8_t bits) {
    uint8_t value = read_register(address, reg);
    write_register(address, reg, static_cast<uint8_t>((value & ~mask) | (bits & mask)));
}

void set_bits_of(int address, int reg, uint8_t mask, bool on) {
    update_bits(address, reg, mask, on ? mask : 0);
}

void set_low_nibble_of(int address, int reg, uint8_t nibble) {
    update_bits(address, reg, 0x0F, nibble);
}

void write_pair(int address, int reg, uint16_t value) {
    unsigned char bytes[2] = {static_cast<unsigned char>(value >> 8),
                              static_cast<unsigned char>(value & 0xFF)};
    unsigned char *buffer = bytes;
    i2c(address, 'w', reg, 2, &buffer);
}

uint8_t read_identity(int address, uint8_t index) {
    write_register(address, kRegIdentityIndex, index);
    return read_register(address, kRegIdentityData);
}

uint16_t read_identity16(int address, uint8_t index) {
    write_register(address, kRegIdentityIndex, index);
    uint8_t high = read_register(address, kRegIdentityData);
    uint8_t low = read_register(address, kRegIdentityData);
    return static_cast<uint16_t>((high << 8) | low);
}

void write_identity(int address, uint8_t index, uint8_t value) {
    write_register(address, kRegIdentityIndex, index);
    write_register(address, kRegIdentityData, value);
}

bool set_camera_param(uint32_t id, uint32_t value, uint8_t length) {
    if (length > 4) return false;
    uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return device_port().param_set(g_lx_dev, id, bytes, length);
}

}  // namespace lumox::evk
