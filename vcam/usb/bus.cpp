#include "vcam/usb/bus.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

#include <umockdev.h>

#include "vcam/usb/descriptors.h"
#include "vcam/usb/usbfs_device.h"

namespace lumox::vcam {

namespace {

constexpr const char *kPreloadLibrary = "libumockdev-preload.so.0";
constexpr const char *kReexecMarker = "LUMOX_VCAM_REEXEC";

std::string three_digits(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "%03u", v);
    return text;
}

std::string hex4(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", v);
    return text;
}

// Adds a device with text attributes (each ending in a line feed) and udev properties.
std::string add_device(UMockdevTestbed *tb, const std::string &name, const char *parent,
                       const std::vector<std::pair<std::string, std::string>> &attributes,
                       const std::vector<std::pair<std::string, std::string>> &properties) {
    std::vector<gchar *> attrs;
    std::vector<std::string> keep;
    keep.reserve(2 * (attributes.size() + properties.size()));
    for (const auto &[k, v] : attributes) {
        keep.push_back(k);
        attrs.push_back(keep.back().data());
        keep.push_back(v + "\n");
        attrs.push_back(keep.back().data());
    }
    attrs.push_back(nullptr);
    std::vector<gchar *> props;
    for (const auto &[k, v] : properties) {
        keep.push_back(k);
        props.push_back(keep.back().data());
        keep.push_back(v);
        props.push_back(keep.back().data());
    }
    props.push_back(nullptr);
    gchar *syspath =
        umockdev_testbed_add_devicev(tb, "usb", name.c_str(), parent, attrs.data(), props.data());
    if (!syspath) throw std::runtime_error("umockdev: cannot add device " + name);
    std::string result = syspath;
    g_free(syspath);
    return result;
}

void set_binary(UMockdevTestbed *tb, const std::string &syspath, const char *name,
                std::vector<uint8_t> bytes) {
    umockdev_testbed_set_attribute_binary(tb, syspath.c_str(), name, bytes.data(),
                                          static_cast<gint>(bytes.size()));
}

// Replaces whatever the testbed put at the node's place by a FIFO.
void make_fifo(const std::string &path) {
    const std::string dir = path.substr(0, path.rfind('/'));
    g_mkdir_with_parents(dir.c_str(), 0755);
    ::unlink(path.c_str());
    if (::mkfifo(path.c_str(), 0666) != 0)
        throw std::runtime_error("cannot create device node " + path + ": " + std::strerror(errno));
}

}  // namespace

struct VirtualBus::Impl {
    struct Slot {
        UsbCameraOptions options;
        std::unique_ptr<Camera> camera;
        std::unique_ptr<UsbfsDevice> usb;
        std::string syspath;
        std::string devnode;
        uint8_t port = 0;
        uint8_t address = 0;
    };

    UMockdevTestbed *testbed = nullptr;
    uint8_t bus = 1;
    std::string root;
    std::vector<Slot> slots;
};

