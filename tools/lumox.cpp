// lumox: the command-line tool over the library's public C interface.

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <dirent.h>
#include <sys/stat.h>
#include <vector>

#include "lumox/lumox.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char *kUsage =
    "usage: lumox [OPTIONS] COMMAND [ARGS]\n"
    "commands:\n"
    "  list                          list the cameras attached\n"
    "  info                          identity, driver and parameters of a camera\n"
    "  capture --frames N [--out DIR]\n"
    "                                capture N raw frames (written to DIR with frames.csv)\n"
    "  depth --frames N [--out DIR] [--calib DIR] [--filter ID=VALUE|on|off]...\n"
    "                                capture N frames and decode them into distances; with\n"
    "                                --out, all distances (distance.lx), and of the last frame\n"
    "                                a colour image (distance.ppm), the gray image (gray.lx,\n"
    "                                gray.pgm) and the point cloud (points.ply); --calib: the\n"
    "                                calibration directory; --filter switches a processing\n"
    "                                step (ids: 0 undistort, 1 DRNU, 2 depth smoothing,\n"
    "                                4 minimum amplitude, 5 auto integration, 6 sum check,\n"
    "                                7 temperature monitor, 8 HDR)\n"
    "  param get ID|NAME             read a parameter\n"
    "  param set ID|NAME VALUE [LEN] write a parameter (VALUE little-endian, LEN 1-4 bytes,\n"
    "                                default 4)\n"
    "  reg read TARGET ADDR [COUNT]  read registers\n"
    "  reg write TARGET ADDR VALUE...\n"
    "                                write registers from ADDR on\n"
    "  firmware upgrade FILE --type T --version V\n"
    "                                write a firmware image (only a newer version is taken;\n"
    "                                types 0 and 1 reset the camera and wait 20 s, 2 and 3\n"
    "                                wait 7 s)\n"
    "  data download FILE --type T --version V\n"
    "                                write a data image into the camera's flash\n"
    "  data upload FILE --type T     read the camera's image of type T into FILE\n"
    "  calib fetch DIR               download and unpack the camera's calibration into DIR\n"
    "  calib show DIR                what the calibration files in DIR hold\n"
    "  cmap [MIN_MM MAX_MM [STEPS]]  print the distance colour ramp as 24-bit colour\n"
    "  atan2 Y X                     phase angle of (X, Y), 30000 units per turn\n"
    "options:\n"
    "  --device BUS:PORT             use the camera at this bus and port (default: the first)\n"
    "  --log FILE                    library log file (default lumox_YYYYMMDD.log)\n"
    "  --type T, --version V         image type and version of firmware and data images\n"
    "  --help, --version\n";

int usage() {
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

int fail(const char *fmt, const char *arg = "") {
    std::fprintf(stderr, "lumox: ");
    std::fprintf(stderr, fmt, arg);
    std::fputc('\n', stderr);
    return kExitFailure;
}

// Options and positional arguments, in any order.
struct Args {
    std::vector<std::string> words;
    std::string device;
    std::string out;
    std::string log;
    std::string calib;
    std::vector<std::string> filters;
    long frames = -1;
    long type = -1;           // image type, 0-255
    long image_version = -1;  // 0-65535
    bool help = false;
    bool version = false;
};

bool parse_number(const std::string &text, long long *value) {
    if (text.empty()) return false;
    char *end = nullptr;
    errno = 0;
    *value = std::strtoll(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0';
}

bool parse_args(int argc, char **argv, Args *args) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string *to) {
            if (i + 1 >= argc) return false;
            *to = argv[++i];
            return true;
        };
        if (a == "--help" || a == "-h") {
            args->help = true;
        } else if (a == "--version") {
            // "--version V" is an image version; alone it asks for the tool's version.
            long long v = 0;
            if (i + 1 < argc && parse_number(argv[i + 1], &v)) {
                if (v < 0 || v > 65535) {
                    std::fprintf(stderr, "lumox: --version needs a number from 0 to 65535\n");
                    return false;
                }
                args->image_version = static_cast<long>(v);
                ++i;
            } else {
                args->version = true;
            }
        } else if (a == "--device") {
            if (!value(&args->device)) return false;
        } else if (a == "--out") {
            if (!value(&args->out)) return false;
        } else if (a == "--log") {
            if (!value(&args->log)) return false;
        } else if (a == "--calib") {
            if (!value(&args->calib)) return false;
        } else if (a == "--filter") {
            std::string f;
            if (!value(&f)) return false;
            args->filters.push_back(f);
        } else if (a == "--frames") {
            std::string n;
            long long frames = 0;
            if (!value(&n) || !parse_number(n, &frames) || frames <= 0 || frames > 100000000) {
                std::fprintf(stderr, "lumox: --frames needs a positive count\n");
                return false;
            }
            args->frames = static_cast<long>(frames);
        } else if (a == "--type") {
            std::string n;
            long long v = 0;
            if (!value(&n) || !parse_number(n, &v) || v < 0 || v > 255) {
                std::fprintf(stderr, "lumox: --type needs a number from 0 to 255\n");
                return false;
            }
            args->type = static_cast<long>(v);
        } else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            std::fprintf(stderr, "lumox: unknown option %s\n", a.c_str());
            return false;
        } else {
            args->words.push_back(a);
        }
    }
    return true;
}

