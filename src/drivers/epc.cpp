// EPC driver set-up and teardown, the lens record and its text file, and the small exported
// accessors of the driver's process-wide state.

#include "drivers/epc.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "drivers/epc_features.h"
#include "evk/calibration.h"
#include "lumox/evk.h"
#include "lumox/log.h"
#include "lx/byte_order.h"
#include "platform/fs.h"

namespace lumox::drivers {
namespace {

constexpr int kLensLines = 11;

lx_lens_param g_lens = default_lens_param();
int g_ext_mod_enable = 0;

// Lens image sides beyond this give an undistortion map too large to build (4M pixels).
constexpr int32_t kMaxLensSide = 2048;

// Stores the first token of lens file line `line` into the lens record and logs it.
void store_lens_line(lx_lens_param &lens, int line, const char *text) {
    static const char *const kNames[] = {"[%s] Cx:%3.5f\n", "[%s] Cy:%3.5f\n", "[%s] Fx:%3.5f\n",
                                         "[%s] Fy:%3.5f\n"};
    constexpr const char *kFunc = "_lx_update_len_param";
    double *const doubles[] = {&lens.cx, &lens.cy, &lens.fx, &lens.fy};
    if (line < 4) {
        // A token that is not a number leaves the value as it was.
        std::sscanf(text, "%lf", doubles[line]);
        lx_log(LX_LOG_DBG, "DBG", kNames[line], kFunc, *doubles[line]);
    } else if (line < 9) {
        const int k = line - 4;
        std::sscanf(text, "%lf", &lens.dcoeff[k]);
        lx_log(LX_LOG_DBG, "DBG", "[%s] dcoeff[%d]:%3.5f\n", kFunc, k, lens.dcoeff[k]);
    } else if (line == 9) {
        std::sscanf(text, "%i", &lens.img_w);
        lx_log(LX_LOG_DBG, "DBG", "[%s] img_w = %d\n", kFunc, lens.img_w);
    } else if (line == 10) {
        std::sscanf(text, "%i", &lens.img_h);
        lx_log(LX_LOG_DBG, "DBG", "[%s] img_h = %d\n", kFunc, lens.img_h);
    }
}

// The third '-'-separated field of the product string (the firmware designation), or false.
bool firmware_field(const lumox_dev_t *dev, char (&field)[17]) {
    char product[sizeof dev->product + 1] = {};
    std::memcpy(product, dev->product, sizeof dev->product);
    return std::sscanf(product, "%*16[^-]-%*16[^-]-%16[^-]", field) == 1;
}

// Bounds no real lens passes: a focal length of less than a pixel (a field of view near 180
// degrees across one pixel) or more than 10^6 pixels (a 5 m telephoto on 5 um pixels), and
// distortion coefficients beyond 10^4 (wide-angle calibrations stay in the tens). Within them the
// distortion polynomial of any pixel stays far from float overflow.
constexpr double kMinFocalPx = 1.0;
constexpr double kMaxFocalPx = 1e6;
constexpr double kMaxDistortion = 1e4;

// Why a lens record read from the file cannot be used, or nullptr when it can: the principal point
// is finite, positive and inside the image, the focal lengths and distortion coefficients are
// within what a lens can be, and the image is no larger than the undistortion map allows.
const char *unusable_lens(const lx_lens_param &lens) {
    const double centre_focal[] = {lens.cx, lens.cy, lens.fx, lens.fy};
    for (double v : centre_focal) {
        if (!std::isfinite(v) || v <= 0)
            return "principal point and focal lengths must be positive";
    }
    for (double v : {lens.fx, lens.fy}) {
        if (v < kMinFocalPx || v > kMaxFocalPx) return "focal lengths must be 1 to 1e6 pixels";
    }
    for (double v : lens.dcoeff) {
        if (!std::isfinite(v)) return "distortion coefficients must be finite";
        if (std::fabs(v) > kMaxDistortion) return "distortion coefficients must be within +-1e4";
    }
    if (lens.img_w < 1 || lens.img_h < 1 || lens.img_w > kMaxLensSide || lens.img_h > kMaxLensSide)
        return "image size must be 1 to 2048 pixels a side";
    if (lens.cx >= lens.img_w || lens.cy >= lens.img_h)
        return "principal point must lie inside the image";
    return nullptr;
}

// The features' way to the camera: the public parameter calls, on the evaluation kit's device or
// the one a decode names.
bool feature_param_get(lumox_dev_t *dev, uint32_t id, uint8_t *value) {
    lumox_param_item item{};
    item.param_id = id;
    if (!lumox_param_batch_get(dev, &item, 1)) return false;
    std::memcpy(value, item.param_val, sizeof item.param_val);
    return true;
}

bool feature_param_set(lumox_dev_t *dev, uint32_t id, const uint8_t *value, size_t bytes) {
    lumox_param_item item{};
    item.param_id = id;
    item.param_val_len = 0;  // the camera's own length
    std::memcpy(item.param_val, value, std::min(bytes, sizeof item.param_val));
    return lumox_param_batch_set(dev, &item, 1) != 0;
}

const FeaturePort kCameraPort = {[] { return g_lx_dev; }, feature_param_get, feature_param_set};

}  // namespace

lx_lens_param default_lens_param() {
    lx_lens_param lens{};
    lens.cx = 157.262;
    lens.cy = 122.083;
    lens.fx = 210.783;
    lens.fy = 204.817;
    lens.dcoeff[0] = -0.378924;
    lens.dcoeff[1] = 0.145035;
    lens.dcoeff[2] = -0.000970854;
    lens.dcoeff[3] = 6.20728e-05;
    lens.dcoeff[4] = -0.0133954;
    lens.img_w = 320;
    lens.img_h = 240;
    return lens;
}

lx_lens_param &lens_param() { return g_lens; }

int lens_param_update() {
    constexpr const char *kFunc = "_lx_update_len_param";
    char path[256];
    std::snprintf(path, sizeof path, "%s%s", lumox_path_get(), "lens_param.txt");
    platform::UniqueFile file(platform::open_file(path, "r"));
    if (!file) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] %s Open failed, use default param\n", kFunc, path);
        return 0;
    }
    // Read into a copy: a file whose values cannot describe a lens leaves the record as it was.
    lx_lens_param lens = g_lens;
    int lines = 0;
    std::string line;
    for (int c = std::fgetc(file.get());; c = std::fgetc(file.get())) {
        if (c != EOF) line.push_back(static_cast<char>(c));
        if (c == '\n' || (c == EOF && !line.empty())) {
            store_lens_line(lens, lines++, line.c_str());
            line.clear();
        }
        if (c == EOF) break;
    }
    if (const char *why = unusable_lens(lens)) {
        lx_log(LX_LOG_WRN, "WRN", "[%s] %s refused (%s); the lens parameters stay as they were\n",
               kFunc, path, why);
        return 0;
    }
    g_lens = lens;
    if (lines == kLensLines) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] Reload lens param ok\n", kFunc);
        return 1;
    }
    lx_log(LX_LOG_WRN, "WRN", "[%s] Param number maybe not right\n", kFunc);
    return 0;
}

