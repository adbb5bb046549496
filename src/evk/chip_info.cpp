// Chip information record and the register dump.
#include "evk/config.h"
#include "evk/sensor_io.h"

namespace {

constexpr uint8_t kIdentityInfo = 245;  // info byte, wafer id, chip id, part type, part version
constexpr int kRegisterCount = 256;

}  // namespace

using namespace lumox::evk;

extern "C" {

LUMOX_API int chipInfoGetInfo(int address, uint16_t *record) noexcept {
    if (!record) return -1;
    record[0] = read_register(address, 0);
    record[1] = read_register(address, 1);
    // Seven successive bytes of the identity memory from the info byte on.
    uint8_t bytes[7];
    bytes[0] = read_identity(address, kIdentityInfo);
    unsigned char *buffer = bytes + 1;
    for (int i = 1; i < 7; ++i, ++buffer) {
        *buffer = 0;
        i2c(address, 'r', 18, 1, &buffer);
    }
    record[2] = bytes[0];
    record[3] = static_cast<uint16_t>((bytes[1] << 8) | bytes[2]);
    record[4] = static_cast<uint16_t>((bytes[3] << 8) | bytes[4]);
    record[5] = bytes[5];
    record[6] = bytes[6];
    record[7] = static_cast<uint16_t>(configGetSequencerVersion());
    return 8;
}

LUMOX_API int dumpAllRegisters(int address, uint16_t *array) noexcept {
    if (!array) return -1;
    unsigned char values[kRegisterCount] = {};
    unsigned char *buffer = values;
    if (i2c(address, 'r', 0, kRegisterCount, &buffer) != 0) return -1;
    for (int i = 0; i < kRegisterCount; ++i) array[i] = values[i];
    return kRegisterCount;
}

}  // extern "C"