// A fixed-size text field of the device record, which is not terminated when full.
std::string field(const char *text, size_t size) { return std::string(text, strnlen(text, size)); }

std::string hex(const uint8_t *bytes, size_t n) {
    std::string out;
    char cell[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(cell, sizeof cell, i ? " %02x" : "%02x", bytes[i]);
        out += cell;
    }
    return out;
}

// The library, started for the commands that talk to a camera and ended with them.
class Library {
  public:
    explicit Library(const std::string &log) { lumox_init(log.empty() ? nullptr : log.c_str()); }
    ~Library() {
        if (dev_) lumox_dev_close(dev_);
        lumox_uninit();
    }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    // Opens the camera named by "BUS:PORT", or the first camera. Prints why when it cannot.
    lumox_dev_t *open(const std::string &where) {
        lumox_dev_t list[16];
        const int32_t n = lumox_dev_list(list, 16);
        if (n <= 0) {
            fail("no camera found");
            return nullptr;
        }
        int pick = 0;
        if (!where.empty()) {
            unsigned bus = 0;
            unsigned port = 0;
            char extra = 0;
            if (std::sscanf(where.c_str(), "%u:%u%c", &bus, &port, &extra) != 2) {
                fail("--device needs BUS:PORT, not '%s'", where.c_str());
                return nullptr;
            }
            pick = -1;
            for (int32_t i = 0; i < n; ++i) {
                if (list[i].bus == bus && list[i].port == port) pick = i;
            }
            if (pick < 0) {
                fail("no camera at %s", where.c_str());
                return nullptr;
            }
        }
        record_ = list[pick];
        dev_ = lumox_dev_open(&record_);
        if (!dev_) fail("cannot open the camera (see the library log)");
        return dev_;
    }

  private:
    lumox_dev_t record_{};
    lumox_dev_t *dev_ = nullptr;
};

int cmd_list(const Args &args) {
    Library lib(args.log);
    lumox_dev_t list[16];
    const int32_t n = lumox_dev_list(list, 16);
    if (n <= 0) {
        std::printf("no camera found\n");
        return kExitOk;
    }
    std::printf("%-9s %-5s %-5s\n", "BUS:PORT", "ADDR", "SPEED");
    for (int32_t i = 0; i < n; ++i) {
        std::printf("%3u:%-5u %-5u %-5u\n", list[i].bus, list[i].port, list[i].addr, list[i].speed);
    }
    return kExitOk;
}

// Parameter identifier from a number or a name ("LUMOX_PARAM_FRAME_RATE", "FRAME_RATE",
// "frame_rate").
bool parse_param_id(const std::string &text, uint32_t *id) {
    long long n = 0;
    if (parse_number(text, &n)) {
        if (n < 0 || n > 0xFFFFFFFFll) return false;
        *id = static_cast<uint32_t>(n);
        return true;
    }
    std::string upper;
    for (char c : text) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (uint32_t i = 0; i < 256; ++i) {
        const char *name = lumox_param_name(i);
        if (!name) continue;
        if (upper == name || "LUMOX_PARAM_" + upper == name) {
            *id = i;
            return true;
        }
    }
    return false;
}

void print_param(const lumox_param_item &item) {
    const char *name = lumox_param_name(item.param_id);
    const size_t len =
        item.param_val_len < sizeof item.param_val ? item.param_val_len : sizeof item.param_val;
    std::printf("%3u %-24s len=%-2u [%s]", item.param_id, name ? name : "-", item.param_val_len,
                hex(item.param_val, len).c_str());
    if (len >= 1 && len <= 4) {
        uint32_t v = 0;
        for (size_t i = 0; i < len; ++i) v |= static_cast<uint32_t>(item.param_val[i]) << (8 * i);
        std::printf(" = %u", v);
    }
    if (item.param_id == LUMOX_PARAM_PRODUCT || item.param_id == LUMOX_PARAM_ID2) {
        std::printf(" \"%s\"", field(reinterpret_cast<const char *>(item.param_val), len).c_str());
    }
    std::printf("\n");
}

