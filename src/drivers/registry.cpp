// Driver registry: the four process-wide driver records and the lookup by product string.

#include <cstdio>
#include <cstring>

#include "lumox/driver.h"
#include "lumox/log.h"

static_assert(sizeof(lumox_drv) == 5 * sizeof(void *));
static_assert(sizeof(lumox_drv_ops) == 11 * sizeof(void (*)()));

namespace {

// Searched in this order. The EPC records share one table but each keeps its own binding.
lumox_drv g_drivers[] = {
    {"TI OP8241 chip driver", "T0", &g_lumox_driver_op_ti, nullptr, nullptr},
    {"EPC chip driver", "E1", &g_lumox_driver_op_epc, nullptr, nullptr},
    {"EPC chip driver", "E2", &g_lumox_driver_op_epc, nullptr, nullptr},
    {"EPC chip driver", "E3", &g_lumox_driver_op_epc, nullptr, nullptr},
};

}  // namespace

extern "C" {

LUMOX_API lumox_drv *lumox_drv_find(lumox_dev_t *dev) noexcept {
    if (!dev) return nullptr;
    // The product field is not terminated when the camera fills all of it.
    char product[sizeof dev->product + 1] = {};
    std::memcpy(product, dev->product, sizeof dev->product);
    char family[17] = {};
    char code[17] = {};
    char firmware[17] = {};
    if (std::sscanf(product, "%16[^-]-%16[^-]-%16[^-]", family, code, firmware) != 3) {
        return nullptr;
    }
    for (auto &drv : g_drivers) {
        if (std::strcmp(code, drv.code) == 0) {
            lx_log(LX_LOG_DBG, "DBG", "[%s]  find driver for device %s : %s\n", "lumox_drv_find",
                   product, drv.name);
            return &drv;
        }
    }
    return nullptr;
}

}  // extern "C"
