#include "evk/i2c.h"

#include <cstdio>
#include <vector>

#include "evk/device_port.h"

namespace {

constexpr unsigned kCountWarn = 257;
constexpr unsigned kCountMax = 0xFFFF;  // a register batch carries a 16-bit count
constexpr int kResetSensor = 1;

int fail(const char *message) {
    std::printf("%s\n", message);
    return -1;
}

}  // namespace

using lumox::evk::device_port;

extern "C" {

LUMOX_API int i2c(int address, char operation, int reg, unsigned int count,
                  unsigned char **buffer) noexcept {
    if (address < 0 || address >= 128) return fail("Device address is out of range.");
    if (reg < 0 || reg >= 256) return fail("Register address is out of range.");
    if (count > kCountWarn) std::printf("rw much data: %d\n", static_cast<int>(count));

    bool needs_buffer = operation == 'd' || operation == 'r' || operation == 'w';
    if (needs_buffer && (!buffer || !*buffer)) return fail("No data buffer.");
    // A batch cannot carry more than a 16-bit count; refusing beats a silently shortened one.
    if ((operation == 'r' || operation == 'w') && count > kCountMax) {
        return fail("Too many registers.");
    }

    switch (operation) {
        case 'd':
            (*buffer)[0] = 32;
            (*buffer)[1] = 255;
            return 0;
        case 'l':
            std::printf("uncompleted function : %s!\n", "<i2c device reload>");
            return 0;
        case 'r': {
            std::vector<uint32_t> values(count);
            if (!device_port().reg_read(g_lx_dev, static_cast<uint32_t>(reg), values.data(),
                                        static_cast<uint16_t>(count))) {
                return fail("reg read faild!");
            }
            for (unsigned i = 0; i < count; ++i)
                (*buffer)[i] = static_cast<unsigned char>(values[i]);
            return 0;
        }
        case 's':
            if (!device_port().reset(g_lx_dev, kResetSensor))
                return fail("reset tfc device failed!");
            return 0;
        case 'w': {
            std::vector<uint32_t> values((*buffer), (*buffer) + count);
            if (!device_port().reg_write(g_lx_dev, static_cast<uint32_t>(reg), values.data(),
                                         static_cast<uint16_t>(count))) {
                return fail("reg write fail!");
            }
            return 0;
        }
        default:
            return fail(
                "Invalid operation: Only 'd' (devices), 'r' (read), 'w' (write) and 's' (software "
                "reset) are allowed.");
    }
}

}  // extern "C"