int cmd_info(const Args &args) {
    Library lib(args.log);
    lumox_dev_t *dev = lib.open(args.device);
    if (!dev) return kExitFailure;
    const lumox_drv *drv = lumox_dev_get_drv(dev);
    std::printf("location   %u:%u (address %u, speed %u)\n", dev->bus, dev->port, dev->addr,
                dev->speed);
    std::printf("product    %s\n", field(dev->product, sizeof dev->product).c_str());
    std::printf("identity   %s\n", field(dev->id2, sizeof dev->id2).c_str());
    std::printf("param 5    [%s]\n", hex(dev->id5_data, sizeof dev->id5_data).c_str());
    std::printf("param 6    [%s]\n", hex(dev->id6_data, sizeof dev->id6_data).c_str());
    std::printf("driver     %s (%s)\n", drv ? drv->name : "-", drv ? drv->code : "-");
    std::printf("parameters:\n");
    const uint32_t ids[] = {LUMOX_PARAM_MODE,       LUMOX_PARAM_CHIP_INFO,  LUMOX_PARAM_CALIB_INFO,
                            LUMOX_PARAM_OP_MODE,    LUMOX_PARAM_FRAME_RATE, LUMOX_PARAM_INTG_TIME,
                            LUMOX_PARAM_TEMPERATURE};
    for (uint32_t id : ids) {
        lumox_param_item item{};
        item.param_id = id;
        if (lumox_param_batch_get(dev, &item, 1)) {
            print_param(item);
        } else {
            std::printf("%3u %-24s (not answered)\n", id, lumox_param_name(id));
        }
    }
    return kExitOk;
}

int cmd_param(const Args &args) {
    const auto &w = args.words;
    if (w.size() < 3) return usage();
    const bool set = w[1] == "set";
    if (!set && w[1] != "get") return usage();
    lumox_param_item item{};
    if (!parse_param_id(w[2], &item.param_id)) return fail("unknown parameter '%s'", w[2].c_str());
    long long value = 0;
    long long len = 4;
    if (set) {
        if (w.size() < 4 || w.size() > 5) return usage();
        if (!parse_number(w[3], &value)) return fail("bad value '%s'", w[3].c_str());
        if (w.size() == 5 && (!parse_number(w[4], &len) || len < 1 || len > 4)) {
            return fail("length must be 1 to 4 bytes, not '%s'", w[4].c_str());
        }
        item.param_val_len = static_cast<uint8_t>(len);
        for (long long i = 0; i < len; ++i) {
            item.param_val[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
        }
    } else if (w.size() != 3) {
        return usage();
    }
    Library lib(args.log);
    lumox_dev_t *dev = lib.open(args.device);
    if (!dev) return kExitFailure;
    if (set) {
        if (!lumox_param_batch_set(dev, &item, 1)) return fail("the camera refused the parameter");
        std::printf("set ");
        print_param(item);
        return kExitOk;
    }
    if (!lumox_param_batch_get(dev, &item, 1)) return fail("the camera did not answer");
    print_param(item);
    return kExitOk;
}

int cmd_reg(const Args &args) {
    const auto &w = args.words;
    if (w.size() < 4) return usage();
    const bool write = w[1] == "write";
    if (!write && w[1] != "read") return usage();
    long long target = 0;
    long long addr = 0;
    if (!parse_number(w[2], &target) || target < 0 || target > 255) {
        return fail("bad target '%s'", w[2].c_str());
    }
    if (!parse_number(w[3], &addr) || addr < 0 || addr > 0xFFFFFFFFll) {
        return fail("bad register address '%s'", w[3].c_str());
    }
    std::vector<uint32_t> values;
    if (write) {
        if (w.size() < 5) return usage();
        for (size_t i = 4; i < w.size(); ++i) {
            long long v = 0;
            if (!parse_number(w[i], &v) || v < 0 || v > 0xFFFFFFFFll) {
                return fail("bad register value '%s'", w[i].c_str());
            }
            values.push_back(static_cast<uint32_t>(v));
        }
    } else {
        long long count = 1;
        if (w.size() > 5) return usage();
        if (w.size() == 5 && (!parse_number(w[4], &count) || count < 1 || count > 65535)) {
            return fail("bad register count '%s'", w[4].c_str());
        }
        values.assign(static_cast<size_t>(count), 0);
    }
    if (values.size() > 65535) return fail("too many registers");
    Library lib(args.log);
    lumox_dev_t *dev = lib.open(args.device);
    if (!dev) return kExitFailure;
    const auto cnt = static_cast<uint16_t>(values.size());
    const auto tgt = static_cast<uint8_t>(target);
    const auto base = static_cast<uint32_t>(addr);
    if (write) {
        if (!lumox_reg_batch_write(dev, tgt, base, values.data(), cnt)) {
            return fail("register write failed");
        }
        std::printf("wrote %u register(s) at %u:0x%x\n", cnt, tgt, base);
        return kExitOk;
    }
    if (!lumox_reg_batch_read(dev, tgt, base, values.data(), cnt)) {
        return fail("register read failed");
    }
    for (uint16_t i = 0; i < cnt; ++i) {
        std::printf("%u:0x%04x = 0x%08x (%u)\n", tgt, base + i, values[i], values[i]);
    }
    return kExitOk;
}

bool make_dirs(const std::string &path) {
    std::string partial;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            if (!partial.empty() && mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
                return false;
            }
        }
        if (i < path.size()) partial += path[i];
    }
    return true;
}