void epc_set_defaults(epc_ctx &ctx) {
    ctx.calib_sel = 2;
    ctx.drnu_en = 0;
    ctx.undist_en = 0;
    ctx.minamp_en = 1;
    ctx.auto_intg_en = 0;
    ctx.sum_chk_en = 0;
    ctx.temp_mon_en = 1;
    ctx.hdr_en = 0;
    ctx.dfilter_en = 1;
    ctx.flypix_en = 1;
    ctx.minamp_hyst_en = 1;
    ctx.flypix_thr = 90000;
    ctx.minamp_hyst = 10;
    ctx.minamp_thr = 0;
    ctx.sat_ratio = 0;
    ctx.sum_chk_arg = 0;
    ctx.temp_mon_arg = 75;
    ctx.dfilter_size = 5;
}

void epc_set_range(epc_ctx &ctx, int32_t mod_freq_khz) {
    if (mod_freq_khz <= 0) {
        ctx.range_mm = 0;
        ctx.tcoef_sensor_ph = 0;
        ctx.tcoef_ib_ph = 0;
        ctx.drnu_offset_ph = 0;
        return;
    }
    // The frequency in Hz is rounded to single precision before the division.
    const float hz = static_cast<float>(static_cast<int64_t>(mod_freq_khz) * 1000);
    ctx.range_mm = static_cast<int32_t>(149896229000.0 / hz);
    ctx.tcoef_sensor_ph = static_cast<float>(51000.001430511475 / ctx.range_mm);
    ctx.tcoef_ib_ph = static_cast<float>(10129.500031471252 / ctx.range_mm);
    ctx.drnu_offset_ph = 295 * 30000 / ctx.range_mm;
}

void epc_load_calib_constants(epc_ctx &ctx) {
    ctx.step_mm = static_cast<int32_t>(calibrateGetStepCalMM());
    ctx.tcoef_sensor = 1.7f;
    ctx.tcoef_ib = 0.33765f;
    ctx.t_sensor_cal = static_cast<int16_t>(calibrateGetTempCalib());
    ctx.t_ib_cal = static_cast<int16_t>(calibrateGetIbTempCalib());
    ctx.offset_mm = g_calib_offset_mm;
    ctx.scale = g_calib_scale_m;
    epc_set_range(ctx, configGetModulationFrequency());
}

}  // namespace lumox::drivers

using namespace lumox::drivers;

