#include "drivers/epc_calib.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include <zip.h>

#include "drivers/epc.h"
#include "lumox/epc.h"
#include "lumox/evk.h"
#include "lumox/log.h"
#include "lx/byte_order.h"
#include "platform/fs.h"

namespace lumox::drivers {
namespace {

constexpr size_t kCopyPiece = 4096;
constexpr size_t kChipPrefixLength = 15;

// Running number of extracted entries over the life of the process.
std::atomic<int> g_extracted_count{0};

// Copies up to len bytes from in to out in pieces; returns the bytes copied.
size_t copy_bytes(FILE *in, FILE *out, size_t len) {
    uint8_t piece[kCopyPiece];
    size_t done = 0;
    while (done < len) {
        const size_t want = std::min(kCopyPiece, len - done);
        const size_t got = std::fread(piece, 1, want, in);
        if (got == 0 || std::fwrite(piece, 1, got, out) != got) break;
        done += got;
    }
    return done;
}

// An archive entry name that stays inside the extraction directory.
bool safe_entry_name(const char *name) {
    if (!name || !*name || name[0] == '/' || name[0] == '\\') return false;
    const std::string n = platform::native_path(name);
    size_t start = 0;
    while (start <= n.size()) {
        const size_t end = n.find('/', start);
        const std::string part = n.substr(start, end == std::string::npos ? end : end - start);
        if (part == "..") return false;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return true;
}

void on_extract_to_folder_entry(const char *name) {
    const int number = ++g_extracted_count;
    lx_log(LX_LOG_DBG, "DBG", "[%s] Extracted: %s (%d of %d)\n", "on_extract_to_folder_entry", name,
           number, 1);
}

bool extract_entry(zip_t *archive, zip_uint64_t index, const std::string &dir, uint64_t &budget) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive, index, 0, &st) != 0 || !(st.valid & ZIP_STAT_NAME)) return false;
    if (!safe_entry_name(st.name)) return false;
    const std::string target = dir + "/" + platform::native_path(st.name);
    const size_t len = std::strlen(st.name);
    if (st.name[len - 1] == '/') {
        if (!platform::path_exists(target.c_str())) platform::make_dir(target.c_str());
        on_extract_to_folder_entry(st.name);
        return true;
    }
    zip_file_t *entry = zip_fopen_index(archive, index, 0);
    if (!entry) return false;
    platform::UniqueFile out(platform::open_file(target.c_str(), "wb"));
    bool ok = static_cast<bool>(out);
    uint8_t piece[kCopyPiece];
    while (ok) {
        const zip_int64_t got = zip_fread(entry, piece, sizeof piece);
        if (got < 0) ok = false;
        if (got <= 0) break;
        if (static_cast<uint64_t>(got) > budget) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] %s: archive too large to unpack\n", "calib_extract",
                   st.name);
            ok = false;
            break;
        }
        budget -= static_cast<uint64_t>(got);
        ok = std::fwrite(piece, 1, static_cast<size_t>(got), out.get()) == static_cast<size_t>(got);
    }
    zip_fclose(entry);
    if (out && std::fflush(out.get()) != 0) ok = false;
    if (ok) {
        on_extract_to_folder_entry(st.name);
    } else if (out) {
        out.reset();
        platform::remove_file(target.c_str());  // no half-written entry stays behind
    }
    return ok;
}

// The directory part of a path prefix ("." for an empty one).
std::string prefix_dir(const char *prefix) {
    std::string dir = platform::native_path(prefix);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir.empty() ? "." : dir;
}