bool write_file(const std::string &path, const uint8_t *data, size_t n) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, n, f) == n;
    return std::fclose(f) == 0 && ok;
}

int cmd_capture(const Args &args) {
    if (args.words.size() != 1 || args.frames <= 0) return usage();
    if (!args.out.empty() && !make_dirs(args.out)) {
        return fail("cannot create the output directory '%s'", args.out.c_str());
    }
    FILE *csv = nullptr;
    if (!args.out.empty()) {
        csv = std::fopen((args.out + "/frames.csv").c_str(), "w");
        if (!csv) return fail("cannot write '%s/frames.csv'", args.out.c_str());
        std::fprintf(csv,
                     "file,index,size,format,width,height,pixel_bytes,temp_sensor_c,"
                     "temp_board_c\n");
    }
    Library lib(args.log);
    lumox_dev_t *dev = lib.open(args.device);
    if (!dev) {
        if (csv) std::fclose(csv);
        return kExitFailure;
    }
    constexpr uint32_t kBufferedFrames = 10;
    if (!lumox_cap_set_frame_buffer(dev, nullptr, kBufferedFrames * LUMOX_FRAME_BUF_UNIT) ||
        !lumox_cap_start(dev)) {
        if (csv) std::fclose(csv);
        return fail("the camera did not start streaming");
    }

    std::vector<uint8_t> buf(8u << 20);
    int status = kExitOk;
    long got = 0;
    std::chrono::steady_clock::time_point first;
    std::chrono::steady_clock::time_point last;
    while (got < args.frames) {
        lumox_frame_info info{};
        const int32_t r =
            lumox_cap_get_frames(dev, 1, buf.data(), static_cast<uint32_t>(buf.size()), &info);
        if (r < 0) {
            std::fprintf(stderr, "lumox: capture ended: %s (%d)\n",
                         r == -2 ? "not capturing" : lumox_error_name(r), r);
            status = kExitFailure;
            break;
        }
        if (r == 0) {
            std::fprintf(stderr, "lumox: no frame within the time-out\n");
            status = kExitFailure;
            break;
        }
        last = std::chrono::steady_clock::now();
        if (got == 0) first = last;
        lx_raw_frame_info raw{};
        lumox_cap_get_raw_info(dev, &raw);
        const double t_sensor = raw.temp_sensor / 10.0;
        const double t_board = raw.temp_ib / 10.0;
        std::printf("frame %5u  size %8u  fmt %3u  %ux%u  sensor %5.1f C  board %5.1f C\n",
                    info.frame_idx, info.frame_size, info.frame_format, info.width, info.height,
                    t_sensor, t_board);
        if (info.frame_size > buf.size()) {
            std::fprintf(stderr, "lumox: frame %u cut to %zu bytes\n", info.frame_idx, buf.size());
        }
        if (csv) {
            char name[32];
            std::snprintf(name, sizeof name, "frame_%05ld.raw", got);
            const size_t n = info.frame_size < buf.size() ? info.frame_size : buf.size();
            if (!write_file(args.out + "/" + name, buf.data(), n)) {
                std::fprintf(stderr, "lumox: cannot write %s/%s\n", args.out.c_str(), name);
                status = kExitFailure;
                break;
            }
            std::fprintf(csv, "%s,%u,%u,%u,%u,%u,%u,%.1f,%.1f\n", name, info.frame_idx,
                         info.frame_size, info.frame_format, info.width, info.height,
                         info.pixel_bytes, t_sensor, t_board);
        }
        ++got;
    }

    lumox_cap_stats stats{};
    lumox_cap_get_stats(dev, &stats);
    lumox_cap_stop(dev);
    if (csv && std::fclose(csv) != 0) status = kExitFailure;

    const double seconds = std::chrono::duration<double>(last - first).count();
    std::printf("frames captured    %ld\n", got);
    std::printf("stream: received %u, queued %u, discarded %u, overflowed %u, bytes dropped %u\n",
                stats.frames_received, stats.frames_queued, stats.frames_discarded,
                stats.frames_overflowed, stats.bytes_dropped);
    if (got > 1 && seconds > 0) {
        std::printf("frame rate         %.2f frames/s\n", (got - 1) / seconds);
    } else {
        std::printf("frame rate         - (fewer than two frames)\n");
    }
    if (!args.out.empty()) std::printf("written to         %s\n", args.out.c_str());
    return status;
}

