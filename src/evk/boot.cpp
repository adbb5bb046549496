// The evaluation kit's power-up and identity sequence (lumox/evk_api.h). The board's GPIO lines
// and power rails do not exist here; their functions keep the kit's calling order and do nothing.
#include "lumox/evk.h"

#include "evk/config.h"
#include "evk/sensor_io.h"
#include "platform/clock.h"
#include "testing/hooks.h"

namespace lumox::evk {
namespace {

// GPIO lines of the kit's board, kept so the sequence reads as the kit's does.
constexpr int kGpioEpcEnable = 60;
constexpr int kGpioPowerRail = 49;
constexpr int kGpioIllumination = 50;
constexpr int kGpioReset = 48;
constexpr int kGpioDirOut = 1;

constexpr int kBootAttempts = 10;
constexpr int kFirstAddress = 32, kLastAddress = 35;
constexpr uint32_t kPowerUpWaitMs = 500;
constexpr uint32_t kPowerDownWaitMs = 1000;

constexpr int kRegIcVersion = 1;
constexpr uint8_t kIdentityWafer = 246;
constexpr uint8_t kIdentityChip = 248;
constexpr uint8_t kIdentityPartType = 250;
constexpr uint8_t kIdentityPartVersion = 251;

constexpr int kRegClockControl = 125;
constexpr int kRegClockStatus = 126;
constexpr int kRegModControl = 128;

int bridge_query(unsigned char reply[2]) {
    unsigned char *buffer = reply;
    return i2c(0, 'd', 0, 2, &buffer);
}

DeviceQuery g_query = bridge_query;
bool g_illumination = false;

void power_rails(int value) {
    gpio_set_val(kGpioPowerRail, value);
    gpio_set_val(kGpioEpcEnable, value);
}

}  // namespace

DeviceQuery set_device_query(DeviceQuery query) {
    DeviceQuery previous = g_query;
    g_query = query ? query : bridge_query;
    return previous;
}

}  // namespace lumox::evk

using namespace lumox::evk;
using lumox::platform::sleep_ms;

extern "C" {

LUMOX_API int gpio_export(int) noexcept { return 0; }
LUMOX_API int gpio_unexport(int) noexcept { return 0; }
LUMOX_API int gpio_open_dir(int) noexcept { return 0; }
LUMOX_API int gpio_set_dir(int, int) noexcept { return 0; }
LUMOX_API int gpio_get_dir(int) noexcept { return 1; }
LUMOX_API int gpio_close_dir(int) noexcept { return 0; }
LUMOX_API int gpio_open_val(int) noexcept { return 0; }
LUMOX_API int gpio_set_val(int, int) noexcept { return 0; }
LUMOX_API int gpio_get_val(int) noexcept { return 0; }
LUMOX_API int gpio_close_val(int) noexcept { return 0; }
LUMOX_API int bbbLEDEnable(int, int) noexcept { return 0; }

LUMOX_API int bootInit(void) noexcept {
    for (int gpio : {kGpioEpcEnable, kGpioPowerRail, kGpioIllumination, kGpioReset}) {
        gpio_export(gpio);
        gpio_open_dir(gpio);
        gpio_set_dir(gpio, kGpioDirOut);
        gpio_close_dir(gpio);
        gpio_open_val(gpio);
    }
    return 0;
}

LUMOX_API int bootRelease(void) noexcept {
    for (int gpio : {kGpioEpcEnable, kGpioPowerRail, kGpioIllumination, kGpioReset}) {
        gpio_close_val(gpio);
        gpio_unexport(gpio);
    }
    return 0;
}

LUMOX_API int bootUnexportAll(void) noexcept { return bootRelease(); }

LUMOX_API int bootReset(void) noexcept {
    gpio_set_val(kGpioReset, 0);
    sleep_ms(1);
    gpio_set_val(kGpioReset, 1);
    sleep_ms(kPowerUpWaitMs);
    return 0;
}

LUMOX_API int bootUndo(void) noexcept {
    gpio_set_val(kGpioIllumination, 0);
    power_rails(0);
    sleep_ms(kPowerDownWaitMs);
    return bootRelease();
}

LUMOX_API int bootCloseEpc660_enable(void) noexcept { return gpio_close_val(kGpioEpcEnable); }

LUMOX_API int illuminationEnable(void) noexcept {
    gpio_set_val(kGpioIllumination, 1);
    g_illumination = true;
    return 0;
}

LUMOX_API int illuminationDisable(void) noexcept {
    gpio_set_val(kGpioIllumination, 0);
    g_illumination = false;
    return 0;
}

LUMOX_API int isIlluminationEnabled(void) noexcept { return g_illumination ? 1 : 0; }

LUMOX_API int bootGetIcVersion(int address) noexcept {
    int value = read_register(address, kRegIcVersion);
    print_message("IC_VERSION: %i\n", value);
    return value;
}

LUMOX_API int bootGetPartType(int address) noexcept {
    int value = read_identity(address, kIdentityPartType);
    print_message("PART_TYPE: %i\n", value);
    return value;
}

LUMOX_API int bootGetPartVersion(int address) noexcept {
    int value = read_identity(address, kIdentityPartVersion);
    print_message("PART_VERSION: %i\n", value);
    return value;
}

LUMOX_API int bootGetWaferID(int address) noexcept {
    int value = read_identity16(address, kIdentityWafer);
    print_message("WAFER_ID: %i\n", value);
    return value;
}

LUMOX_API int bootGetChipID(int address) noexcept {
    int value = read_identity16(address, kIdentityChip);
    print_message("CHIP_ID: %i\n", value);
    return value;
}

LUMOX_API int bootNormalMode(int address) noexcept {
    if ((read_register(address, kRegClockStatus) & 0x80) == 0) return 0;
    print_message("Changing mode...\n");
    print_message("Enabling PLL...\n");
    write_register(address, kRegClockControl, 159);
    sleep_ms(1);
    write_register(address, kRegModControl, 0);
    print_message("Disabling PLL bypass...\n");
    write_register(address, kRegClockControl, 148);
    print_message("Disabling sys_clk bypass...\n");
    write_register(address, kRegClockControl, 132);
    print_message("Switching to normal mode...\n");
    write_register(address, kRegClockControl, 4);
    write_register(address, kRegModControl, 63);
    return 0;
}

LUMOX_API int boot(void) noexcept {
    int address = -1;
    for (int attempt = 0; attempt < kBootAttempts; ++attempt) {
        bootInit();
        power_rails(1);
        sleep_ms(kPowerUpWaitMs);
        unsigned char reply[2] = {0, 0};
        if (g_query(reply) == 0) address = reply[0];
        print_message("deviceAddress = 0x%x\n", static_cast<unsigned>(reply[0]));
        if (address >= kFirstAddress && address <= kLastAddress) break;
        address = -1;
        power_rails(0);
        sleep_ms(kPowerDownWaitMs);
        bootRelease();
    }
    if (address < 0) return -1;

    configSetPartType(bootGetPartType(address));
    configSetPartVersion(bootGetPartVersion(address));
    configSetIcVersion(bootGetIcVersion(address));
    configSetWaferID(bootGetWaferID(address));
    configSetChipID(bootGetChipID(address));
    configSetDeviceAddress(address);
    bootNormalMode(address);
    return address;
}

}  // extern "C"