// Finds the per-chip file in prefix and splits it; logs like the rest of the package code.
bool parse_chip_file(const char *prefix, uint16_t chip_id, const CalibTargets &targets) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "calib_and_param_%03i.bin", chip_id);
    const std::string dir = prefix_dir(prefix);
    char pattern[300];
    std::snprintf(pattern, sizeof pattern, "%s\\calib_and_param*.bin", prefix);
    const auto entries = platform::list_dir(dir.c_str(), "calib_and_param*.bin");
    if (entries.empty()) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] cann't find file in %s\n", "_parase_file", pattern);
        lx_log(LX_LOG_DBG, "DBG", "[%s] _parase_file failed\n", "_calib_pk_parse");
        return false;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string &name = entries[i];
        lx_log(LX_LOG_DBG, "DBG", "[%s] find:%s\n", "_parase_file", name.c_str());
        if (std::strncmp(name.c_str(), expected, kChipPrefixLength) != 0) {
            if (i == 0) lx_log(LX_LOG_TRC, "TRC", "[%s] try to find next\n", "_parase_file");
            continue;
        }
        if (i == 0) lx_log(LX_LOG_DBG, "DBG", "[%s] parse...\n", "_parase_file");
        const std::string path = dir + "/" + name;
        if (calib_split_chip_file(path.c_str(), targets)) return true;
        lx_log(LX_LOG_DBG, "DBG", "[%s] parse fail: %s\n", "_parase_file", name.c_str());
        return false;
    }
    return false;
}

}  // namespace

bool calib_extract_zip(const char *zip_path, const char *dir, uint64_t max_bytes) {
    int error = 0;
    zip_t *archive = zip_open(platform::native_path(zip_path).c_str(), ZIP_RDONLY, &error);
    if (!archive) return false;
    const std::string target = prefix_dir(dir);
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    bool ok = count >= 0;
    uint64_t budget = max_bytes;
    for (zip_int64_t i = 0; ok && i < count; ++i) {
        ok = extract_entry(archive, static_cast<zip_uint64_t>(i), target, budget);
    }
    zip_discard(archive);
    return ok;
}

bool calib_split_chip_file(const char *chip_file, const CalibTargets &targets) {
    static const char *const kFunc = "_parse_file_ex";
    std::vector<uint8_t> bytes;
    {
        platform::UniqueFile in(platform::open_file(chip_file, "rb"));
        if (!in) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] %s open failed\n", kFunc, chip_file);
            return false;
        }
        uint8_t piece[kCopyPiece];
        size_t got;
        while ((got = std::fread(piece, 1, sizeof piece, in.get())) > 0) {
            bytes.insert(bytes.end(), piece, piece + got);
        }
        if (std::ferror(in.get())) return false;
    }
    // The parameter part is the size modulo 256; an empty file has no calibration in it.
    const size_t param_len = bytes.size() % 256;
    if (bytes.empty() || param_len == 0) return false;

    const struct {
        const std::string &path;
        const uint8_t *data;
        size_t len;
    } outputs[] = {{targets.param_path, bytes.data(), param_len},
                   {targets.dist_path, bytes.data() + param_len, bytes.size() - param_len}};
    for (const auto &o : outputs) {
        platform::UniqueFile out(platform::open_file(o.path.c_str(), "wb+"));
        if (!out) {
            lx_log(LX_LOG_ERR, "ERR", "[%s] %s open failed\n", kFunc, o.path.c_str());
            return false;
        }
        if (std::fwrite(o.data, 1, o.len, out.get()) != o.len || std::fflush(out.get()) != 0) {
            out.reset();
            platform::remove_file(o.path.c_str());
            return false;
        }
    }
    platform::remove_file(chip_file);
    return true;
}

bool calib_unpack_package(const char *package_path, const char *prefix, uint16_t chip_id,
                          const CalibTargets &targets) {
    static const char *const kFunc = "_calib_pk_parse";
    platform::UniqueFile package(platform::open_file(package_path, "rb"));
    if (!package) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] %s open failed\n", kFunc, package_path);
        return false;
    }
    uint8_t header[kCalibHeaderSize] = {};
    const size_t got = std::fread(header, 1, sizeof header, package.get());
    if (got > 0 && header[0] == 0) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] Data not valid\n", kFunc);
        return false;
    }
    if (got < sizeof header) return false;
    if (header[2] != 1) {
        lx_log(LX_LOG_WRN, "WRN", "[%s] No zip used\n", kFunc);
        return false;
    }
    const uint32_t data_size = load_le32(header + 11);

    const std::string zip_path = std::string(prefix) + "tmp.zip";
    {
        platform::UniqueFile zip(platform::open_file(zip_path.c_str(), "wb+"));
        if (!zip) return false;
        // A package shorter than its header claims is cut short: the archive check below fails.
        copy_bytes(package.get(), zip.get(), data_size);
    }
    package.reset();
    if (!calib_extract_zip(zip_path.c_str(), prefix)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] %s zip failed\n", kFunc, zip_path.c_str());
        return false;
    }
    lx_log(LX_LOG_DBG, "DBG", "[%s] unzip %s OK\n", kFunc, zip_path.c_str());
    const bool split = parse_chip_file(prefix, chip_id, targets);
    platform::remove_file(zip_path.c_str());
    return split;
}