// Prints the colour of evenly spaced distances, as hex words and as a 24-bit colour strip.
// "--filter ID=VALUE|on|off": 1 and 2 take an 8-bit value, 4 to 7 a 16-bit one, 0 and 8 none.
bool apply_filter(lumox_dev_t *dev, const std::string &setting) {
    const size_t eq = setting.find('=');
    long long id = 0;
    if (eq == std::string::npos || !parse_number(setting.substr(0, eq), &id) || id < 0 || id > 8) {
        fail("--filter needs ID=VALUE, ID=on or ID=off, not '%s'", setting.c_str());
        return false;
    }
    const std::string v = setting.substr(eq + 1);
    const auto fid = static_cast<uint32_t>(id);
    if (v == "off") {
        if (lumox_filter_disable(dev, fid) == 1) return true;
        fail("filter %s refused", setting.c_str());
        return false;
    }
    long long n = 1;
    if (v != "on" && !parse_number(v, &n)) {
        fail("--filter value '%s' is not a number", v.c_str());
        return false;
    }
    uint8_t u8 = static_cast<uint8_t>(n);
    uint16_t u16 = static_cast<uint16_t>(n);
    int32_t r = 0;
    if (fid == 1 || fid == 2)
        r = lumox_filter_enable(dev, fid, &u8, 1);
    else if (fid >= 4 && fid <= 7)
        r = lumox_filter_enable(dev, fid, &u16, 2);
    else
        r = lumox_filter_enable(dev, fid, nullptr, 0);
    if (r != 1) {
        fail("filter %s refused (for DRNU: no calibration files)", setting.c_str());
        return false;
    }
    return true;
}

bool save_frame_file(const std::string &path, bool gray, const std::vector<float> &v, uint32_t w,
                     uint32_t h) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const int n = static_cast<int>(v.size());
    const int ok = gray ? lumox_frame_save_gray(fileno(f), SAVE_FMT_U16, v.data(), n,
                                                static_cast<int>(w), static_cast<int>(h))
                        : lumox_frame_save_distance(fileno(f), SAVE_FMT_F32, v.data(), n,
                                                    static_cast<int>(w), static_cast<int>(h));
    return std::fclose(f) == 0 && ok == 1;
}

bool write_image(const std::string &path, const char *magic, const std::vector<uint8_t> &px,
                 uint32_t w, uint32_t h) {
    char head[64];
    const int hn = std::snprintf(head, sizeof head, "%s\n%u %u\n255\n", magic, w, h);
    std::vector<uint8_t> bytes(head, head + hn);
    bytes.insert(bytes.end(), px.begin(), px.end());
    return write_file(path, bytes.data(), bytes.size());
}

// Binary little-endian PLY of packed x, y, z points.
bool write_ply(const std::string &path, const std::vector<float> &xyz, size_t points) {
    char head[160];
    const int hn = std::snprintf(head, sizeof head,
                                 "ply\nformat binary_little_endian 1.0\nelement vertex %zu\n"
                                 "property float x\nproperty float y\nproperty float z\n"
                                 "end_header\n",
                                 points);
    std::vector<uint8_t> bytes(head, head + hn);
    const auto *p = reinterpret_cast<const uint8_t *>(xyz.data());
    bytes.insert(bytes.end(), p, p + 3 * points * sizeof(float));
    return write_file(path, bytes.data(), bytes.size());
}

