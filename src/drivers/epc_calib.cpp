#include "drivers/epc_calib.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include <zip.h>

#include "lumox/log.h"
#include "platform/fs.h"

namespace lumox::drivers {
namespace {

constexpr size_t kCopyPiece = 4096;
constexpr size_t kChipPrefixLength = 15;

// Running number of extracted entries over the life of the process.
std::atomic<int> g_extracted_count{0};

uint32_t read_u32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

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

bool extract_entry(zip_t *archive, zip_uint64_t index, const std::string &dir) {
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
        ok = std::fwrite(piece, 1, static_cast<size_t>(got), out.get()) == static_cast<size_t>(got);
    }
    zip_fclose(entry);
    if (out && std::fflush(out.get()) != 0) ok = false;
    if (ok) on_extract_to_folder_entry(st.name);
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

bool calib_extract_zip(const char *zip_path, const char *dir) {
    int error = 0;
    zip_t *archive = zip_open(platform::native_path(zip_path).c_str(), ZIP_RDONLY, &error);
    if (!archive) return false;
    const std::string target = prefix_dir(dir);
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    bool ok = count >= 0;
    for (zip_int64_t i = 0; ok && i < count; ++i) {
        ok = extract_entry(archive, static_cast<zip_uint64_t>(i), target);
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
    const uint32_t data_size = read_u32(header + 11);

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

}  // namespace lumox::drivers