uint8_t epc_init(lumox_drv *drv, lumox_dev_t *dev) {
    constexpr const char *kFunc = "epc_init";
    drv->dev = dev;
    bind_feature_port(&kCameraPort);
    auto *ctx = new (std::nothrow) epc_ctx{};
    drv->priv = ctx;
    if (!ctx) return 0;

    lens_param_update();
    lx_calib_len_init_map(&ctx->undist_map, &lens_param());
    epc_set_defaults(*ctx);
    // The calibration loader sets these again at open; until then the decode works with the
    // evaluation kit's defaults instead of a zero range.
    epc_load_calib_constants(*ctx);

    char firmware[17] = {};
    if (!firmware_field(dev, firmware)) return 0;
    epcSetExtModEnable(std::strncmp(firmware, "2.0", 3) == 0 ? 1 : 0);

    // Each open starts from this camera's calibration alone: nothing of an earlier camera (its
    // table, fit or temperatures) stays, and files in the calibration directory are read only
    // when the camera stores a calibration they can belong to.
    lumox::evk::reset_calibration();
    lumox_param_item info{};
    info.param_id = LUMOX_PARAM_CALIB_INFO;
    if (lumox_param_batch_get(dev, &info, 1) && info.param_val_len >= 1) {
        ctx->camera_package_known = 1;
        ctx->camera_package = info.param_val[0] == 1;
    }
    ctx->firmware_corrects = ctx->camera_package && epcgetExtModEnable();
    lumox::evk::set_calibration_files_used(calibration_files_belong(*ctx));
    lx_log(LX_LOG_DBG, "DBG", "[%s] FW_VER:%d\n", kFunc, lumox::load_le16(&dev->id6_data[2]));

    const int result = epc_adapter_init(dev);
    if (result & 0xFF) return static_cast<uint8_t>(result);

    lx_log(LX_LOG_ERR, "ERR", "[%s] epc_adapter_init failed!\n", kFunc);
    lx_calib_len_uninit_map(&ctx->undist_map);
    delete ctx;
    drv->priv = nullptr;
    return static_cast<uint8_t>(result);
}

void epc_uninit(lumox_drv *drv) {
    epc_ctx *ctx = epc_context(drv);
    if (!ctx) return;
    lx_calib_len_uninit_map(&ctx->undist_map);
    epc_adapter_uninit();
    // The flag describes the bound camera's firmware; a closed camera leaves none behind for
    // later stand-alone use of the evaluation kit.
    epcSetExtModEnable(0);
    delete ctx;
    drv->priv = nullptr;
}

extern "C" {

LUMOX_API uint8_t epc_lens_param_get(lumox_drv *, lx_lens_param *out, uint32_t width,
                                     uint32_t height) noexcept {
    if (!out || width < 1 || height < 1) return 0;
    const lx_lens_param &lens = g_lens;
    const int64_t w = width;
    const int64_t h = height;
    if (lens.img_w % w != 0 || lens.img_h % h != 0) {
        lx_log(LX_LOG_WRN, "WRN",
               "[%s] lens param not match the frame size: lens: %dx%d, frame: %dx%d\n",
               "epc_lens_param_get", lens.img_w, lens.img_h, static_cast<int>(width),
               static_cast<int>(height));
        return 0;
    }
    const auto sx = static_cast<int32_t>(lens.img_w / w);
    const auto sy = static_cast<int32_t>(lens.img_h / h);
    if (sx == 0 || sy == 0) {
        // A frame larger than the lens image (quotient 0) has no scaled parameters.
        return 0;
    }
    out->cx = lens.cx / sx;
    out->cy = lens.cy / sy;
    out->fx = lens.fx / sx;
    out->fy = lens.fy / sy;
    std::memcpy(out->dcoeff, lens.dcoeff, sizeof out->dcoeff);
    out->img_w = static_cast<int32_t>(width);
    out->img_h = static_cast<int32_t>(height);
    return 1;
}

LUMOX_API int epcSetExtModEnable(int flag) noexcept { return g_ext_mod_enable = flag; }

LUMOX_API int epcgetExtModEnable(void) noexcept { return g_ext_mod_enable; }

}  // extern "C"

namespace {

// The context of the EPC driver bound to the evaluation kit's device, or nullptr.
epc_ctx *bound_context() {
    if (!g_lx_dev || !g_lx_dev->state) return nullptr;
    lumox_drv *drv = lumox_dev_get_drv(g_lx_dev);
    if (!drv || drv->ops != &g_lumox_driver_op_epc) return nullptr;
    return epc_context(drv);
}

}  // namespace

extern "C" {

LUMOX_API void epc_adapater_set_frame_valid(uint8_t valid) noexcept {
    if (epc_ctx *ctx = bound_context()) ctx->frame_valid = valid;
}

LUMOX_API uint8_t epc_adapater_get_frame_valid(void) noexcept {
    epc_ctx *ctx = bound_context();
    return ctx ? ctx->frame_valid.load() : 1;
}

}  // extern "C"
