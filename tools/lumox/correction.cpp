#include "correction.h"

#include <cstdio>

#include "command.h"
#include "writers.h"

namespace lumox_cli {

bool use_calibration_dir(const std::string &dir) {
    if (dir.empty()) return true;
    std::string prefix = dir;
    if (prefix.back() != '/') prefix += '/';
    if (const std::string why = make_dirs(prefix); !why.empty()) {
        fail("cannot use the calibration directory: %s", why.c_str());
        return false;
    }
    lumox_path_cfg(prefix.c_str());
    return true;
}

lumox_correction_state use_calibration(lumox_dev_t *dev) {
    lumox_correction_state s{};
    if (!lumox_dev_use_best_correction(dev, &s))
        std::snprintf(s.reason, sizeof s.reason,
                      "default: this camera's driver has no calibration");
    return s;
}

lumox_correction_state correction_in_force(lumox_dev_t *dev) {
    lumox_correction_state s{};
    if (!lumox_dev_get_correction(dev, &s))
        std::snprintf(s.reason, sizeof s.reason,
                      "default: this camera's driver has no calibration");
    return s;
}

std::string describe(const lumox_correction_state &s) {
    static const char *const kNames[] = {"none", "linear", "per-pixel (host)",
                                         "per-pixel (firmware)"};
    const int c = s.correction >= 0 && s.correction <= 3 ? s.correction : 0;
    return std::string(kNames[c]) + ": " + s.reason;
}

}  // namespace lumox_cli
