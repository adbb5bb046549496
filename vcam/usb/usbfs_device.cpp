#include "vcam/usb/usbfs_device.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace lumox::vcam {

// ---------------------------------------------------------------------------------------------
// The GObject handler class: forwards every ioctl to its UsbfsDevice.

struct VcamIoctl {
    UMockdevIoctlBase parent;
    UsbfsDevice *device;
};
struct VcamIoctlClass {
    UMockdevIoctlBaseClass parent_class;
};

G_DEFINE_TYPE(VcamIoctl, vcam_ioctl, UMOCKDEV_TYPE_IOCTL_BASE)

static gboolean vcam_ioctl_handle(UMockdevIoctlBase *base, UMockdevIoctlClient *client) {
    auto *self = reinterpret_cast<VcamIoctl *>(base);
    return self->device->handle_ioctl(client) ? TRUE : FALSE;
}

static void vcam_ioctl_class_init(VcamIoctlClass *klass) {
    reinterpret_cast<UMockdevIoctlBaseClass *>(klass)->handle_ioctl = vcam_ioctl_handle;
}

static void vcam_ioctl_init(VcamIoctl *self) { self->device = nullptr; }

// ---------------------------------------------------------------------------------------------

namespace {

constexpr uint32_t kCapabilities =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr size_t kSetupSize = 8;

// Client memory reachable from an ioctl argument; released with the wrapper.
class Resolved {
  public:
    Resolved(UMockdevIoctlData *parent, size_t offset, size_t len) {
        GError *error = nullptr;
        data_ = umockdev_ioctl_data_resolve(parent, offset, len, &error);
        if (error) g_error_free(error);
    }
    ~Resolved() {
        if (data_) g_object_unref(data_);
    }
    Resolved(const Resolved &) = delete;
    Resolved &operator=(const Resolved &) = delete;
    UMockdevIoctlData *get() const { return data_; }
    uint8_t *bytes() const { return data_ ? data_->data : nullptr; }
    size_t size() const { return data_ ? static_cast<size_t>(data_->data_len) : 0; }

  private:
    UMockdevIoctlData *data_ = nullptr;
};

// The ioctl's argument is the client's pointer; these read and write what it points to.
uint32_t arg_u32(UMockdevIoctlData *arg) {
    uint32_t v = 0;
    Resolved p(arg, 0, 4);
    if (p.size() >= 4) std::memcpy(&v, p.bytes(), 4);
    return v;
}

bool set_arg_u32(UMockdevIoctlData *arg, uint32_t v) {
    Resolved p(arg, 0, 4);
    if (p.size() < 4) return false;
    umockdev_ioctl_data_update(p.get(), 0, reinterpret_cast<guint8 *>(&v), 4);
    return true;
}

void complete(UMockdevIoctlClient *client, long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
}

}  // namespace

UsbfsDevice::UsbfsDevice(Camera &camera, const UsbCameraOptions &options, UsbStrings strings,
                         const std::string &fifo_path)
    : camera_(camera), options_(options), strings_(std::move(strings)) {
    fifo_fd_ = ::open(fifo_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo_fd_ >= 0) {
        // The smallest pipe: filling and draining it is one page.
        ::fcntl(fifo_fd_, F_SETPIPE_SZ, 4096);
        fifo_ready_ = true;  // empty: mark it not ready below
    }
    auto *handler = static_cast<VcamIoctl *>(g_object_new(vcam_ioctl_get_type(), nullptr));
    handler->device = this;
    handler_ = reinterpret_cast<UMockdevIoctlBase *>(handler);
    std::lock_guard lock(mutex_);
    update_readiness_locked();
}

UsbfsDevice::~UsbfsDevice() {
    {
        std::lock_guard lock(mutex_);
        if (timer_) {
            g_source_destroy(timer_);
            g_source_unref(timer_);
            timer_ = nullptr;
        }
    }
    reinterpret_cast<VcamIoctl *>(handler_)->device = nullptr;
    g_object_unref(handler_);
    if (fifo_fd_ >= 0) ::close(fifo_fd_);
}

bool UsbfsDevice::handle_ioctl(UMockdevIoctlClient *client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    std::unique_lock lock(mutex_);
    if (!worker_context_) worker_context_ = g_main_context_ref_thread_default();

    switch (request) {
        case USBDEVFS_SUBMITURB:
            submit(client, arg);
            break;
        case USBDEVFS_REAPURBNDELAY:
            reap(client, arg);
            break;
        case USBDEVFS_DISCARDURB:
            discard(client, arg);
            break;
        default:
            setup_ioctl(client, request, arg);
            break;
    }
    update_readiness_locked();
    return true;
}