// The last frame's colour distance image, gray image and point cloud.
bool write_last_frame(lumox_dev_t *dev, const std::string &out, const std::vector<float> &dist,
                      const uint8_t *raw, uint32_t raw_len, const lumox_frame_info &info) {
    const uint32_t w = info.width;
    const uint32_t h = info.height;
    const uint32_t n = w * h;
    std::vector<uint8_t> rgb(3 * static_cast<size_t>(n));
    lumox_cmap_float(rgb.data(), static_cast<int32_t>(rgb.size()), dist.data(),
                     static_cast<int32_t>(n), LUMOX_CMAP_RGB24, 0.0f, 5.0f);
    if (!write_image(out + "/distance.ppm", "P6", rgb, w, h)) return false;

    std::vector<float> gray(n);
    if (lumox_frame_get_gray(dev, gray.data(), n, raw, raw_len, &info) > 0) {
        float top = 1.0f;
        for (float g : gray) top = std::max(top, g);
        std::vector<uint8_t> pgm(n);
        for (uint32_t i = 0; i < n; ++i)
            pgm[i] = static_cast<uint8_t>(std::min(255.0f, gray[i] * 255.0f / top));
        if (!save_frame_file(out + "/gray.lx", true, gray, w, h) ||
            !write_image(out + "/gray.pgm", "P5", pgm, w, h))
            return false;
    }
    std::vector<float> xyz(3 * static_cast<size_t>(n));
    const int32_t points = lumox_frame_get_pcl(dev, xyz.data(), static_cast<uint32_t>(xyz.size()),
                                               dist.data(), n, w, h, nullptr);
    return points <= 0 || write_ply(out + "/points.ply", xyz, static_cast<size_t>(points));
}

// Captures frames and turns them into distance images: the library's main job.
int cmd_depth(const Args &args) {
    if (args.words.size() != 1 || args.frames <= 0) return usage();
    if (!args.out.empty() && !make_dirs(args.out))
        return fail("cannot create the output directory '%s'", args.out.c_str());
    std::string calib_dir;
    if (!args.calib.empty()) {
        calib_dir = args.calib.back() == '/' ? args.calib : args.calib + "/";
        if (!make_dirs(calib_dir)) return fail("cannot create '%s'", calib_dir.c_str());
    }
    Library lib(args.log);
    if (!calib_dir.empty()) lumox_path_cfg(calib_dir.c_str());
    lumox_dev_t *dev = lib.open(args.device);
    if (!dev) return kExitFailure;
    for (const std::string &f : args.filters)
        if (!apply_filter(dev, f)) return kExitFailure;
    if (!lumox_cap_set_frame_buffer(dev, nullptr, 4 * LUMOX_FRAME_BUF_UNIT) ||
        !lumox_cap_start(dev))
        return fail("the camera did not start streaming");

    std::vector<uint8_t> raw(8u << 20);
    std::vector<float> dist;
    std::vector<float> all;  // every decoded frame, for distance.lx
    uint32_t w = 0;
    uint32_t h = 0;
    double decode_ms = 0;
    lumox_frame_info last{};
    long got = 0;
    int status = kExitOk;
    while (got < args.frames) {
        lumox_frame_info info{};
        const int32_t r =
            lumox_cap_get_frames(dev, 1, raw.data(), static_cast<uint32_t>(raw.size()), &info);
        if (r <= 0) {
            std::fprintf(stderr, "lumox: capture ended: %s\n",
                         r == 0 ? "no frame within the time-out" : lumox_error_name(r));
            status = kExitFailure;
            break;
        }
        w = info.width;
        h = info.height;
        const uint32_t n = w * h;
        dist.resize(n);
        const auto t0 = std::chrono::steady_clock::now();
        const int32_t px =
            lumox_frame_get_distance(dev, dist.data(), n, raw.data(),
                                     std::min<uint32_t>(info.frame_size, raw.size()), &info);
        decode_ms +=
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count();
        if (px <= 0) {
            std::printf("frame %5u  format %u: no distance image\n", info.frame_idx,
                        info.frame_format);
            ++got;
            continue;
        }
        double sum = 0;
        uint32_t valid = 0;
        float lo = 1e9f;
        float hi = 0;
        for (float d : dist) {
            if (!(d > 0.0f && d < 60.0f)) continue;  // filtered or invalid pixels
            sum += d;
            ++valid;
            lo = std::min(lo, d);
            hi = std::max(hi, d);
        }
        std::printf("frame %5u  %ux%u  valid %5.1f%%  mean %.3f m  min %.3f m  max %.3f m\n",
                    info.frame_idx, w, h, 100.0 * valid / n, valid ? sum / valid : 0.0,
                    valid ? lo : 0.0f, hi);
        if (!args.out.empty()) all.insert(all.end(), dist.begin(), dist.end());
        last = info;
        ++got;
    }
    lumox_cap_stop(dev);
    if (got > 0) std::printf("decode             %.3f ms per frame\n", decode_ms / got);

    if (!args.out.empty() && !all.empty() && status == kExitOk) {
        if (!save_frame_file(args.out + "/distance.lx", false, all, w, h) ||
            !write_last_frame(dev, args.out, dist, raw.data(),
                              std::min<uint32_t>(last.frame_size, raw.size()), last))
            return fail("cannot write the images in '%s'", args.out.c_str());
        std::printf("written to         %s/ distance.lx distance.ppm gray.lx gray.pgm points.ply\n",
                    args.out.c_str());
    }
    return status;
}

