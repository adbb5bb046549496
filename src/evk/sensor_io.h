// Small register operations of the read-out, mode, FLIM, DLL and boot code: read-modify-write of
// bit fields, 16-bit register pairs (high byte first), the identity index/data port, and camera
// parameters on the bound device. Everything goes through the register bridge i2c(), whose
// failures print their own message; a failed read yields 0.
#pragma once

#include <cstdint>

namespace lumox::evk {

// Replaces the bits of mask in one register by those of bits (read, modify, write).
void update_bits(int address, int reg, uint8_t mask, uint8_t bits);
// Sets (on) or clears the bits of mask.
void set_bits_of(int address, int reg, uint8_t mask, bool on);
// The low nibble of one register, keeping the high nibble.
void set_low_nibble_of(int address, int reg, uint8_t nibble);
// A 16-bit value into reg (high byte) and reg + 1 (low byte).
void write_pair(int address, int reg, uint16_t value);

// Identity memory bytes through the index (17) / data (18) port: the byte at index, and the
// 16-bit value at index and index + 1, high byte first.
uint8_t read_identity(int address, uint8_t index);
uint16_t read_identity16(int address, uint8_t index);
// Writes value to the identity memory at index (the personality switch uses index 250).
void write_identity(int address, uint8_t index, uint8_t value);

// A camera parameter of up to 4 bytes (little-endian) on the bound device; false on failure.
bool set_camera_param(uint32_t id, uint32_t value, uint8_t length);

}  // namespace lumox::evk