void UsbfsDevice::setup_ioctl(UMockdevIoctlClient *client, unsigned long request,
                              UMockdevIoctlData *arg) {
    if (unplugged_) return complete(client, -1, ENODEV);
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES:
            if (set_arg_u32(arg, kCapabilities)) return complete(client, 0, 0);
            return complete(client, -1, EFAULT);
        case USBDEVFS_SETCONFIGURATION: {
            const uint32_t value = arg_u32(arg);
            if (value != kConfigurationValue && value != 0) return complete(client, -1, EINVAL);
            stats_.configuration = value;
            configuration_ = value;
            if (on_configuration_) on_configuration_(value);
            return complete(client, 0, 0);
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM:
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_SETINTERFACE:
            return interface_ioctl(client, request, arg);
        case USBDEVFS_IOCTL:
        case USBDEVFS_GETDRIVER:
            return complete(client, -1, ENODATA);
        case USBDEVFS_CLEAR_HALT:
            ++stats_.clear_halts;
            return complete(client, 0, 0);
        case USBDEVFS_RESET:
            ++stats_.resets;
            return complete(client, 0, 0);
        default:
            return complete(client, -1, ENOTTY);
    }
}

void UsbfsDevice::interface_ioctl(UMockdevIoctlClient *client, unsigned long request,
                                  UMockdevIoctlData *arg) {
    if (request == USBDEVFS_SETINTERFACE) {
        uint32_t alt = 0;
        Resolved p(arg, 0, sizeof(usbdevfs_setinterface));
        if (p.size() >= 8) std::memcpy(&alt, p.bytes() + 4, 4);
        return complete(client, alt == 0 ? 0 : -1, alt == 0 ? 0 : EINVAL);
    }
    const uint32_t iface = arg_u32(arg);
    if (iface >= kInterfaceCount) return complete(client, -1, EINVAL);
    const uint32_t bit = 1u << iface;
    if (request == USBDEVFS_RELEASEINTERFACE) {
        if (!(stats_.claimed_interfaces & bit)) return complete(client, -1, EINVAL);
        stats_.claimed_interfaces &= ~bit;
        return complete(client, 0, 0);
    }
    if (iface == 0 && !options_.interface0_claimable) return complete(client, -1, EBUSY);
    stats_.claimed_interfaces |= bit;
    complete(client, 0, 0);
}

void UsbfsDevice::submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
    if (unplugged_) return complete(client, -1, ENODEV);
    Resolved client_urb(arg, 0, sizeof(usbdevfs_urb));
    if (client_urb.size() < sizeof(usbdevfs_urb)) return complete(client, -1, EFAULT);
    usbdevfs_urb u;
    std::memcpy(&u, client_urb.bytes(), sizeof u);
    Urb urb;
    urb.client_addr = client_urb.get()->client_addr;
    urb.type = u.type;
    urb.endpoint = u.endpoint;
    urb.buffer_length = u.buffer_length;
    if (urb.buffer_length < 0) return complete(client, -1, EINVAL);
    ++stats_.urbs_submitted;

    if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
        if (urb.buffer_length < static_cast<int>(kSetupSize)) return complete(client, -1, EINVAL);
        Resolved buffer(client_urb.get(), offsetof(usbdevfs_urb, buffer),
                        static_cast<size_t>(urb.buffer_length));
        if (buffer.size() < static_cast<size_t>(urb.buffer_length))
            return complete(client, -1, EFAULT);
        ++stats_.control_transfers;
        urb = control(std::move(urb), buffer.bytes());
    } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == kStreamEndpoint) {
        ++stats_.bulk_transfers;
        switch (camera_.next_bulk_action()) {
            case BulkAction::kStall:
                urb.status = -EPIPE;
                break;
            case BulkAction::kError:
                urb.status = -EPROTO;
                break;
            case BulkAction::kHang:
                urb.hang = true;
                break;
            case BulkAction::kEmpty:
                urb.status = 0;
                urb.actual = 0;
                break;
            case BulkAction::kData:
                urb.status = -EINPROGRESS;
                break;
        }
        if (urb.status == -EINPROGRESS || urb.hang) {
            pending_.push_back(std::move(urb));
            pump_locked();
            return complete(client, 0, 0);
        }
    } else {
        return complete(client, -1, EINVAL);
    }
    if (urb.hang) {
        pending_.push_back(std::move(urb));
    } else {
        reapable_.push_back(std::move(urb));
        // A command may have started the stream: waiting bulk transfers get their data once the
        // command is answered (rendering the first frame must not hold up the answer).
        pump_soon_locked();
    }
    complete(client, 0, 0);
}

