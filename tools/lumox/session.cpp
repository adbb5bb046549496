#include "session.h"

#include <cstring>

#include "command.h"

namespace lumox_cli {

Session::Session(const Args &args) : log_(args.value("--log")) {
    if (args.has("--device")) location_ = parse_device(args.value("--device"));
    if (!log_.empty()) {
        lumox_init(log_.c_str());
    } else {
        // The library opens a log file at start-up; give it one that keeps nothing, and silence
        // that output.
        lumox_init("/dev/null");
        lx_log_enable(LX_LOG_OUT_FILE, LX_LOG_OFF, nullptr);
    }
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
    if (location_) {
        pick = -1;
        for (int32_t i = 0; i < n; ++i) {
            if (list[i].bus == location_->bus && list[i].port == location_->port) pick = i;
        }
        if (pick < 0) {
            fail("no camera at %u:%u", location_->bus, location_->port);
            return nullptr;
        }
    }
    record_ = list[pick];
    dev_ = lumox_dev_open(&record_);
    if (!dev_) fail("cannot open the camera (%s)", log_hint().c_str());
    return dev_;
}

std::string Session::log_hint() const {
    if (!log_.empty()) return "see the library log " + log_;
    return "--log FILE records the library's account";
}

std::string record_field(const char *text, size_t size) {
    return std::string(text, strnlen(text, size));
}

}  // namespace lumox_cli
