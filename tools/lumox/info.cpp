// lumox info: identity, driver and parameters of a camera, decoded into readable fields.

#include <cstdio>
#include <string>

#include "command.h"
#include "correction.h"
#include "param_format.h"
#include "session.h"

namespace lumox_cli {

int cmd_info(const Args &args) {
    Session session(args);
    if (!use_calibration_dir(args.value("--calib"))) return kExitFailure;
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    const lumox_drv *drv = lumox_dev_get_drv(dev);
    const std::string product = record_field(dev->product, sizeof dev->product);
    const std::string parts = describe_product(product);
    std::printf("location        %u:%u (address %u, %s speed)\n", dev->bus, dev->port, dev->addr,
                speed_word(dev->speed));
    std::printf("product         %s%s%s%s\n", product.c_str(), parts.empty() ? "" : " (",
                parts.c_str(), parts.empty() ? "" : ")");
    std::printf("serial          %s\n", record_field(dev->id2, sizeof dev->id2).c_str());
    std::printf("driver          %s (%s)\n", drv ? drv->name : "-", drv ? drv->code : "-");
    std::printf("param 5         [%s]\n", hex_bytes(dev->id5_data, sizeof dev->id5_data).c_str());
    std::printf("param 6         [%s]\n", hex_bytes(dev->id6_data, sizeof dev->id6_data).c_str());
    const struct {
        uint32_t id;
        const char *label;
    } fields[] = {{LUMOX_PARAM_MODE, "device mode"},        {LUMOX_PARAM_CHIP_INFO, "chip"},
                  {LUMOX_PARAM_CALIB_INFO, "calibration"},  {LUMOX_PARAM_OP_MODE, "operating mode"},
                  {LUMOX_PARAM_FRAME_RATE, "frame rate"},   {LUMOX_PARAM_INTG_TIME, "integration"},
                  {LUMOX_PARAM_TEMPERATURE, "temperatures"}};
    for (const auto &f : fields) {
        lumox_param_item item{};
        item.param_id = f.id;
        std::string text = "(not answered)";
        if (lumox_param_batch_get(dev, &item, 1)) {
            const size_t n = item.param_val_len < sizeof item.param_val ? item.param_val_len
                                                                        : sizeof item.param_val;
            text = describe_param(f.id, {item.param_val, n});
            if (text.empty()) text = "[" + hex_bytes(item.param_val, n) + "]";
        }
        std::printf("%-15s %s\n", f.label, text.c_str());
    }
    // What a decode of this camera would use (the same choice as lumox depth).
    const lumox_correction_state cal = use_calibration(dev);
    std::printf("calibrated      %s\n",
                cal.files_match      ? "yes: this camera's calibration files are present"
                : cal.camera_package ? "the camera stores a calibration package (not fetched)"
                : cal.files_present  ? "no: the calibration files present are not this camera's"
                                     : "no: the camera stores no calibration package");
    std::printf("correction      %s\n", describe(cal).c_str());
    return kExitOk;
}

}  // namespace lumox_cli