// ---- Firmware and data images ----

// A one-line progress bar on stderr, redrawn when the percentage changes.
struct ProgressBar {
    int last = -1;
    static void update(uint64_t done, uint64_t total, void *user) {
        auto *bar = static_cast<ProgressBar *>(user);
        const int pct = total ? static_cast<int>(done * 100 / total) : 100;
        if (pct == bar->last) return;
        bar->last = pct;
        char cells[41];
        const int filled = pct * 40 / 100;
        for (int k = 0; k < 40; ++k) cells[k] = k < filled ? '#' : '.';
        cells[40] = '\0';
        std::fprintf(stderr, "\r[%s] %3d%% %" PRIu64 "/%" PRIu64 " bytes", cells, pct, done, total);
        std::fflush(stderr);
    }
    void end() const {
        if (last >= 0) std::fputc('\n', stderr);
    }
};

int cmd_image_write(const Args &args, const char *what) {
    const auto &w = args.words;
    if (w.size() != 3 || args.type < 0 || args.image_version < 0) return usage();
    const std::string &file = w[2];
    Library lib(args.log);
    lumox_dev_t *dev = lib.open(args.device);
    if (!dev) return kExitFailure;
    ProgressBar bar;
    const auto type = static_cast<uint8_t>(args.type);
    const auto version = static_cast<uint16_t>(args.image_version);
    if (type <= 3)
        std::fprintf(stderr, "Do not unplug or power off the camera until this command ends.\n");
    const int32_t r = lumox_data_download_progress(dev, file.c_str(), type, version, 0,
                                                   ProgressBar::update, &bar);
    bar.end();
    if (r != 1) {
        std::fprintf(stderr,
                     "%s FAILED: %s was not written (type %u, version %u). The camera keeps its "
                     "previous image; the library log says why (an older or equal version is "
                     "refused).\n",
                     what, file.c_str(), type, version);
        return kExitFailure;
    }
    std::printf("%s done: %s written as type %u, version %u\n", what, file.c_str(), type, version);
    return kExitOk;
}

int cmd_image_read(const Args &args) {
    const auto &w = args.words;
    if (w.size() != 3 || args.type < 0) return usage();
    Library lib(args.log);
    lumox_dev_t *dev = lib.open(args.device);
    if (!dev) return kExitFailure;
    ProgressBar bar;
    const int32_t r = lumox_data_upload_progress(dev, static_cast<uint8_t>(args.type), w[2].c_str(),
                                                 ProgressBar::update, &bar);
    bar.end();
    if (r != 1) {
        std::fprintf(stderr,
                     "data upload FAILED: no image of type %ld read (see the library log)\n",
                     args.type);
        return kExitFailure;
    }
    std::printf("data upload done: image of type %ld in %s\n", args.type, w[2].c_str());
    return kExitOk;
}

int cmd_firmware(const Args &args) {
    if (args.words.size() < 2 || args.words[1] != "upgrade") return usage();
    return cmd_image_write(args, "firmware upgrade");
}

int cmd_data(const Args &args) {
    if (args.words.size() < 2) return usage();
    if (args.words[1] == "download") return cmd_image_write(args, "data download");
    if (args.words[1] == "upload") return cmd_image_read(args);
    return usage();
}

// ---- Calibration ----

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

uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) |
           (static_cast<uint32_t>(p[3]) << 24);
}

std::string dir_prefix(std::string dir) {
    if (dir.empty()) dir = ".";
    if (dir.back() != '/') dir += '/';
    return dir;
}

int cmd_calib_fetch(const Args &args) {
    if (args.words.size() != 3) return usage();
    const std::string dir = dir_prefix(args.words[2]);
    if (!make_dirs(dir)) return fail("cannot create '%s'", dir.c_str());
    Library lib(args.log);
    lumox_path_cfg(dir.c_str());
    // Opening the camera fetches its calibration when the directory does not hold it yet.
    lumox_dev_t *dev = lib.open(args.device);
    if (!dev) return kExitFailure;
    char images[300] = {};
    char params[300] = {};
    calibrationGetDistanceImagesName(images);
    calibrationGetParamName(params);
    const auto image_bytes = read_all(dir + images);
    const auto param_bytes = read_all(dir + params);
    if (image_bytes.empty()) {
        std::fprintf(stderr,
                     "calib fetch FAILED: the camera gave no usable calibration (see the library "
                     "log)\n");
        return kExitFailure;
    }
    std::printf("%s%s (%zu bytes)\n%s%s (%zu bytes)\n", dir.c_str(), params, param_bytes.size(),
                dir.c_str(), images, image_bytes.size());
    return kExitOk;
}