namespace {

constexpr uint32_t kCalibFrameBuffer = 12288000;
constexpr uint8_t kModeNormal = 0;
constexpr uint8_t kModeDataUpload = 9;

bool set_mode(lumox_dev_t *dev, uint8_t mode) {
    lumox_param_item item{};
    item.param_id = LUMOX_PARAM_MODE;
    item.param_val_len = 1;
    item.param_val[0] = mode;
    return lumox_param_batch_set(dev, &item, 1) != 0;
}

// Chip id of the sensor (parameter 7, bytes 2-3); false when the camera does not say.
bool read_chip_id(lumox_dev_t *dev, uint16_t *chip_id) {
    lumox_param_item item{};
    item.param_id = LUMOX_PARAM_CHIP_INFO;
    if (!lumox_param_batch_get(dev, &item, 1) || item.param_val_len < 4) return false;
    *chip_id = load_le16(item.param_val + 2);
    return true;
}

// Captures the package frame into prefix + "calibration.bin" and unpacks it.
void fetch_and_unpack(lumox_dev_t *dev, const char *prefix, uint32_t total_size,
                      const CalibTargets &targets) {
    static const char *const kFunc = "_load_calib_data";
    // The package is one frame of the stream; anything larger than the frame buffer cannot be one.
    if (total_size == 0 || total_size > kCalibFrameBuffer) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] calibration data size %u out of range\n", kFunc,
               static_cast<unsigned>(total_size));
        return;
    }
    std::vector<uint8_t> package;
    try {
        package.resize(total_size);
    } catch (const std::bad_alloc &) {
        return;
    }
    if (!lumox_cap_start(dev)) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] capturing is stopped due to some error!\n", kFunc);
        return;
    }
    lumox_frame_info info{};
    const int32_t count = lumox_cap_get_frames(dev, 1, package.data(), total_size, &info);
    lx_log(LX_LOG_DBG, "DBG", "[%s] get %d frames: [%u, %ux%u, %u]\n", kFunc, count,
           static_cast<unsigned>(info.frame_idx), static_cast<unsigned>(info.width),
           static_cast<unsigned>(info.height), static_cast<unsigned>(info.frame_format));
    if (count != 1) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] capturing is stopped due to some error!\n", kFunc);
        lumox_cap_stop(dev);
        return;
    }
    // Only the bytes the frame carried belong to the package.
    package.resize(std::min<size_t>(total_size, info.frame_size ? info.frame_size : total_size));

    const std::string path = std::string(prefix) + "calibration.bin";
    bool written = false;
    {
        platform::UniqueFile out(platform::open_file(path.c_str(), "wb+"));
        written = out &&
                  std::fwrite(package.data(), 1, package.size(), out.get()) == package.size() &&
                  std::fflush(out.get()) == 0;
    }
    package = {};
    uint16_t chip_id = 0;
    if (written && read_chip_id(dev, &chip_id)) {
        calib_unpack_package(path.c_str(), prefix, chip_id, targets);
    }
    platform::remove_file(path.c_str());
    lumox_cap_stop(dev);
}

}  // namespace

