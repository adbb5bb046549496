// lumox info: identity, driver and parameters of a camera.

#include <cstdio>

#include "command.h"
#include "param_format.h"
#include "session.h"

namespace lumox_cli {

int cmd_info(const Args &args) {
    Session session(args);
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    const lumox_drv *drv = lumox_dev_get_drv(dev);
    std::printf("location   %u:%u (address %u, speed %u)\n", dev->bus, dev->port, dev->addr,
                dev->speed);
    std::printf("product    %s\n", record_field(dev->product, sizeof dev->product).c_str());
    std::printf("identity   %s\n", record_field(dev->id2, sizeof dev->id2).c_str());
    std::printf("param 5    [%s]\n", hex_bytes(dev->id5_data, sizeof dev->id5_data).c_str());
    std::printf("param 6    [%s]\n", hex_bytes(dev->id6_data, sizeof dev->id6_data).c_str());
    std::printf("driver     %s (%s)\n", drv ? drv->name : "-", drv ? drv->code : "-");
    std::printf("parameters:\n");
    const uint32_t ids[] = {LUMOX_PARAM_MODE,       LUMOX_PARAM_CHIP_INFO,  LUMOX_PARAM_CALIB_INFO,
                            LUMOX_PARAM_OP_MODE,    LUMOX_PARAM_FRAME_RATE, LUMOX_PARAM_INTG_TIME,
                            LUMOX_PARAM_TEMPERATURE};
    for (uint32_t id : ids) {
        lumox_param_item item{};
        item.param_id = id;
        if (lumox_param_batch_get(dev, &item, 1)) {
            print_param(item);
        } else {
            std::printf("%3u %-24s (not answered)\n", id, lumox_param_name(id));
        }
    }
    return kExitOk;
}

}  // namespace lumox_cli
