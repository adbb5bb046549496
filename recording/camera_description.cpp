#include "recording/camera_description.h"

#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace lumox::recording {

namespace {

constexpr uint32_t kParamsRecorded[] = {
    LUMOX_PARAM_MODE,       LUMOX_PARAM_ID2,       LUMOX_PARAM_PRODUCT,     LUMOX_PARAM_ID5,
    LUMOX_PARAM_ID6,        LUMOX_PARAM_CHIP_INFO, LUMOX_PARAM_CALIB_INFO,  LUMOX_PARAM_OP_MODE,
    LUMOX_PARAM_FRAME_RATE, LUMOX_PARAM_INTG_TIME, LUMOX_PARAM_TEMPERATURE, LUMOX_PARAM_ID17};
constexpr uint8_t kModeDataUpload = 9;
constexpr uint32_t kPackageBuffer = 12288000;  // the frame buffer the driver uses for it
constexpr uint32_t kMaxPackage = 64u << 20;

bool read_param(lumox_dev_t *dev, uint32_t id, lumox_param_item *item) {
    *item = lumox_param_item{};
    item->param_id = id;
    return lumox_param_batch_get(dev, item, 1) != 0;
}

bool set_mode(lumox_dev_t *dev, uint8_t mode) {
    lumox_param_item item{};
    item.param_id = LUMOX_PARAM_MODE;
    item.param_val_len = 1;
    item.param_val[0] = mode;
    return lumox_param_batch_set(dev, &item, 1) != 0;
}

uint32_t le32(const uint8_t *p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string text_field(const char *text, size_t size) {
    return std::string(text, strnlen(text, size));
}

// One frame of total bytes in the camera's current mode, into *package.
bool fetch_frame(lumox_dev_t *dev, uint32_t total, std::vector<uint8_t> *package,
                 std::string *error) {
    if (total == 0 || total > kMaxPackage) {
        *error = "the camera reports a calibration package of " + std::to_string(total) + " bytes";
        return false;
    }
    if (!lumox_cap_set_frame_buffer(dev, nullptr, kPackageBuffer) || !lumox_cap_start(dev)) {
        *error = "the camera did not send its calibration package";
        return false;
    }
    package->resize(total);
    lumox_frame_info fi{};
    const int32_t r = lumox_cap_get_frames(dev, 1, package->data(), total, &fi);
    lumox_cap_stop(dev);
    if (r != 1 || fi.frame_size != total) {
        *error = "the calibration package did not arrive whole";
        return false;
    }
    return true;
}

// The calibration package as the camera serves it: in data-upload mode, one frame of the size
// that parameter 8 reports. Empty when the camera reports none.
bool fetch_package(lumox_dev_t *dev, CalibrationRecord *cal, std::string *error) {
    if (!set_mode(dev, kModeDataUpload)) {
        *error = "the camera refused its data-upload mode";
        return false;
    }
    bool ok = true;
    lumox_param_item info{};
    if (!read_param(dev, LUMOX_PARAM_CALIB_INFO, &info)) {
        *error = "the camera did not report its calibration package";
        ok = false;
    } else if (info.param_val[0] == 1) {
        std::vector<uint8_t> package;
        ok = fetch_frame(dev, le32(info.param_val + 7), &package, error);
        if (ok) {
            cal->package_version = le32(info.param_val + 3);
            cal->package = std::move(package);
        }
    }
    if (!set_mode(dev, 0) && ok) {
        *error = "the camera did not return to its normal mode";
        ok = false;
    }
    return ok;
}

bool read_whole(const std::string &path, std::vector<uint8_t> *bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The lens record in force, for the lens's own image size (a 320 x 240 frame's binning gives
// it); false when the driver has none.
bool lens_in_force(lumox_dev_t *dev, lx_lens_param *lens) {
    lumox_intrinsics frame{}, full{};
    if (!lumox_dev_get_intrinsics(dev, 320, 240, &frame) ||
        !lumox_dev_get_intrinsics(dev, 320 * frame.binning_x, 240 * frame.binning_y, &full))
        return false;
    lens->cx = full.cx;
    lens->cy = full.cy;
    lens->fx = full.fx;
    lens->fy = full.fy;
    std::copy(full.d, full.d + 5, lens->dcoeff);
    lens->img_w = static_cast<int32_t>(full.width);
    lens->img_h = static_cast<int32_t>(full.height);
    return true;
}

// Identity, the parameters the camera answers, and the capture settings among them.
void describe_identity(lumox_dev_t *dev, Header *h) {
    h->library_version = LUMOX_VERSION;
    h->camera.product = text_field(dev->product, sizeof dev->product);
    h->camera.id2 = text_field(dev->id2, sizeof dev->id2);
    h->camera.bus = dev->bus;
    h->camera.port = dev->port;
    for (uint32_t id : kParamsRecorded) {
        lumox_param_item item{};
        if (!read_param(dev, id, &item)) continue;  // a camera without this parameter
        ParamRecord r{};
        r[0] = static_cast<uint8_t>(id);
        r[1] = item.param_val_len;
        std::copy(item.param_val, item.param_val + LUMOX_PARAM_VAL_MAX, r.begin() + 2);
        h->camera.parameters.push_back(r);
        const size_t n = std::min<size_t>(item.param_val_len, LUMOX_PARAM_VAL_MAX);
        if (id == LUMOX_PARAM_ID5) h->camera.id5.assign(item.param_val, item.param_val + n);
        if (id == LUMOX_PARAM_ID6) h->camera.id6.assign(item.param_val, item.param_val + n);
        if (id == LUMOX_PARAM_FRAME_RATE && n >= 4) h->capture.frame_rate = le32(item.param_val);
        if (id == LUMOX_PARAM_INTG_TIME && n >= 2)
            h->capture.integration_time = item.param_val[0] | (item.param_val[1] << 8);
    }
}

// The EPC driver's calibration files in force (and the lens file, when there is one: the lens
// record is what the driver made of it), and whether the open fetched them.
void describe_calibration_files(lumox_dev_t *dev, const std::set<std::string> &files_before,
                                CalibrationRecord *cal) {
    char images[300] = {};
    char params[300] = {};
    calibrationGetDistanceImagesName(images);
    calibrationGetParamName(params);
    const std::string dir = calibration_directory();
    for (const char *name :
         {static_cast<const char *>(params), static_cast<const char *>(images), "lens_param.txt"}) {
        CalibrationFile f;
        f.name = name;
        if (!f.name.empty() && read_whole(dir + f.name, &f.bytes))
            cal->files.push_back(std::move(f));
    }
    cal->fetched_at_open = files_before.count(images) == 0;
    cal->has_lens = lens_in_force(dev, &cal->lens);
}

}  // namespace

std::set<std::string> list_directory(const std::string &dir) {
    std::set<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

std::string calibration_directory() {
    std::string dir = lumox_path_get() ? lumox_path_get() : "";
    std::replace(dir.begin(), dir.end(), '\\', '/');
    if (dir.empty()) dir = "./";
    if (dir.back() != '/') dir += '/';
    return dir;
}

bool describe_camera(lumox_dev_t *dev, const std::set<std::string> &files_before,
                     const std::vector<std::string> &filters, Header *header, std::string *error) {
    describe_identity(dev, header);
    header->capture.filters = filters;
    lumox_drv *drv = lumox_dev_get_drv(dev);
    // Only the EPC driver's cameras keep calibration files and a calibration package.
    if (!drv || drv->ops != &g_lumox_driver_op_epc) return true;
    header->capture.modulation_khz = static_cast<uint32_t>(configGetModulationFrequency());
    describe_calibration_files(dev, files_before, &header->calibration);
    return fetch_package(dev, &header->calibration, error);
}

}  // namespace lumox::recording
