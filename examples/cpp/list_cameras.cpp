// Lists the cameras on the bus; opens each one to show its product and identity strings.
#include <lumox/lumox.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main() {
    lumox_init("list_cameras_cpp.log");
    std::vector<lumox_dev_t> list(16);
    list.resize(
        static_cast<size_t>(lumox_dev_list(list.data(), static_cast<int32_t>(list.size()))));
    for (lumox_dev_t &entry : list) {
        std::string product = "(cannot open)", serial;
        if (lumox_dev_t *dev = lumox_dev_open(&entry)) {
            // The strings fill their fields and are not terminated when all 32 bytes are used.
            product.assign(dev->product, strnlen(dev->product, sizeof dev->product));
            serial.assign(dev->id2, strnlen(dev->id2, sizeof dev->id2));
            lumox_dev_close(dev);
        }
        std::printf("%u:%u  %s  %s\n", entry.bus, entry.port, product.c_str(), serial.c_str());
    }
    lumox_uninit();
    return list.empty() ? 1 : 0;
}