VirtualBus::VirtualBus(const BusOptions &options) : impl_(std::make_unique<Impl>()) {
    Impl &m = *impl_;
    m.bus = options.bus;
    m.testbed = umockdev_testbed_new();
    gchar *root = umockdev_testbed_get_root_dir(m.testbed);
    m.root = root;
    g_free(root);

    const std::string bus_text = std::to_string(m.bus);
    const std::string hub_node = "/dev/bus/usb/" + three_digits(m.bus) + "/001";
    const std::string hub = add_device(m.testbed, "usb" + bus_text, nullptr,
                                       {{"busnum", bus_text},
                                        {"devnum", "1"},
                                        {"speed", "480"},
                                        {"bConfigurationValue", "1"},
                                        {"idVendor", "1d6b"},
                                        {"idProduct", "0002"},
                                        {"bDeviceClass", "09"},
                                        {"manufacturer", "Linux virtual"},
                                        {"product", "Virtual root hub"},
                                        {"maxchild", "8"},
                                        {"version", " 2.00"}},
                                       {{"DEVNAME", hub_node},
                                        {"DEVTYPE", "usb_device"},
                                        {"BUSNUM", three_digits(m.bus)},
                                        {"DEVNUM", "001"}});
    set_binary(m.testbed, hub, "descriptors", root_hub_descriptors());

    for (size_t i = 0; i < options.cameras.size(); ++i) {
        Impl::Slot slot;
        slot.options = options.cameras[i];
        slot.port = slot.options.port ? slot.options.port : static_cast<uint8_t>(i + 1);
        slot.address = static_cast<uint8_t>(i + 2);
        if (slot.options.serial.empty()) slot.options.serial = "VCAM" + std::to_string(i);
        slot.camera = std::make_unique<Camera>(slot.options.camera);
        slot.devnode = "/dev/bus/usb/" + three_digits(m.bus) + "/" + three_digits(slot.address);
        const bool hs = slot.options.high_speed;
        slot.syspath =
            add_device(m.testbed, bus_text + "-" + std::to_string(slot.port), hub.c_str(),
                       {{"busnum", bus_text},
                        {"devnum", std::to_string(slot.address)},
                        {"devpath", std::to_string(slot.port)},
                        {"speed", hs ? "480" : "12"},
                        {"bConfigurationValue", "1"},
                        {"bNumConfigurations", "1"},
                        {"bNumInterfaces", " 2"},
                        {"bDeviceClass", "ff"},
                        {"idVendor", hex4(kVendorId)},
                        {"idProduct", hex4(kProductId)},
                        {"bcdDevice", "0100"},
                        {"manufacturer", "Lumox"},
                        {"product", slot.options.camera.product},
                        {"serial", slot.options.serial},
                        {"version", " 2.00"}},
                       {{"DEVNAME", slot.devnode},
                        {"DEVTYPE", "usb_device"},
                        {"BUSNUM", three_digits(m.bus)},
                        {"DEVNUM", three_digits(slot.address)},
                        {"PRODUCT", hex4(kVendorId).substr(1) + "/" + hex4(kProductId) + "/100"},
                        {"ID_VENDOR_ID", hex4(kVendorId)},
                        {"ID_MODEL_ID", hex4(kProductId)},
                        {"ID_SERIAL_SHORT", slot.options.serial}});
        set_binary(m.testbed, slot.syspath, "descriptors", sysfs_descriptors(hs));
        make_fifo(m.root + slot.devnode);

        UsbStrings strings;
        strings.product = slot.options.camera.product;
        strings.serial = slot.options.serial;
        slot.usb = std::make_unique<UsbfsDevice>(*slot.camera, slot.options, strings,
                                                 m.root + slot.devnode);
        UMockdevTestbed *tb = m.testbed;
        const std::string syspath = slot.syspath;
        slot.usb->on_configuration([tb, syspath](unsigned value) {
            umockdev_testbed_set_attribute_int(tb, syspath.c_str(), "bConfigurationValue",
                                               static_cast<gint>(value));
        });
        GError *error = nullptr;
        if (!umockdev_testbed_attach_ioctl(m.testbed, slot.devnode.c_str(), slot.usb->handler(),
                                           &error)) {
            std::string message = error ? error->message : "unknown error";
            if (error) g_error_free(error);
            throw std::runtime_error("umockdev: cannot attach ioctl handler: " + message);
        }
        m.slots.push_back(std::move(slot));
    }
}

VirtualBus::~VirtualBus() {
    Impl &m = *impl_;
    for (Impl::Slot &slot : m.slots) {
        GError *error = nullptr;
        umockdev_testbed_detach_ioctl(m.testbed, slot.devnode.c_str(), &error);
        if (error) g_error_free(error);
    }
    g_object_unref(m.testbed);
    m.slots.clear();
}

size_t VirtualBus::size() const { return impl_->slots.size(); }
Camera &VirtualBus::camera(size_t index) { return *impl_->slots.at(index).camera; }
UsbStats VirtualBus::stats(size_t index) const { return impl_->slots.at(index).usb->stats(); }
void VirtualBus::hold_cancellations(size_t index, bool hold) {
    impl_->slots.at(index).usb->hold_cancellations(hold);
}
bool VirtualBus::plugged(size_t index) const { return impl_->slots.at(index).usb->plugged(); }
std::string VirtualBus::root_dir() const { return impl_->root; }
std::string VirtualBus::devnode(size_t index) const { return impl_->slots.at(index).devnode; }
std::string VirtualBus::syspath(size_t index) const { return impl_->slots.at(index).syspath; }
uint8_t VirtualBus::bus_number() const { return impl_->bus; }
uint8_t VirtualBus::port(size_t index) const { return impl_->slots.at(index).port; }
uint8_t VirtualBus::address(size_t index) const { return impl_->slots.at(index).address; }

void VirtualBus::unplug(size_t index) {
    Impl::Slot &slot = impl_->slots.at(index);
    if (!slot.usb->plugged()) return;
    slot.usb->unplug();
    umockdev_testbed_uevent(impl_->testbed, slot.syspath.c_str(), "remove");
    umockdev_testbed_remove_device(impl_->testbed, slot.syspath.c_str());
}

bool running_under_preload() {
    const char *preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload") != nullptr;
}

bool reexec_under_preload(int argc, char **argv) {
    (void)argc;
    if (running_under_preload()) {
        // The programs this one starts begin afresh: one that runs a bus of its own re-executes.
        unsetenv(kReexecMarker);
        return true;
    }
    if (std::getenv(kReexecMarker)) return false;  // re-executed once already: do not loop
    std::string preload = kPreloadLibrary;
    if (const char *old = std::getenv("LD_PRELOAD"); old && *old) preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    std::string asan = "verify_asan_link_order=0";
    if (const char *old = std::getenv("ASAN_OPTIONS"); old && *old)
        asan = std::string(old) + ":" + asan;
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    setenv(kReexecMarker, "1", 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "lumox-vcam: cannot re-execute under %s: %s\n", kPreloadLibrary,
                 std::strerror(errno));
    return false;
}

}  // namespace lumox::vcam