bool calib_download(lumox_dev_t *dev, const char *prefix, const CalibTargets &targets) {
    static const char *const kFunc = "_load_calib_data";
    lumox_cap_set_frame_buffer(dev, nullptr, kCalibFrameBuffer);
    lumox_cap_set_callback_on_frame_ready(dev, nullptr);
    lumox_cap_set_callback_on_error(dev, nullptr);

    if (!set_mode(dev, kModeDataUpload)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s]  set mode to DATA_UP failed!\n", kFunc);
        return false;
    }
    bool valid = false;
    lumox_param_item info{};
    info.param_id = LUMOX_PARAM_CALIB_INFO;
    if (!lumox_param_batch_get(dev, &info, 1) || info.param_val_len < kCalibHeaderSize) {
        lx_log(LX_LOG_ERR, "ERR", "[%s]  get param of calib data failed!\n", kFunc);
    } else {
        const uint8_t *v = info.param_val;
        const uint32_t version = load_le32(v + 3);
        const uint32_t total = load_le32(v + 7);
        const uint32_t data_size = load_le32(v + 11);
        const uint16_t checksum = load_le16(v + 15);
        if (v[0] != 1) {
            lx_log(LX_LOG_DBG, "DBG",
                   "[%s] %s: fsize:%d, valid data size:%d, ck_sum:%d, version:%d\n", kFunc,
                   "Calib data not valid", static_cast<int>(total), static_cast<int>(data_size),
                   checksum, static_cast<int>(version));
        } else {
            valid = true;
            fetch_and_unpack(dev, prefix, total, targets);
        }
    }
    set_mode(dev, kModeNormal);
    return valid;
}

}  // namespace lumox::drivers

using lumox::drivers::CalibTargets;

extern "C" LUMOX_API int calibrationDataFileCheck(int /*unused*/) noexcept {
    static const char *const kFunc = "calibrationDataFileCheck";
    char name[256] = {};
    calibrationGetDistanceImagesName(name);
    const std::string path = std::string(lumox_path_get()) + name;
    lumox::platform::UniqueFile f(lumox::platform::open_file(path.c_str(), "rb"));
    if (!f) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] Can not open %s file\n", kFunc, path.c_str());
        return -1;
    }
    lx_log(LX_LOG_DBG, "DBG", "[%s] Find %s\n", kFunc, path.c_str());
    return 0;
}

int32_t epc_calib_save(lumox_drv *drv, uint32_t /*unused*/, int32_t /*value*/, int32_t /*mode*/) {
    epc_ctx *ctx = epc_context(drv);
    if (!ctx || !drv->dev) return 0;
    for (auto &set : ctx->calib_names) {
        calibrationGetDistanceImagesName(set.dist_name);
        calibrationGetParamName(set.param_name);
    }
    if (calibrationDataFileCheck(0) != 0) {
        // Name set 1 serves cameras without the extension module, set 0 those with it.
        const epc_calib_names &names = ctx->calib_names[epcgetExtModEnable() ? 0 : 1];
        const std::string prefix = lumox_path_get();
        const CalibTargets targets{prefix + names.param_name, prefix + names.dist_name};
        // DRNU distances need the files; a download that did not produce them keeps the simple
        // formula rather than decoding against empty tables.
        if (lumox::drivers::calib_download(drv->dev, prefix.c_str(), targets) &&
            calibrationDataFileCheck(0) == 0) {
            configInit(32);
            ctx->drnu_en.store(1);
        }
    }
    if (ctx->firmware_corrects) {
        // The camera streams corrected phases: the host converts them with no table and no fit
        // (bank 1, the one the decode reads, holds nothing of this camera's).
        ctx->drnu_en.store(1);
    } else if (!lumox::drivers::calibration_files_belong(*ctx) &&
               calibrationDataFileCheck(0) == 0) {
        lx_log(LX_LOG_WRN, "WRN",
               "[%s] the calibration files in %s are not this camera's (it stores no "
               "calibration): default calibration used\n",
               "epc_calib_save", lumox_path_get());
    }
    lumox::drivers::epc_load_calib_constants(*ctx);
    lx_log(LX_LOG_DBG, "DBG", "[%s] calib scale/offset = %d/%d \n", "epc_calib_save", ctx->scale,
           ctx->offset_mm);
    return 0;
}
