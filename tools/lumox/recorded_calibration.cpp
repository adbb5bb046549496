#include "recorded_calibration.h"

#include <cstdio>

#include "writers.h"

namespace lumox_cli {

std::string lens_file_text(const lx_lens_param &lens) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "%.17g\n%.17g\n%.17g\n%.17g\n%.17g\n%.17g\n%.17g\n%.17g\n"
                  "%.17g\n%d\n%d\n",
                  lens.cx, lens.cy, lens.fx, lens.fy, lens.dcoeff[0], lens.dcoeff[1],
                  lens.dcoeff[2], lens.dcoeff[3], lens.dcoeff[4], static_cast<int>(lens.img_w),
                  static_cast<int>(lens.img_h));
    return text;
}

bool write_recorded_calibration(const lumox::recording::Header &header, const std::string &dir,
                                std::string *error) {
    if (!header.calibration.fetched_at_open) {
        for (const lumox::recording::CalibrationFile &f : header.calibration.files)
            if (!write_raw(dir + f.name, f.bytes.data(), f.bytes.size(), error)) return false;
    }
    if (!header.calibration.has_lens) return true;
    const std::string text = lens_file_text(header.calibration.lens);
    return write_raw(dir + "lens_param.txt", reinterpret_cast<const uint8_t *>(text.data()),
                     text.size(), error);
}

}  // namespace lumox_cli
