#include "evk/calibration.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "evk/config.h"
#include "evk/settings.h"
#include "lumox/log.h"
#include "lx/byte_order.h"
#include "platform/fs.h"

extern "C" {
LUMOX_API uint16_t distImagesDRNU[2][LUMOX_DRNU_BANK_ENTRIES];
LUMOX_API int g_calib_scale_m = 1000;
LUMOX_API int g_calib_offset_mm = -3400;
}

namespace lumox::evk {
namespace {

constexpr size_t kNameBytes = 256;
constexpr int kReferenceDistanceMm = 295;
constexpr int kFrequencyWithFieldBytes = 24;
constexpr int kMinParamBytes = 16;  // offset, temperature, step

struct DrnuParams {
    int offset = 8364;
    int temp = 361;
    int temp_ib = 341;
    double step_mm = 298.2;
};

struct CalibrationState {
    int width = 320;
    int height = 240;
    int num_distances = kMaxDistances;
    int column_limit = 0;
    int row_limit = 0;
    int frequency_khz = kDefaultCalibFrequency;
    DrnuParams copies[2];  // [0]: modulation-frequency index 2, [1]: the others
    DrnuParams working;
};

CalibrationState g_calib;
bool g_files_used = true;
// Banks filled from a distance-image file since the last reset.
bool g_bank_filled[2] = {false, false};

std::string prefixed(const char *name) { return std::string(lumox_path_get()) + name; }

long file_size(FILE *file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return -1;
    long size = std::ftell(file);
    if (std::fseek(file, 0, SEEK_SET) != 0) return -1;
    return size;
}

int frequency_index(uint32_t frequency_khz) {
    switch (frequency_khz) {
        case 24000:
            return 1;
        case 12000:
            return 2;
        case 36000:
            return 0;
        default:
            lx_log(LX_LOG_ERR, "ERR", "[%s] Not supported freq\n", "calibrationLoadDRNU_LUT");
            return 2;
    }
}

// Reads the parameter file into params; false when it is missing or too short to hold the
// offset, temperature and step.
bool read_param_file(DrnuParams *params) {
    if (!g_files_used) return false;
    char name[kNameBytes];
    calibrationGetParamName(name);
    platform::UniqueFile file(platform::open_file(prefixed(name).c_str(), "rb"));
    if (!file) return false;
    long size = file_size(file.get());
    uint8_t bytes[kFrequencyWithFieldBytes] = {};
    size_t got = std::fread(bytes, 1, sizeof bytes, file.get());
    if (size < kMinParamBytes || got < kMinParamBytes) {
        lx_log(LX_LOG_WRN, "WRN", "[%s] %s too short, defaults used\n", "calibrationLoadDRNU_LUT",
               name);
        return false;
    }
    // 24 bytes carry the frequency first. Any other size of at least 16 bytes holds offset,
    // temperature and step and, from 20 bytes on, the board temperature: the package split gives
    // the parameter file the per-chip file's size modulo 256, so a camera may hold a longer one.
    const uint8_t *fields = bytes;
    size_t field_bytes = got;
    if (size == kFrequencyWithFieldBytes) {
        auto frequency = static_cast<uint32_t>(load_le_i32(bytes));
        g_calib.frequency_khz = static_cast<int>(frequency);
        configSetModulationFrequency(frequency_index(frequency), configGetDeviceAddress());
        fields += 4;
        field_bytes -= 4;
    } else {
        g_calib.frequency_khz = kDefaultCalibFrequency;
    }
    lx_log(LX_LOG_DBG, "DBG", "[%s] Clib Freq:%d k\n", "calibrationLoadDRNU_LUT",
           g_calib.frequency_khz);

    params->offset = load_le_i32(fields);
    params->temp = load_le_i32(fields + 4);
    params->step_mm = load_le_f64(fields + 8);
    params->temp_ib = field_bytes >= 20 ? load_le_i32(fields + 16) : params->temp;
    const char *fn = "calibrationLoadDRNU_LUT";
    lx_log(LX_LOG_DBG, "DBG", "[%s] gOffsetDRNU_Temp0:%d\n", fn, params->offset);
    lx_log(LX_LOG_DBG, "DBG", "[%s] gTempCal0:%d\n", fn, params->temp);
    lx_log(LX_LOG_DBG, "DBG", "[%s] gTempCalIb0:%d\n", fn, params->temp_ib);
    lx_log(LX_LOG_DBG, "DBG", "[%s] gStepCalMM0:%2.4f\n", fn, params->step_mm);
    return true;
}

// Integer mean of the values in 1..59999; -1 when there is none.
int mean_phase(const uint16_t *image, size_t pixels) {
    int64_t sum = 0;
    int64_t count = 0;
    for (size_t i = 0; i < pixels; ++i) {
        if (image[i] >= 1 && image[i] <= 59999) {
            sum += image[i];
            ++count;
        }
    }
    return count ? static_cast<int>(sum / count) : -1;
}

int distances_for(long size, size_t image_bytes) {
    if (configGetModulationFrequency() == 36000) return 20;
    if (size < 0) return kMaxDistances;
    long d = size / static_cast<long>(image_bytes);
    return d > kMaxDistances ? kMaxDistances : static_cast<int>(d);
}

// True when a distance-image file of size bytes holds whole images, one to the table's 30 (or,
// at 36000 kHz, at least the 20 read). An unknown size (-1) is left to the read.
bool distance_file_fits(long size, size_t image_bytes) {
    if (size < 0) return true;
    const long images = size / static_cast<long>(image_bytes);
    const long least = configGetModulationFrequency() == 36000 ? 20 : 1;
    return size % static_cast<long>(image_bytes) == 0 && images >= least && images <= kMaxDistances;
}

}  // namespace

void set_calibration_files_used(bool used) { g_files_used = used; }

bool calibration_files_used() { return g_files_used; }

void reset_calibration() {
    for (int bank = 0; bank < 2; ++bank) {
        if (!g_bank_filled[bank]) continue;
        std::memset(distImagesDRNU[bank], 0, sizeof distImagesDRNU[bank]);
        g_bank_filled[bank] = false;
    }
    g_calib_scale_m = 1000;
    g_calib_offset_mm = -3400;
    g_calib.frequency_khz = kDefaultCalibFrequency;
    g_calib.copies[0] = g_calib.copies[1] = g_calib.working = DrnuParams{};
}

void set_calibration_limits(int columns, int rows) {
    g_calib.column_limit = columns;
    g_calib.row_limit = rows;
}

int calibration_frequency_khz() { return g_calib.frequency_khz; }

bool fit_scale_offset(int a0, int a_mid, int frequency_khz, double step_mm, int distances,
                      int *scale, int *offset_mm) {
    if (frequency_khz <= 0) return false;
    float range = 149896224.0f / static_cast<float>(frequency_khz);
    float x0 = kReferenceDistanceMm;
    // The step comes from the parameter file: a value that is not a number, or one whose
    // distance does not fit an int, gives no line (and no undefined conversion).
    const double xm_mm = step_mm * (distances / 2) + kReferenceDistanceMm;
    if (!(std::fabs(xm_mm) < 2e9)) return false;
    auto xm = static_cast<float>(static_cast<int>(xm_mm));
    float m0 = range * static_cast<float>(a0) / 30000.0f;
    float mm = range * static_cast<float>(a_mid) / 30000.0f;
    if (!(mm != m0)) return false;
    float slope = (xm - x0) / (mm - m0);
    const float scale_f = slope * 1000.0f;
    const float offset_f = std::round(x0 - m0 * slope);
    if (!(std::fabs(scale_f) < 2e9f) || !(std::fabs(offset_f) < 2e9f)) return false;
    *scale = static_cast<int>(scale_f);
    *offset_mm = static_cast<int>(offset_f);
    return true;
}

void unsort_rows(uint16_t *dst, const uint16_t *src, int width, int height) {
    if (height <= 0 || width <= 0) return;
    auto row_bytes = static_cast<size_t>(width) * sizeof(uint16_t);
    auto w = static_cast<size_t>(width);
    for (int m = 0; m < height / 2; ++m) {
        std::memcpy(dst + static_cast<size_t>(height - 2 - 2 * m) * w,
                    src + static_cast<size_t>(m) * w, row_bytes);
        std::memcpy(dst + static_cast<size_t>(2 * m + 1) * w,
                    src + static_cast<size_t>(height / 2 + m) * w, row_bytes);
    }
}

void fill_drnu_table(uint16_t *table, const uint16_t *images, int width, int height,
                     int distances) {
    if (width <= 0 || height <= 0 || distances <= 0) return;
    const auto w = static_cast<size_t>(width);
    const auto d = static_cast<size_t>(distances);
    const size_t pixels = w * static_cast<size_t>(height);
    // The image row of every raw row, in unsort_rows' order of writes (the last one stands).
    std::vector<int> source(static_cast<size_t>(height), -1);
    for (int m = 0; m < height / 2; ++m) {
        source[static_cast<size_t>(height - 2 - 2 * m)] = m;
        source[static_cast<size_t>(2 * m + 1)] = height / 2 + m;
    }
    // Columns in blocks whose table entries stay in the first-level cache while the images are
    // read row piece by row piece.
    constexpr size_t kBlock = 64;
    for (size_t r = 0; r < static_cast<size_t>(height); ++r) {
        uint16_t *out_row = table + r * w * d;
        if (source[r] < 0) {
            std::memset(out_row, 0, w * d * sizeof(uint16_t));
            continue;
        }
        const uint16_t *in_row = images + static_cast<size_t>(source[r]) * w;
        for (size_t c0 = 0; c0 < w; c0 += kBlock) {
            const size_t len = std::min(kBlock, w - c0);
            uint16_t *out = out_row + c0 * d;
            for (size_t k = 0; k < d; ++k) {
                const uint16_t *in = in_row + k * pixels + c0;
                for (size_t c = 0; c < len; ++c) out[c * d + k] = in[c];
            }
        }
    }
}

void prefault(const void *data, size_t bytes) {
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || bytes == 0) return;
    const auto p = static_cast<uintptr_t>(page);
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + p - 1) / p * p;
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) / p * p;
    if (end <= begin) return;
