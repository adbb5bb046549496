#include "reconnect.h"

#include <cstdio>
#include <cstring>

#include "command.h"
#include "session.h"

namespace lumox_cli {

namespace {

constexpr uint32_t kPollMs = 100;
// A capture can fail without the camera leaving (a stream fault): when no departure is reported
// within this time the camera is presumed still there and reopened at once.
constexpr auto kDepartureGrace = std::chrono::milliseconds(1500);
// A camera that arrived but could not be opened yet is tried again this often.
constexpr auto kRetryInterval = std::chrono::milliseconds(500);

}  // namespace

Reconnector::Reconnector(const Args &args) {
    const long long s = option_int(args, "--reconnect-timeout", 0, 86400, 0);
    timeout_ = std::chrono::seconds(s);
}

Reconnector::~Reconnector() {
    if (handle_ > 0) lumox_hotplug_deregister(handle_);
}

void Reconnector::watch(const lumox_dev_t *dev) {
    if (timeout_.count() == 0 || handle_ > 0) return;
    serial_ = record_field(dev->id2, sizeof dev->id2);
    bus_ = dev->bus;
    port_ = dev->port;
    addr_ = dev->addr;
    if (serial_.empty()) {
        std::fprintf(stderr, "lumox: the camera reports no serial: it cannot be reconnected\n");
        return;
    }
    handle_ = lumox_hotplug_register(nullptr, nullptr, 0);
    if (handle_ == LUMOX_HOTPLUG_UNSUPPORTED)
        std::fprintf(stderr,
                     "lumox: this system cannot report cameras coming and going: an unplug ends "
                     "the command\n");
    else if (handle_ < 0)
        std::fprintf(stderr, "lumox: cannot watch the USB bus: an unplug ends the command\n");
}

void Reconnector::report_departure() {
    if (departure_reported_) return;
    departure_reported_ = true;
    std::fprintf(stderr, "lumox: camera %s left (%u:%u)\n", serial_.c_str(), bus_, port_);
    if (on_departure_) on_departure_();
}

bool Reconnector::reconnect(lumox_dev_t *dev, const std::function<bool()> &stop,
                            std::mutex *dev_mutex) {
    if (!enabled()) return false;
    const auto locked = [&](const auto &call) {
        if (!dev_mutex) return call();
        std::lock_guard lock(*dev_mutex);
        return call();
    };
    locked([&] {
        lumox_dev_close(dev);
        return true;
    });
    departure_reported_ = false;
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + timeout_;
    bool left = false;
    bool try_open = false;
    auto next_try = start + kDepartureGrace;
    std::fprintf(stderr, "lumox: camera %s stopped streaming; waiting up to %lld s for it\n",
                 serial_.c_str(), timeout_seconds());
    lumox_hotplug_event events[8];
    while (!stop()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) break;
        const int32_t n = lumox_hotplug_poll(handle_, events, 8, kPollMs);
        if (n < 0) break;
        for (int32_t i = 0; i < n; ++i) {
            const lumox_hotplug_event &e = events[i];
            const bool ours =
                serial_ == e.serial || (e.serial[0] == '\0' && e.bus == bus_ && e.addr == addr_);
            if (e.kind == LUMOX_HOTPLUG_LEFT && ours) {
                left = true;
                try_open = false;
                report_departure();
            } else if (e.kind == LUMOX_HOTPLUG_ARRIVED && (ours || e.serial[0] == '\0')) {
                // An unread serial may be ours: the open below checks it. Ours at a new address
                // was re-enumerated, so it left even if that notice was missed.
                if (ours && e.serial[0] != '\0' && (e.bus != bus_ || e.addr != addr_))
                    report_departure();
                try_open = true;
            }
        }
        if (!try_open && (left || std::chrono::steady_clock::now() < next_try)) continue;
        const bool opened =
            locked([&] { return lumox_dev_open_serial(dev, serial_.c_str()) != nullptr; });
        if (opened) {
            bus_ = dev->bus;
            port_ = dev->port;
            addr_ = dev->addr;
            gap_s_ =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::fprintf(stderr, "lumox: camera %s back at %u:%u after %.1f s\n", serial_.c_str(),
                         dev->bus, dev->port, gap_s_);
            return true;
        }
        try_open = false;
        next_try = std::chrono::steady_clock::now() + kRetryInterval;
        // Not there: presume it left (a departure we saw before the capture failed) and keep
        // trying now and then in case its arrival goes unreported.
        left = false;
    }
    if (stop())
        std::fprintf(stderr, "lumox: stopped while waiting for camera %s\n", serial_.c_str());
    else
        std::fprintf(stderr, "lumox: camera %s did not come back within %lld s\n", serial_.c_str(),
                     timeout_seconds());
    return false;
}

}  // namespace lumox_cli
