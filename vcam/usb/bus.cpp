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
    std::string hub;
    std::vector<Slot> slots;
    // The bridge of each camera's previous time on the bus: the host may still hold its node
    // open, so it stays attached (answering ENODEV) until the camera is plugged in once more,
    // its address is given out again, or the bus ends.
    struct Retired {
        size_t slot;
        std::string devnode;
        std::unique_ptr<UsbfsDevice> usb;
    };
    std::vector<Retired> retired;
    uint8_t next_address = 2;

    void plug(Slot &slot, uint8_t address, bool announce);
    void detach(const std::string &devnode);
    uint8_t free_address();
};

void VirtualBus::Impl::detach(const std::string &devnode) {
    GError *error = nullptr;
    umockdev_testbed_detach_ioctl(testbed, devnode.c_str(), &error);
    if (error) g_error_free(error);
}

// Addresses run from 2 to 127 (1 is the root hub's) and wrap, skipping those in use.
uint8_t VirtualBus::Impl::free_address() {
    for (int tries = 0; tries < 126; ++tries) {
        const uint8_t a = next_address;
        next_address = static_cast<uint8_t>(a >= 127 ? 2 : a + 1);
        bool used = false;
        for (const Slot &s : slots) used = used || (s.usb && s.usb->plugged() && s.address == a);
        if (!used) return a;
    }
    throw std::runtime_error("no free USB address on the virtual bus");
}

// Puts a camera on the bus at an address: its sysfs device, descriptors, node and usbfs bridge.
// With announce (a camera plugged in while the host runs) the device is added without its node
// name, which keeps the host from taking it up before its descriptors exist, and a second "add"
// event announces it once it is complete.
void VirtualBus::Impl::plug(Slot &slot, uint8_t address, bool announce) {
    slot.address = address;
    const std::string bus_text = std::to_string(bus);
    slot.devnode = "/dev/bus/usb/" + three_digits(bus) + "/" + three_digits(address);
    std::erase_if(retired, [&](Retired &r) {
        if (r.devnode != slot.devnode) return false;
        detach(r.devnode);
        return true;
    });
    const bool hs = slot.options.high_speed;
    std::vector<std::pair<std::string, std::string>> properties = {
        {"DEVTYPE", "usb_device"},
        {"BUSNUM", three_digits(bus)},
        {"DEVNUM", three_digits(address)},
        {"PRODUCT", hex4(kVendorId).substr(1) + "/" + hex4(kProductId) + "/100"},
        {"ID_VENDOR_ID", hex4(kVendorId)},
        {"ID_MODEL_ID", hex4(kProductId)},
        {"ID_SERIAL_SHORT", slot.options.serial}};
    if (!announce) properties.insert(properties.begin(), {"DEVNAME", slot.devnode});
    slot.syspath = add_device(testbed, bus_text + "-" + std::to_string(slot.port), hub.c_str(),
                              {{"busnum", bus_text},
                               {"devnum", std::to_string(address)},
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
                              properties);
    set_binary(testbed, slot.syspath, "descriptors", sysfs_descriptors(hs));
    make_fifo(root + slot.devnode);

    UsbStrings strings;
    strings.product = slot.options.camera.product;
    strings.serial = slot.options.serial;
    slot.usb =
        std::make_unique<UsbfsDevice>(*slot.camera, slot.options, strings, root + slot.devnode);
    UMockdevTestbed *tb = testbed;
    const std::string syspath = slot.syspath;
    slot.usb->on_configuration([tb, syspath](unsigned value) {
        umockdev_testbed_set_attribute_int(tb, syspath.c_str(), "bConfigurationValue",
                                           static_cast<gint>(value));
    });
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, slot.devnode.c_str(), slot.usb->handler(),
                                       &error)) {
        std::string message = error ? error->message : "unknown error";
        if (error) g_error_free(error);
        throw std::runtime_error("umockdev: cannot attach ioctl handler: " + message);
    }
    if (announce) {
        umockdev_testbed_set_property(testbed, slot.syspath.c_str(), "DEVNAME",
                                      slot.devnode.c_str());
        umockdev_testbed_uevent(testbed, slot.syspath.c_str(), "add");
    }
}

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

    m.hub = hub;
    for (size_t i = 0; i < options.cameras.size(); ++i) {
        Impl::Slot slot;
        slot.options = options.cameras[i];
        slot.port = slot.options.port ? slot.options.port : static_cast<uint8_t>(i + 1);
        // Each camera has its own identity text (VC00001, VC00002, ...) unless one is given, and
        // its USB serial string is that text unless one is given.
        if (slot.options.camera.id2 == CameraConfig{}.id2) {
            char id2[32];
            std::snprintf(id2, sizeof id2, "VC%05zu", i + 1);
            slot.options.camera.id2 = id2;
        }
        if (slot.options.serial.empty()) slot.options.serial = slot.options.camera.id2;
        slot.camera = std::make_unique<Camera>(slot.options.camera);
        m.slots.push_back(std::move(slot));
        m.plug(m.slots.back(), static_cast<uint8_t>(i + 2), false);
    }
    m.next_address = static_cast<uint8_t>(options.cameras.size() + 2);
}

VirtualBus::~VirtualBus() {
    Impl &m = *impl_;
    for (Impl::Slot &slot : m.slots) m.detach(slot.devnode);
    for (const Impl::Retired &r : m.retired) m.detach(r.devnode);
    g_object_unref(m.testbed);
    m.slots.clear();
    m.retired.clear();
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

void VirtualBus::replug(size_t index) {
    Impl &m = *impl_;
    Impl::Slot &slot = m.slots.at(index);
    if (slot.usb->plugged()) return;
    std::erase_if(m.retired, [&](Impl::Retired &r) {
        if (r.slot != index) return false;
        m.detach(r.devnode);
        return true;
    });
    m.retired.push_back({index, slot.devnode, std::move(slot.usb)});
    slot.camera->power_cycle();
    m.plug(slot, m.free_address(), true);
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