// Prints a parameter file and the distance images found in DIR.
int cmd_calib_show(const Args &args) {
    if (args.words.size() != 3) return usage();
    const std::string dir = dir_prefix(args.words[2]);
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) names.emplace_back(e->d_name);
        closedir(d);
    }
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
            size_t at = 0;
            uint32_t freq = 12000;
            if (bytes.size() == 24) {
                freq = le32(bytes.data());
                at = 4;
            }
            if (bytes.size() < at + 16) {
                std::printf("  too short for a parameter file\n");
                continue;
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
        } else {
            // 320 x 240 images (160 x 60 for the small sensor), 16-bit angle units.
            const size_t area = name.rfind("epc635", 0) == 0 ? 160 * 60 : 320 * 240;
            const size_t count = bytes.size() / (2 * area);
            std::printf("  %zu distance images of %zu pixels; mean angle per image:\n", count,
                        area);
            for (size_t k = 0; k < count; ++k) {
                uint64_t sum = 0;
                size_t n = 0;
                for (size_t i = 0; i < area; ++i) {
                    const size_t at = 2 * (k * area + i);
                    const unsigned v = bytes[at] | (bytes[at + 1] << 8);
                    if (v > 0 && v < 30000) {
                        sum += v;
                        ++n;
                    }
                }
                std::printf("  %2zu: %7.1f (%zu valid)\n", k, n ? double(sum) / n : 0.0, n);
            }
        }
    }
    if (shown == 0) return fail("no calibration files in '%s'", dir.c_str());
    return kExitOk;
}

int cmd_calib(const Args &args) {
    if (args.words.size() < 2) return usage();
    if (args.words[1] == "fetch") return cmd_calib_fetch(args);
    if (args.words[1] == "show") return cmd_calib_show(args);
    return usage();
}

int cmd_cmap(const std::vector<std::string> &w) {
    const int lo = w.size() > 1 ? std::atoi(w[1].c_str()) : 0;
    const int hi = w.size() > 2 ? std::atoi(w[2].c_str()) : 4000;
    const int steps = w.size() > 3 ? std::atoi(w[3].c_str()) : 40;
    if (steps <= 0 || hi <= lo) return usage();
    lx_cmap map{};
    if (!lx_cmap_init(&map, 30000)) return fail("out of memory");
    lx_cmap_set_range(&map, lo, hi);
    std::string strip;
    for (int i = 1; i <= steps; ++i) {
        const int mm = lo + static_cast<int>(static_cast<long long>(hi - lo) * i / steps);
        const uint32_t c = lx_cmap_get_color(&map, mm);
        std::printf("%6d mm  %06X\n", mm, static_cast<unsigned>(c));
        char cell[64];
        std::snprintf(cell, sizeof cell, "\x1b[48;2;%u;%u;%um ", (c >> 16) & 0xFF, (c >> 8) & 0xFF,
                      c & 0xFF);
        strip += cell;
    }
    std::printf("%s\x1b[0m\n", strip.c_str());
    lx_cmap_uninit(&map);
    return kExitOk;
}

int cmd_atan2(const std::vector<std::string> &w) {
    if (w.size() < 3) return usage();
    std::printf("%d\n", lx_math_atan2_i32(std::atoi(w[1].c_str()), std::atoi(w[2].c_str())));
    return kExitOk;
}

}  // namespace

int main(int argc, char **argv) {
    Args args;
    if (!parse_args(argc, argv, &args)) return usage();
    if (args.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (args.version) {
        std::printf("lumox %s\n", LUMOX_VERSION);
        return kExitOk;
    }
    if (args.words.empty()) return usage();
    const std::string &cmd = args.words[0];
    if (cmd == "list") return cmd_list(args);
    if (cmd == "info") return cmd_info(args);
    if (cmd == "capture") return cmd_capture(args);
    if (cmd == "depth") return cmd_depth(args);
    if (cmd == "param") return cmd_param(args);
    if (cmd == "reg") return cmd_reg(args);
    if (cmd == "firmware") return cmd_firmware(args);
    if (cmd == "data") return cmd_data(args);
    if (cmd == "calib") return cmd_calib(args);
    if (cmd == "cmap") return cmd_cmap(args.words);
    if (cmd == "atan2") return cmd_atan2(args.words);
    std::fprintf(stderr, "lumox: unknown command '%s'\n", cmd.c_str());
    return usage();
}
