// Cameras arriving and leaving: the registrations (callbacks and polling queues), the table of
// cameras present with their serials, and the delivery of the transport's hot-plug notices on
// its worker thread.
//
// Every change happens on the monitor's worker thread: a notice updates the table of cameras
// present, and in the same locked step the registrations to tell are chosen, so that a
// registration with LUMOX_HOTPLUG_ENUMERATE sees each camera exactly once, either in its first
// list of cameras present or as an arrival afterwards.

#include "api/hotplug.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "ll/usb_hotplug.h"
#include "lumox/hotplug.h"
#include "lumox/log.h"

namespace lumox::api {
namespace {

using ll::HotplugNotice;

struct Registration {
    int32_t handle = 0;
    lumox_hotplug_cb cb = nullptr;
    void *user = nullptr;
    bool enumerate = false;  // LUMOX_HOTPLUG_ENUMERATE: told of the cameras attached
    bool replay = false;     // still owed the list of cameras present
    bool ended = false;
    uint32_t sequence = 0;
    uint32_t lost = 0;  // dropped since the last queued event
    std::deque<lumox_hotplug_event> queue;
    std::condition_variable cv;  // a poller waits on it
};

using RegistrationPtr = std::shared_ptr<Registration>;

// Guards everything below; never held while a callback runs.
std::mutex g_mutex;
std::condition_variable g_callback_done;
std::vector<RegistrationPtr> g_registrations;
std::vector<lumox_hotplug_event> g_present;  // kind ARRIVED, with the serial read at arrival
int32_t g_next_handle = 1;
int32_t g_running = 0;  // the registration whose callback runs now
// Serialises starting and stopping the monitor (never taken on the worker thread).
std::mutex g_monitor_mutex;

ll::UsbHotplugMonitor &monitor() {
    // Never destroyed: a process may end with the monitor's threads still running.
    static auto *m = new ll::UsbHotplugMonitor();
    return *m;
}

bool same_device(const lumox_hotplug_event &a, const HotplugNotice &n) {
    return a.bus == n.bus && a.addr == n.addr;
}

lumox_hotplug_event event_of(const HotplugNotice &n, int32_t kind) {
    lumox_hotplug_event ev{};
    ev.kind = kind;
    ev.bus = n.bus;
    ev.port = n.port;
    ev.addr = n.addr;
    ev.speed = n.speed;
    return ev;
}

// The serial of an arriving camera, read through a transport session of the worker's own.
void read_serial(lumox_hotplug_event &ev) {
    lumox_dev_t at{};
    at.bus = ev.bus;
    at.port = ev.port;
    at.addr = ev.addr;
    at.speed = ev.speed;
    at.location_valid = 1;
    if (lumox_dev_read_serial(&at, ev.serial, sizeof ev.serial) < 0) ev.serial[0] = '\0';
}

// Hands one event to a registration: queues it, or calls the callback (unlocked).
void deliver(const RegistrationPtr &reg, lumox_hotplug_event ev) {
    std::unique_lock lock(g_mutex);
    if (reg->ended) return;
    ev.sequence = ++reg->sequence;
    if (!reg->cb) {
        if (reg->queue.size() >= LUMOX_HOTPLUG_QUEUE_MAX) {
            ++reg->lost;
            return;
        }
        ev.lost = reg->lost;
        reg->lost = 0;
        reg->queue.push_back(ev);
        reg->cv.notify_all();
        return;
    }
    g_running = reg->handle;
    lock.unlock();
    reg->cb(&ev, reg->user);
    lock.lock();
    g_running = 0;
    g_callback_done.notify_all();
}

// The sink of the monitor, on its worker thread.
void on_notice(const HotplugNotice &n) {
    lumox_hotplug_event change{};
    bool tell = false;
    if (n.kind == HotplugNotice::Kind::kArrived || n.kind == HotplugNotice::Kind::kPresent) {
        change = event_of(n, LUMOX_HOTPLUG_ARRIVED);
        read_serial(change);
        tell = true;
    } else if (n.kind == HotplugNotice::Kind::kLeft) {
        change = event_of(n, LUMOX_HOTPLUG_LEFT);
        tell = true;
    }
    std::vector<std::pair<RegistrationPtr, std::vector<lumox_hotplug_event>>> replays;
    std::vector<RegistrationPtr> targets;
    {
        std::lock_guard lock(g_mutex);
        for (const RegistrationPtr &reg : g_registrations) {
            if (!reg->replay) continue;
            reg->replay = false;
            replays.emplace_back(reg, g_present);
        }
        if (n.kind == HotplugNotice::Kind::kLeft) {
            const auto it = std::find_if(g_present.begin(), g_present.end(),
                                         [&](const auto &p) { return same_device(p, n); });
            if (it != g_present.end()) {
                std::memcpy(change.serial, it->serial, sizeof change.serial);
                g_present.erase(it);
            }
        } else if (n.kind != HotplugNotice::Kind::kWake) {
            std::erase_if(g_present, [&](const auto &p) { return same_device(p, n); });
            g_present.push_back(change);
        }
        // A camera that was attached when the monitor started is news only to registrations
        // that asked for the cameras attached (and whose list above did not hold it yet).
        for (const RegistrationPtr &reg : g_registrations)
            if (tell && (n.kind != HotplugNotice::Kind::kPresent || reg->enumerate))
                targets.push_back(reg);
    }
    for (auto &[reg, present] : replays)
        for (const lumox_hotplug_event &ev : present) deliver(reg, ev);
    for (const RegistrationPtr &reg : targets) deliver(reg, change);
    if (tell && n.kind != HotplugNotice::Kind::kPresent) {
        lx_log(LX_LOG_INF, "INF", "[%s] camera %s at %u:%u (address %u), serial %s\n",
               "lumox_hotplug", change.kind == LUMOX_HOTPLUG_ARRIVED ? "arrived" : "left",
               change.bus, change.port, change.addr, change.serial[0] ? change.serial : "-");
    }
}

// Stops the monitor when no registration is left; not on the worker thread, which stop joins.
void stop_when_unused() {
    if (monitor().on_worker_thread()) return;
    std::lock_guard guard(g_monitor_mutex);
    {
        std::lock_guard lock(g_mutex);
        if (!g_registrations.empty()) return;
    }
    monitor().stop();
    std::lock_guard lock(g_mutex);
    g_present.clear();
}

}  // namespace

void hotplug_shutdown() {
    {
        std::lock_guard lock(g_mutex);
        for (const RegistrationPtr &reg : g_registrations) {
            reg->ended = true;
            reg->cv.notify_all();
        }
        g_registrations.clear();
    }
    stop_when_unused();
}

}  // namespace lumox::api