#ifdef MADV_POPULATE_READ
    // One call maps every page (untouched ones to the shared zero page).
    if (madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_READ) == 0) return;
#endif
    // Older kernels: read one byte of every page.
    volatile const unsigned char *bytes_at = reinterpret_cast<const unsigned char *>(begin);
    unsigned char sink = 0;
    for (uintptr_t offset = 0; offset < end - begin; offset += p) sink ^= bytes_at[offset];
    (void)sink;
}

// Lets the pages that bank `bank` lies on be huge pages where the system grants them: the 2 MiB
// pages of the bank that lie wholly within the table then cost one fault each instead of one per
// 4 KiB page, and the decode's reads miss the TLB less. (The table is not aligned to 2 MiB: such
// an alignment gives the library a load segment that valgrind cannot read the symbols of.)
void allow_huge_pages(int bank) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHuge = uintptr_t{1} << 21;
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0) return;
    const auto p = static_cast<uintptr_t>(page);
    const auto table_begin = reinterpret_cast<uintptr_t>(&distImagesDRNU[0][0]);
    const auto table_end =
        reinterpret_cast<uintptr_t>(&distImagesDRNU[1][0] + LUMOX_DRNU_BANK_ENTRIES);
    const auto bank_begin = reinterpret_cast<uintptr_t>(&distImagesDRNU[bank][0]);
    const uintptr_t bank_end = bank_begin + sizeof distImagesDRNU[bank];
    const uintptr_t begin = std::max(bank_begin / kHuge * kHuge, (table_begin + p - 1) / p * p);
    const uintptr_t end = std::min((bank_end + kHuge - 1) / kHuge * kHuge, table_end / p * p);
    if (end > begin) madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)bank;
