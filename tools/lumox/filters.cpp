#include "filters.h"

#include "command.h"

namespace lumox_cli {

bool apply_filter(lumox_dev_t *dev, const FilterSetting &f, const std::string &text) {
    int32_t r = 0;
    if (!f.enable) {
        r = lumox_filter_disable(dev, f.id);
    } else {
        uint8_t u8 = static_cast<uint8_t>(f.value);
        uint16_t u16 = static_cast<uint16_t>(f.value);
        void *arg = f.value_size == 1   ? static_cast<void *>(&u8)
                    : f.value_size == 2 ? static_cast<void *>(&u16)
                                        : nullptr;
        r = lumox_filter_enable(dev, f.id, arg, f.value_size);
    }
    if (r == 1) return true;
    lumox_correction_state c{};
    if (f.id == FILTER_DRNU && lumox_dev_get_correction(dev, &c))
        fail("filter %s refused; the correction in force: %s", text.c_str(), c.reason);
    else
        fail("filter %s refused", text.c_str());
    return false;
}

}  // namespace lumox_cli
