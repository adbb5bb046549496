#include "session.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "calibration_cache.h"
#include "command.h"
#include "correction.h"
#include "writers.h"

namespace lumox_cli {

Session::Session(const Args &args) : log_(args.value("--log")) {
    if (args.has("--device")) location_ = parse_device(args.value("--device"));
    if (args.has("--serial")) {
        serial_ = args.value("--serial");
        if (serial_.empty() || serial_.size() > LUMOX_SERIAL_MAX)
            throw UsageError("--serial needs the camera's serial (1-" +
                             std::to_string(LUMOX_SERIAL_MAX) + " characters)");
        if (location_) throw UsageError("--device and --serial both name a camera: give one");
    }
    if (!log_.empty()) {
        lumox_init(log_.c_str());
    } else {
        // The library opens a log file at start-up; give it one that keeps nothing, and silence
        // that output.
        lumox_init("/dev/null");
        lx_log_enable(LX_LOG_OUT_FILE, LX_LOG_OFF, nullptr);
    }
    // The library's records would mix with the tool's own output: they go to the --log file only.
    lx_log_enable(LX_LOG_OUT_CONSOLE, LX_LOG_OFF, nullptr);
}

Session::~Session() {
    close();
    lumox_uninit();
}

void Session::close() {
    if (dev_) lumox_dev_close(dev_);
    dev_ = nullptr;
}

lumox_dev_t *Session::open() {
    lumox_dev_t list[16];
    const int32_t n = lumox_dev_list(list, 16);
    if (n <= 0) {
        fail("no camera found");
        return nullptr;
    }
    int pick = 0;
    if (!serial_.empty()) {
        record_ = lumox_dev_t{};
        if (!lumox_dev_find_serial(&record_, serial_.c_str())) {
            fail("no camera with serial %s (a camera in use elsewhere cannot be asked)",
                 serial_.c_str());
            return nullptr;
        }
    } else if (location_) {
        pick = -1;
        for (int32_t i = 0; i < n; ++i) {
            if (list[i].bus == location_->bus && list[i].port == location_->port) pick = i;
        }
        if (pick < 0) {
            fail("no camera at %u:%u", location_->bus, location_->port);
            return nullptr;
        }
    }
    if (serial_.empty())
        record_ = list[pick];
    else
        location_ = DeviceLocation{record_.bus, record_.port};  // names the calibration cache
    use_cached_calibration();
    lumox_clear_last_error();
    dev_ = serial_.empty() ? lumox_dev_open(&record_)
                           : lumox_dev_open_serial(&record_, serial_.c_str());
    // An uncalibrated camera leaves no empty directory behind.
    if (!made_calibration_dir_.empty()) {
        std::error_code ec;
        if (std::filesystem::is_empty(made_calibration_dir_, ec))
            std::filesystem::remove(made_calibration_dir_, ec);
    }
    if (!dev_) {
        fail("cannot open the camera (%s)", failure_hint().c_str());
        return nullptr;
    }
    // Later probes (after close()) find the camera opened here, wherever it was chosen from.
    location_ = DeviceLocation{dev_->bus, dev_->port};
    return dev_;
}

void Session::use_cached_calibration() {
    if (calibration_chosen_ || std::strcmp(lumox_path_get(), ".\\") != 0) return;
    calibration_chosen_ = true;
    std::string dir = camera_cache_dir(location_);
    if (dir.empty()) dir = kDefaultCalibrationDir;
    std::error_code ec;
    if (!std::filesystem::exists(dir, ec)) made_calibration_dir_ = dir;
    if (const std::string why = make_dirs(dir); !why.empty())
        std::fprintf(stderr, "lumox: calibration directory %s: %s\n", dir.c_str(), why.c_str());
    lumox_path_cfg(dir.c_str());
}

std::string library_account() {
    const char *text = lumox_last_error();
    return text && *text ? std::string("the library: ") + text : std::string();
}

std::string Session::failure_hint() const {
    const std::string account = library_account();
    if (!account.empty()) return log_.empty() ? account : account + "; library log " + log_;
    if (!log_.empty()) return "see the library log " + log_;
    return "--log FILE records the library's account";
}

std::string record_field(const char *text, size_t size) {
    return std::string(text, strnlen(text, size));
}

}  // namespace lumox_cli