UsbfsDevice::Urb UsbfsDevice::control(Urb urb, const uint8_t *buffer) {
    const SetupPacket setup = SetupPacket::parse(buffer);
    const size_t data_len = static_cast<size_t>(urb.buffer_length) - kSetupSize;
    const size_t wanted = std::min<size_t>(setup.length, data_len);
    const uint8_t kind = setup.request_type & 0x60;
    if (kind == 0x20) {
        std::span<const uint8_t> out;
        if (!setup.is_in()) out = {buffer + kSetupSize, wanted};
        ControlResult r = camera_.control(setup, out);
        switch (r.kind) {
            case ControlResult::Kind::kNeverComplete:
                urb.hang = true;
                break;
            case ControlResult::Kind::kStall:
                urb.status = -EPIPE;
                break;
            case ControlResult::Kind::kAck:
                urb.status = 0;
                if (setup.is_in()) {
                    if (r.in_data.size() > wanted) r.in_data.resize(wanted);
                    urb.in_data = std::move(r.in_data);
                    urb.actual = static_cast<int>(urb.in_data.size());
                } else {
                    urb.actual = static_cast<int>(wanted);
                }
                break;
        }
        return urb;
    }
    bool stall = false;
    std::vector<uint8_t> reply = standard_request(setup, stall);
    if (stall) {
        urb.status = -EPIPE;
    } else {
        urb.status = 0;
        if (reply.size() > wanted) reply.resize(wanted);
        if (!setup.is_in()) reply.clear();
        urb.in_data = std::move(reply);
        urb.actual = static_cast<int>(setup.is_in() ? urb.in_data.size() : wanted);
    }
    return urb;
}

std::vector<uint8_t> UsbfsDevice::standard_request(const SetupPacket &setup, bool &stall) {
    constexpr uint8_t kGetStatus = 0, kClearFeature = 1, kSetFeature = 3, kGetDescriptor = 6,
                      kGetConfiguration = 8, kSetConfiguration = 9, kGetInterface = 10,
                      kSetInterface = 11;
    if ((setup.request_type & 0x60) != 0) {  // vendor requests are not understood
        stall = true;
        return {};
    }
    switch (setup.request) {
        case kGetStatus:
            return {0, 0};
        case kClearFeature:
        case kSetFeature:
        case kSetInterface:
            return {};
        case kSetConfiguration:
            stats_.configuration = setup.value;
            return {};
        case kGetConfiguration:
            return {static_cast<uint8_t>(stats_.configuration)};
        case kGetInterface:
            return {0};
        case kGetDescriptor: {
            const uint8_t type = static_cast<uint8_t>(setup.value >> 8);
            const uint8_t index = static_cast<uint8_t>(setup.value);
            if (type == 1) return device_descriptor(options_.high_speed);
            if (type == 2 && index == 0) return configuration_descriptor(options_.high_speed);
            if (type == 3) {
                auto s = string_descriptor(strings_, index);
                if (s) return *s;
            }
            break;
        }
        default:
            break;
    }
    stall = true;
    return {};
}

void UsbfsDevice::reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
    if (reapable_.empty()) return complete(client, -1, unplugged_ ? ENODEV : EAGAIN);
    Resolved out(arg, 0, sizeof(uint64_t));
    if (out.size() < sizeof(uint64_t)) return complete(client, -1, EFAULT);
    Urb urb = std::move(reapable_.front());
    reapable_.pop_front();
    ++stats_.urbs_reaped;

    const uint64_t addr = urb.client_addr;
    umockdev_ioctl_data_update(
        out.get(), 0, reinterpret_cast<guint8 *>(const_cast<uint64_t *>(&addr)), sizeof addr);
    Resolved client_urb(out.get(), 0, sizeof(usbdevfs_urb));
    if (!client_urb.get()) return complete(client, -1, EFAULT);
    usbdevfs_urb u;
    std::memcpy(&u, client_urb.bytes(), sizeof u);
    u.status = urb.status;
    const bool is_control = urb.type == USBDEVFS_URB_TYPE_CONTROL;
    u.actual_length = urb.actual;
    if (!urb.in_data.empty()) {
        const size_t offset = is_control ? kSetupSize : 0;
        Resolved buffer(client_urb.get(), offsetof(usbdevfs_urb, buffer),
                        offset + urb.in_data.size());
        if (buffer.get())
            umockdev_ioctl_data_update(buffer.get(), offset, urb.in_data.data(),
                                       static_cast<gint>(urb.in_data.size()));
    }
    umockdev_ioctl_data_update(client_urb.get(), 0, reinterpret_cast<guint8 *>(&u), sizeof u);
    complete(client, 0, 0);
}

void UsbfsDevice::discard(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
    uint64_t addr = 0;
    if (arg && arg->data_len >= 8) std::memcpy(&addr, arg->data, 8);
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->client_addr != addr) continue;
        Urb urb = std::move(*it);
        pending_.erase(it);
        urb.status = -ENOENT;
        urb.hang = false;
        urb.in_data.clear();
        urb.actual = 0;
        (hold_cancellations_ ? held_ : reapable_).push_back(std::move(urb));
        ++stats_.urbs_discarded;
        return complete(client, 0, 0);
    }
    complete(client, -1, EINVAL);
}