using namespace lumox::api;

extern "C" {

LUMOX_API int32_t lumox_hotplug_register(lumox_hotplug_cb cb, void *user, uint32_t flags) noexcept {
    if ((flags & ~LUMOX_HOTPLUG_ENUMERATE) != 0) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] wrong params: flags=0x%x\n", "lumox_hotplug_register",
               flags);
        return LUMOX_HOTPLUG_BAD_CALL;
    }
    try {
        auto reg = std::make_shared<Registration>();
        reg->cb = cb;
        reg->user = user;
        reg->enumerate = (flags & LUMOX_HOTPLUG_ENUMERATE) != 0;
        reg->replay = reg->enumerate;
        {
            std::unique_lock guard(g_monitor_mutex, std::defer_lock);
            // On the worker thread the monitor runs already (and the lock could be held by a
            // thread that waits for this callback).
            if (!monitor().on_worker_thread()) guard.lock();
            if (!monitor().running()) {
                switch (monitor().start(on_notice)) {
                    case lumox::ll::UsbHotplugMonitor::Start::kStarted:
                        break;
                    case lumox::ll::UsbHotplugMonitor::Start::kUnsupported:
                        return LUMOX_HOTPLUG_UNSUPPORTED;
                    case lumox::ll::UsbHotplugMonitor::Start::kFailed:
                        return LUMOX_HOTPLUG_BAD_CALL;
                }
            }
            std::lock_guard lock(g_mutex);
            reg->handle = g_next_handle++;
            g_registrations.push_back(reg);
        }
        // The list of cameras present goes out on the worker thread, behind what it has queued.
        if (reg->enumerate) monitor().wake();
        lx_log(LX_LOG_DBG, "DBG", "[%s] handle %d (%s)\n", "lumox_hotplug_register", reg->handle,
               cb ? "callback" : "queue");
        return reg->handle;
    } catch (const std::exception &) {
        return LUMOX_HOTPLUG_BAD_CALL;
    }
}

LUMOX_API uint8_t lumox_hotplug_deregister(int32_t handle) noexcept {
    {
        std::unique_lock lock(g_mutex);
        const auto it = std::find_if(g_registrations.begin(), g_registrations.end(),
                                     [&](const auto &r) { return r->handle == handle; });
        if (it == g_registrations.end()) return 0;
        const RegistrationPtr reg = *it;
        reg->ended = true;
        reg->cv.notify_all();
        g_registrations.erase(it);
        if (!monitor().on_worker_thread())
            g_callback_done.wait(lock, [&] { return g_running != handle; });
    }
    stop_when_unused();
    return 1;
}

LUMOX_API int32_t lumox_hotplug_poll(int32_t handle, lumox_hotplug_event *events, uint32_t max,
                                     uint32_t timeout_ms) noexcept {
    if (!events || max == 0) return -1;
    std::unique_lock lock(g_mutex);
    const auto it = std::find_if(g_registrations.begin(), g_registrations.end(),
                                 [&](const auto &r) { return r->handle == handle; });
    if (it == g_registrations.end() || (*it)->cb) return -1;
    const RegistrationPtr reg = *it;
    reg->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                     [&] { return reg->ended || !reg->queue.empty(); });
    if (reg->ended) return -1;
    const uint32_t n = std::min<uint32_t>(max, static_cast<uint32_t>(reg->queue.size()));
    std::copy_n(reg->queue.begin(), n, events);
    reg->queue.erase(reg->queue.begin(), reg->queue.begin() + n);
    return static_cast<int32_t>(n);
}

}  // extern "C"
