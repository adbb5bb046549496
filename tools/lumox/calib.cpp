// lumox calib fetch|show: the camera's calibration files.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

#include "bytes.h"
#include "command.h"
#include "session.h"
#include "writers.h"

namespace lumox_cli {

namespace {

std::vector<uint8_t> read_all(const std::string &path) {
    std::vector<uint8_t> bytes;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    return bytes;
}

uint32_t le32(const uint8_t *p) { return load_le(p, 4); }

std::string dir_prefix(const std::string &dir) {
    if (dir.empty()) return "./";
    return dir.back() == '/' ? dir : dir + "/";
}

void show_params(const std::vector<uint8_t> &bytes) {
    size_t at = 0;
    uint32_t freq = 12000;
    if (bytes.size() == 24) {
        freq = le32(bytes.data());
        at = 4;
    }
    if (bytes.size() < at + 16) {
        std::printf("  too short for a parameter file\n");
        return;
    }
    double step = 0;
    std::memcpy(&step, &bytes[at + 8], sizeof step);
    const auto offset = static_cast<int32_t>(le32(&bytes[at]));
    const auto t_sensor = static_cast<int32_t>(le32(&bytes[at + 4]));
    const int32_t t_board =
        bytes.size() >= at + 20 ? static_cast<int32_t>(le32(&bytes[at + 16])) : t_sensor;
    std::printf(
        "  modulation frequency %u kHz\n  DRNU offset %d (angle units)\n"
        "  sensor temperature %.1f C, illumination board %.1f C\n"
        "  step %.4f mm\n",
        freq, offset, t_sensor / 10.0, t_board / 10.0, step);
}

// 320 x 240 images (160 x 60 for the small sensor), 16-bit angle units.
void show_images(const std::string &name, const std::vector<uint8_t> &bytes) {
    const size_t area = name.rfind("epc635", 0) == 0 ? 160 * 60 : 320 * 240;
    const size_t count = bytes.size() / (2 * area);
    std::printf("  %zu distance images of %zu pixels; mean angle per image:\n", count, area);
    if (const size_t rest = bytes.size() % (2 * area); rest != 0)
        std::printf("  (%zu bytes left over: not a whole number of images)\n", rest);
    for (size_t k = 0; k < count; ++k) {
        uint64_t sum = 0;
        size_t n = 0;
        for (size_t i = 0; i < area; ++i) {
            const size_t at = 2 * (k * area + i);
            const uint32_t v = load_le(&bytes[at], 2);
            if (v > 0 && v < 30000) {
                sum += v;
                ++n;
            }
        }
        std::printf("  %2zu: %7.1f (%zu valid)\n", k, n ? double(sum) / n : 0.0, n);
    }
}

}  // namespace

int cmd_calib_fetch(const Args &args) {
    const std::string dir = dir_prefix(args.operands[0]);
    if (const std::string why = make_dirs(dir); !why.empty())
        return fail("calib fetch: cannot use the directory: %s", why.c_str());
    Session session(args);
    lumox_path_cfg(dir.c_str());
    // Opening the camera fetches its calibration when the directory does not hold it yet.
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    char images[300] = {};
    char params[300] = {};
    calibrationGetDistanceImagesName(images);
    calibrationGetParamName(params);
    const auto image_bytes = read_all(dir + images);
    const auto param_bytes = read_all(dir + params);
    if (image_bytes.empty()) {
        lumox_param_item info{};
        info.param_id = LUMOX_PARAM_CALIB_INFO;
        const bool answered = lumox_param_batch_get(dev, &info, 1) && info.param_val_len > 0;
        const char *why = !answered ? "the camera did not say whether it carries a calibration"
                          : info.param_val[0] != 1
                              ? "the camera carries no calibration (it reports none stored)"
                              : "the camera's calibration package could not be downloaded or "
                                "unpacked";
        std::fprintf(stderr, "calib fetch FAILED: %s (%s)\n", why, session.failure_hint().c_str());
        return kExitFailure;
    }
    std::printf("%s%s (%zu bytes)\n%s%s (%zu bytes)\n", dir.c_str(), params, param_bytes.size(),
                dir.c_str(), images, image_bytes.size());
    return kExitOk;
}

// Prints a parameter file and the distance images found in DIR.
int cmd_calib_show(const Args &args) {
    const std::string dir = dir_prefix(args.operands[0]);
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d) return fail("cannot read the directory %s: %s", dir.c_str(), std::strerror(errno));
    while (const dirent *e = readdir(d)) names.emplace_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    int shown = 0;
    for (const std::string &name : names) {
        const bool param = name.find("drnu_param_W") != std::string::npos;
        const bool images = name.find("images_drnu_W") != std::string::npos;
        if (!param && !images) continue;
        const auto bytes = read_all(dir + name);
        ++shown;
        std::printf("%s: %zu bytes\n", name.c_str(), bytes.size());
        if (param) {
            show_params(bytes);
        } else {
            show_images(name, bytes);
        }
    }
    if (shown == 0) return fail("no calibration files in '%s'", dir.c_str());
    return kExitOk;
}

}  // namespace lumox_cli
