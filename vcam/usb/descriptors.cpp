#include "vcam/usb/descriptors.h"

namespace lumox::vcam {

namespace {

constexpr uint8_t kDescDevice = 1;
constexpr uint8_t kDescConfig = 2;
constexpr uint8_t kDescString = 3;
constexpr uint8_t kDescInterface = 4;
constexpr uint8_t kDescEndpoint = 5;
constexpr uint8_t kStringManufacturer = 1;
constexpr uint8_t kStringProduct = 2;
constexpr uint8_t kStringSerial = 3;

void push16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

std::vector<uint8_t> device(uint16_t vendor, uint16_t product, uint8_t cls, uint8_t protocol,
                            uint8_t max_packet0, uint8_t manufacturer, uint8_t product_str,
                            uint8_t serial) {
    std::vector<uint8_t> d = {18, kDescDevice};
    push16(d, 0x0200);  // bcdUSB
    d.push_back(cls);
    d.push_back(0);  // subclass
    d.push_back(protocol);
    d.push_back(max_packet0);
    push16(d, vendor);
    push16(d, product);
    push16(d, 0x0100);  // bcdDevice
    d.push_back(manufacturer);
    d.push_back(product_str);
    d.push_back(serial);
    d.push_back(1);  // configurations
    return d;
}

}  // namespace

std::vector<uint8_t> device_descriptor(bool) {
    return device(kVendorId, kProductId, 0xFF, 0, 64, kStringManufacturer, kStringProduct,
                  kStringSerial);
}

std::vector<uint8_t> configuration_descriptor(bool high_speed) {
    std::vector<uint8_t> c = {9, kDescConfig, 0,  0, kInterfaceCount, kConfigurationValue,
                              0, 0x80,        250};
    // Interface 0: the frame stream.
    c.insert(c.end(), {9, kDescInterface, 0, 0, 1, 0xFF, 0, 0, 0});
    c.insert(c.end(), {7, kDescEndpoint, kStreamEndpoint, 0x02});
    push16(c, high_speed ? 512 : 64);
    c.push_back(0);
    // Interface 1: the alternative the host claims when interface 0 is taken.
    c.insert(c.end(), {9, kDescInterface, 1, 0, 0, 0xFF, 0, 0, 0});
    c[2] = static_cast<uint8_t>(c.size());
    c[3] = static_cast<uint8_t>(c.size() >> 8);
    return c;
}

std::vector<uint8_t> sysfs_descriptors(bool high_speed) {
    std::vector<uint8_t> all = device_descriptor(high_speed);
    std::vector<uint8_t> config = configuration_descriptor(high_speed);
    all.insert(all.end(), config.begin(), config.end());
    return all;
}

std::optional<std::vector<uint8_t>> string_descriptor(const UsbStrings &strings, uint8_t index) {
    const std::string *text = nullptr;
    switch (index) {
        case 0:
            return std::vector<uint8_t>{4, kDescString, 0x09, 0x04};  // en-US
        case kStringManufacturer:
            text = &strings.manufacturer;
            break;
        case kStringProduct:
            text = &strings.product;
            break;
        case kStringSerial:
            text = &strings.serial;
            break;
        default:
            return std::nullopt;
    }
    std::vector<uint8_t> d = {0, kDescString};
    for (char ch : *text) push16(d, static_cast<uint8_t>(ch));
    if (d.size() > 254) d.resize(254);
    d[0] = static_cast<uint8_t>(d.size());
    return d;
}

std::vector<uint8_t> root_hub_descriptors() {
    std::vector<uint8_t> all = device(0x1D6B, 0x0002, 0x09, 1, 64, 0, 0, 0);
    all.insert(all.end(), {9, kDescConfig, 25, 0, 1, 1, 0, 0xE0, 0});
    all.insert(all.end(), {9, kDescInterface, 0, 0, 1, 0x09, 0, 0, 0});
    all.insert(all.end(), {7, kDescEndpoint, 0x81, 0x03, 4, 0, 12});
    return all;
}

}  // namespace lumox::vcam