// Fills waiting bulk transfers, in submission order, with the stream bytes that are due. The
// worker answers nothing while the camera renders a frame, and a frame of a moving scene can take
// the better part of a second on a loaded machine: one turn renders at most one frame and leaves
// the transfers after it to the next turn, so that commands are answered in between.
void UsbfsDevice::pump_locked() {
    const uint32_t frames_before = camera_.counters().frames_sent;
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->hang || it->type != USBDEVFS_URB_TYPE_BULK) {
            ++it;
            continue;
        }
        if (camera_.counters().frames_sent != frames_before) return pump_soon_locked();
        std::vector<uint8_t> data(static_cast<size_t>(it->buffer_length));
        const size_t n = camera_.read_stream(data);
        if (n == 0 && it->buffer_length > 0) break;
        data.resize(n);
        it->actual = static_cast<int>(n);
        it->in_data = std::move(data);
        it->status = 0;
        reapable_.push_back(std::move(*it));
        it = pending_.erase(it);
    }
    schedule_locked();
}

void UsbfsDevice::schedule_locked() {
    if (timer_ || unplugged_ || !worker_context_) return;
    bool waiting = false;
    for (const Urb &u : pending_) waiting |= (!u.hang && u.type == USBDEVFS_URB_TYPE_BULK);
    if (!waiting) return;
    const auto due = camera_.next_frame_due();
    // Not capturing: commands pump on arrival; poll slowly for state changed by a test.
    auto delay = std::chrono::milliseconds(20);
    if (due) {
        delay = std::chrono::duration_cast<std::chrono::milliseconds>(*due - Clock::now()) +
                std::chrono::milliseconds(1);
        if (delay.count() < 0) delay = std::chrono::milliseconds(0);
    }
    timer_ = g_timeout_source_new(static_cast<guint>(delay.count()));
    g_source_set_callback(timer_, &UsbfsDevice::on_timer, this, nullptr);
    g_source_attach(timer_, worker_context_);
}

void UsbfsDevice::pump_soon_locked() {
    if (unplugged_ || !worker_context_) return;
    if (timer_) {
        g_source_destroy(timer_);
        g_source_unref(timer_);
    }
    timer_ = g_timeout_source_new(0);
    g_source_set_callback(timer_, &UsbfsDevice::on_timer, this, nullptr);
    g_source_attach(timer_, worker_context_);
}

gboolean UsbfsDevice::on_timer(gpointer data) {
    auto *self = static_cast<UsbfsDevice *>(data);
    std::lock_guard lock(self->mutex_);
    g_source_unref(self->timer_);
    self->timer_ = nullptr;
    if (!self->unplugged_) self->pump_locked();
    self->update_readiness_locked();
    return G_SOURCE_REMOVE;
}

// libusb polls the node for POLLOUT, as usbfs raises it while a URB is reapable. A FIFO is
// writable unless full, so the node is kept full while nothing is reapable and empty otherwise.
void UsbfsDevice::update_readiness_locked() {
    const bool ready = !reapable_.empty();
    if (ready == fifo_ready_ || fifo_fd_ < 0) return;
    uint8_t chunk[4096] = {};
    if (ready) {
        while (::read(fifo_fd_, chunk, sizeof chunk) > 0) {
        }
    } else {
        while (::write(fifo_fd_, chunk, sizeof chunk) > 0) {
        }
    }
    fifo_ready_ = ready;
}

void UsbfsDevice::unplug() {
    std::lock_guard lock(mutex_);
    if (unplugged_) return;
    unplugged_ = true;
    for (Urb &urb : pending_) {
        urb.status = -ESHUTDOWN;
        urb.hang = false;
        urb.in_data.clear();
        urb.actual = 0;
        reapable_.push_back(std::move(urb));
    }
    pending_.clear();
    reapable_.splice(reapable_.end(), held_);
    update_readiness_locked();
}

bool UsbfsDevice::plugged() const {
    std::lock_guard lock(mutex_);
    return !unplugged_;
}

void UsbfsDevice::hold_cancellations(bool hold) {
    std::lock_guard lock(mutex_);
    hold_cancellations_ = hold;
    if (hold) return;
    reapable_.splice(reapable_.end(), held_);
    update_readiness_locked();
}

UsbStats UsbfsDevice::stats() const {
    std::lock_guard lock(mutex_);
    UsbStats s = stats_;
    s.urbs_pending = static_cast<uint32_t>(pending_.size() + held_.size());
    return s;
}

}  // namespace lumox::vcam
