#include "correction.h"

#include <cstdio>
#include <vector>

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

CalibrationState calibration_state(lumox_dev_t *dev) {
    CalibrationState s;
    s.directory = lumox_path_get();
    char name[300] = {};
    calibrationGetDistanceImagesName(name);
    if (FILE *f = std::fopen((s.directory + name).c_str(), "rb")) {
        s.files = true;
        std::fclose(f);
    }
    lumox_param_item item{};
    item.param_id = LUMOX_PARAM_CALIB_INFO;
    if (lumox_param_batch_get(dev, &item, 1) && item.param_val_len >= 1)
        s.camera_package = item.param_val[0] == 1;
    s.correction = Correction::kNone;
    if (s.files) s.correction = Correction::kLinear;
    return s;
}

void note_drnu_filter(CalibrationState *s, bool on) {
    if (!s->files) return;
    if (!on) {
        s->correction = Correction::kLinear;
    } else {
        s->correction = epcgetExtModEnable() ? Correction::kFirmware : Correction::kHost;
    }
}

CalibrationState use_calibration(lumox_dev_t *dev) {
    CalibrationState s = calibration_state(dev);
    if (s.files) {
        uint8_t set = 0;
        note_drnu_filter(&s, lumox_filter_enable(dev, FILTER_DRNU, &set, 1) == 1);
    }
    return s;
}

std::string describe(const CalibrationState &s) {
    char text[512];
    switch (s.correction) {
        case Correction::kNone:
            std::snprintf(text, sizeof text, "none: default linear calibration (%s)",
                          s.camera_package ? "the camera's package could not be used; see the log"
                                           : "the camera carries no calibration");
            break;
        case Correction::kLinear:
            std::snprintf(text, sizeof text,
                          "linear: scale %d/1000, offset %d mm, fitted from the calibration in %s",
                          g_calib_scale_m, g_calib_offset_mm, s.directory.c_str());
            break;
        case Correction::kHost:
            std::snprintf(text, sizeof text, "per-pixel table on the host (calibration in %s)",
                          s.directory.c_str());
            break;
        case Correction::kFirmware:
            std::snprintf(text, sizeof text,
                          "per-pixel, in the camera's firmware (calibration in %s)",
                          s.directory.c_str());
            break;
    }
    return text;
}

}  // namespace lumox_cli
