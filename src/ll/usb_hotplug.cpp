// USB transport, hot-plug: libusb's notifications queue notices for a worker thread, which hands
// them to the sink.

#include "ll/usb_hotplug.h"

#include <libusb.h>
#include <sys/time.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "ll/usb_dev.h"
#include "lumox/log.h"

namespace lumox::ll {

namespace {
constexpr int kEventWaitMs = 100;
}  // namespace

struct UsbHotplugMonitor::Impl {
    UsbContext ctx;
    libusb_hotplug_callback_handle handle = 0;
    bool registered = false;
    std::thread events;
    std::thread worker;
    std::atomic<bool> stopping{false};
    std::atomic<bool> active{false};
    std::atomic<std::thread::id> worker_id{};
    // True while libusb reports the cameras attached at registration (inside the registration).
    std::atomic<bool> enumerating{false};

    std::mutex mutex;
    std::condition_variable cv;
    std::deque<HotplugNotice> notices;
    Sink sink;

    // On the event thread, inside libusb_handle_events (or inside the registration for the
    // cameras attached then): reads the location only and queues it.
    static int LIBUSB_CALL notify(libusb_context *, libusb_device *device,
                                  libusb_hotplug_event event, void *user) {
        auto *self = static_cast<Impl *>(user);
        HotplugNotice n;
        if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT)
            n.kind = HotplugNotice::Kind::kLeft;
        else
            n.kind = self->enumerating.load() ? HotplugNotice::Kind::kPresent
                                              : HotplugNotice::Kind::kArrived;
        n.bus = libusb_get_bus_number(device);
        n.port = libusb_get_port_number(device);
        n.addr = libusb_get_device_address(device);
        n.speed = static_cast<uint8_t>(libusb_get_device_speed(device));
        {
            std::lock_guard lock(self->mutex);
            self->notices.push_back(n);
        }
        self->cv.notify_one();
        return 0;  // stay registered
    }

    void run_events() {
        while (!stopping.load(std::memory_order_acquire)) {
            timeval tv{0, kEventWaitMs * 1000};
            const int r = libusb_handle_events_timeout_completed(ctx.get(), &tv, nullptr);
            if (r < 0 && r != LIBUSB_ERROR_INTERRUPTED && r != LIBUSB_ERROR_TIMEOUT) {
                lx_log(LX_LOG_ERR, "ERR", "[%s] libusb reports error: %s\n", "_usb_hotplug_events",
                       libusb_error_name(r));
            }
        }
    }

    void run_worker() {
        worker_id.store(std::this_thread::get_id());
        std::unique_lock lock(mutex);
        for (;;) {
            cv.wait(lock, [&] { return stopping.load() || !notices.empty(); });
            if (stopping.load()) break;
            const HotplugNotice n = notices.front();
            notices.pop_front();
            lock.unlock();
            sink(n);
            lock.lock();
        }
        worker_id.store(std::thread::id{});
    }
};

UsbHotplugMonitor::UsbHotplugMonitor() : impl_(std::make_unique<Impl>()) {}

UsbHotplugMonitor::~UsbHotplugMonitor() { stop(); }

UsbHotplugMonitor::Start UsbHotplugMonitor::start(Sink sink) {
    Impl &m = *impl_;
    if (m.active.load()) return Start::kStarted;
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] this platform's USB stack has no hot-plug support\n",
               "lumox_hotplug_register");
        return Start::kUnsupported;
    }
    libusb_context *raw = nullptr;
    if (const int r = usb_context_init(&raw); r < 0) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] libusb_init failed: %s\n", "lumox_hotplug_register",
               libusb_error_name(r));
        return Start::kFailed;
    }
    m.ctx.reset(raw);
    m.sink = std::move(sink);
    m.stopping.store(false);
    m.notices.clear();
    // The worker starts first, so that the arrivals queued during the registration (the cameras
    // attached now) are handed on as soon as they are queued.
    m.worker = std::thread([&m] { m.run_worker(); });
    m.enumerating.store(true);
    const int r = libusb_hotplug_register_callback(
        m.ctx.get(),
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                          LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_ENUMERATE, kUsbVendorId, kUsbProductId, LIBUSB_HOTPLUG_MATCH_ANY,
        &Impl::notify, &m, &m.handle);
    m.enumerating.store(false);
    if (r != LIBUSB_SUCCESS) {
        lx_log(LX_LOG_ERR, "ERR", "[%s] libusb_hotplug_register_callback failed: %s\n",
               "lumox_hotplug_register", libusb_error_name(r));
        m.stopping.store(true);
        m.cv.notify_all();
        m.worker.join();
        m.ctx.reset();
        return Start::kFailed;
    }
    m.registered = true;
    m.events = std::thread([&m] { m.run_events(); });
    m.active.store(true);
    return Start::kStarted;
}

void UsbHotplugMonitor::stop() {
    Impl &m = *impl_;
    if (!m.active.exchange(false)) return;
    {
        std::lock_guard lock(m.mutex);
        m.stopping.store(true);
    }
    m.cv.notify_all();
    // Deregistering wakes the event thread out of libusb_handle_events.
    if (m.registered) libusb_hotplug_deregister_callback(m.ctx.get(), m.handle);
    m.registered = false;
    m.events.join();
    m.worker.join();
    m.ctx.reset();
    m.notices.clear();
    m.sink = nullptr;
}

bool UsbHotplugMonitor::running() const { return impl_->active.load(); }

void UsbHotplugMonitor::wake() {
    Impl &m = *impl_;
    {
        std::lock_guard lock(m.mutex);
        m.notices.push_back(HotplugNotice{});
    }
    m.cv.notify_one();
}

bool UsbHotplugMonitor::on_worker_thread() const {
    return impl_->worker_id.load() == std::this_thread::get_id();
}

}  // namespace lumox::ll
