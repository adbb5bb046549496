#include "recording/recorded_calibration.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace lumox::recording {

namespace {

bool write_file(const std::string &path, const void *data, size_t size, std::string *error) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    bool ok = f && std::fwrite(data, 1, size, f) == size;
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok && error) *error = path + ": " + std::strerror(errno);
    return ok;
}

}  // namespace

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

bool write_recorded_calibration(const Header &header, const std::string &dir, std::string *error) {
    const CalibrationRecord &cal = header.calibration;
    if (!cal.fetched_at_open) {
        // The reader admits file names only, never paths.
        for (const CalibrationFile &f : cal.files)
            if (!write_file(dir + f.name, f.bytes.data(), f.bytes.size(), error)) return false;
    }
    if (!cal.has_lens) return true;
    const std::string text = lens_file_text(cal.lens);
    return write_file(dir + "lens_param.txt", text.data(), text.size(), error);
}

}  // namespace lumox::recording