#endif
}

}  // namespace lumox::evk

using namespace lumox::evk;

extern "C" {

LUMOX_API int calibrationGetDistanceImagesName(char *buffer) noexcept {
    if (!buffer) return -1;
    const char *stem = is_epc635(configGetPartType()) ? "epc635_images_drnu" : "ryn_ex_images_drnu";
    std::snprintf(buffer, kNameBytes, "%s_W%03i_C%03i_10.bin", stem, configGetWaferID(),
                  configGetChipID());
    return 0;
}

LUMOX_API int calibrationGetParamName(char *buffer) noexcept {
    if (!buffer) return -1;
    const char *stem = is_epc635(configGetPartType()) ? "epc635_drnu_param" : "ryn_ex_drnu_param";
    std::snprintf(buffer, kNameBytes, "%s_W%03i_C%03i_10.bin", stem, configGetWaferID(),
                  configGetChipID());
    return 0;
}

LUMOX_API int calibrateSetWidth(int width) noexcept { return g_calib.width = width; }
LUMOX_API int calibrateSetHeight(int height) noexcept { return g_calib.height = height; }
LUMOX_API int calibrateGetWidth(void) noexcept { return g_calib.width; }
LUMOX_API int calibrateGetHeight(void) noexcept { return g_calib.height; }
LUMOX_API int calibrateSetNumDistances(int count) noexcept { return g_calib.num_distances = count; }
LUMOX_API int calibrateGetNumDistances(void) noexcept { return g_calib.num_distances; }
LUMOX_API int calibrateGetTempCalib(void) noexcept { return g_calib.working.temp; }
LUMOX_API int calibrateGetIbTempCalib(void) noexcept { return g_calib.working.temp_ib; }
LUMOX_API double calibrateGetStepCalMM(void) noexcept { return g_calib.working.step_mm; }
LUMOX_API int calibrationGetOffsetDRNU(void) noexcept { return g_calib.working.offset; }

LUMOX_API int calibrationLoadDRNU_LUT(void) noexcept {
    DrnuParams params;
    if (!read_param_file(&params)) {
        params = DrnuParams{};
        g_calib.frequency_khz = kDefaultCalibFrequency;
    }
    g_calib.copies[0] = params;
    g_calib.copies[1] = params;
    g_calib.working = g_calib.copies[configGetModFreqMode() == 2 ? 0 : 1];
    pixel_settings().offset_phase_default =
        default_phase_offset(configGetModulationFrequency(), g_calib.working.offset);
    return 0;
}

LUMOX_API int calibrationLoadDistanceImages(int bank) noexcept {
    const char *fn = "calibrationLoadDistanceImages";
    if (bank != 0 && bank != 1) return -1;
    char name[kNameBytes];
    calibrationGetDistanceImagesName(name);
    std::string path = prefixed(name);

    lumox::platform::UniqueFile file(g_files_used ? lumox::platform::open_file(path.c_str(), "rb")
                                                  : nullptr);
    if (!file) {
        lx_log(LX_LOG_DBG, "DBG", "[%s] Can not open %s file\n", fn, path.c_str());
        return -1;
    }
    lx_log(LX_LOG_DBG, "DBG", "[%s] %s\n", fn, path.c_str());

    int width = g_calib.width;
    int height = g_calib.height;
    if (width <= 0 || height <= 0) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] Loading failed\n", fn);
        return -1;
    }
    auto pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    size_t image_bytes = pixels * sizeof(uint16_t);
    const long size = file_size(file.get());
    if (!distance_file_fits(size, image_bytes)) {
        lx_log(LX_LOG_WRN, "WRN",
               "[%s] %s has %ld bytes, which is not a whole number of 1 to %d images of %zu "
               "bytes: not loaded\n",
               fn, path.c_str(), size, kMaxDistances, image_bytes);
        return -1;
    }
    int distances = distances_for(size, image_bytes);
    size_t total = static_cast<size_t>(distances) * image_bytes;

    std::unique_ptr<uint16_t[]> work(new (std::nothrow) uint16_t[kDrnuWorkBytes / 2]);
    if (!work) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] malloc failed\n", fn);
        std::exit(-3);
    }
    // Less than one image, or more than the table holds, cannot be loaded.
    if (distances <= 0 || total > kDrnuWorkBytes ||
        std::fread(work.get(), 1, total, file.get()) != total) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] Loading failed\n", fn);
        return -1;
    }
    g_calib.num_distances = distances;

    int a0 = mean_phase(work.get(), pixels);
    int a_mid = mean_phase(work.get() + static_cast<size_t>(distances / 2) * pixels, pixels);
    if (a0 < 0 || a_mid < 0 ||
        !fit_scale_offset(a0, a_mid, g_calib.frequency_khz, g_calib.working.step_mm, distances,
                          &g_calib_scale_m, &g_calib_offset_mm)) {
        lx_log(LX_LOG_WRN, "WRN", "[%s] distance images give no fit, scale/offset kept\n", fn);
    }

    allow_huge_pages(bank);
    g_bank_filled[bank] = true;
    fill_drnu_table(distImagesDRNU[bank], work.get(), width, height, distances);
    // The DRNU formula reads bank 1 whichever bank was filled: with the table in bank 0 its
    // pages are mapped now rather than one fault at a time in the first decode.
    if (bank != 1) prefault(distImagesDRNU[1], pixels * static_cast<size_t>(distances) * 2);
    return 0;
}

}  // extern "C"
