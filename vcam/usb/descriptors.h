// USB descriptors of the virtual camera: vendor 0x111B, product 0x1238, one configuration (1)
// with interface 0 (bulk IN 0x81, the frame stream) and interface 1 (no endpoints; the host
// claims it when interface 0 is taken).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumox::vcam {

inline constexpr uint16_t kVendorId = 0x111B;
inline constexpr uint16_t kProductId = 0x1238;
inline constexpr uint8_t kConfigurationValue = 1;
inline constexpr uint8_t kStreamEndpoint = 0x81;
inline constexpr uint8_t kInterfaceCount = 2;

struct UsbStrings {
    std::string manufacturer = "Lumox";
    std::string product;
    std::string serial;
};

std::vector<uint8_t> device_descriptor(bool high_speed);
std::vector<uint8_t> configuration_descriptor(bool high_speed);
// Device and configuration descriptors back to back, as sysfs "descriptors" holds them.
std::vector<uint8_t> sysfs_descriptors(bool high_speed);
// String descriptor `index` (0: the language list); nullopt for an unknown index.
std::optional<std::vector<uint8_t>> string_descriptor(const UsbStrings &strings, uint8_t index);

// Descriptors of a root hub, for the bus's parent device.
std::vector<uint8_t> root_hub_descriptors();

}  // namespace lumox::vcam
