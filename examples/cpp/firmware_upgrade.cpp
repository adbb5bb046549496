// Writes a firmware image into the camera with a text progress bar.
// Usage: firmware_upgrade_cpp IMAGE VERSION [TYPE]
// Only a strictly newer version is written; after a firmware image (types 0 and 1) the camera
// resets and the call waits 20 s. Do not unplug the camera before it returns.
#include <lumox/lumox.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s IMAGE VERSION [TYPE]\n", argv[0]);
        return 2;
    }
    const auto version = static_cast<uint16_t>(std::atoi(argv[2]));
    const auto type = static_cast<uint8_t>(argc > 3 ? std::atoi(argv[3]) : 0);
    lumox_init("firmware_upgrade_cpp.log");
    lumox_dev_t *dev = lumox_dev_open(nullptr);
    if (!dev) return 1;

    // A capture-less lambda converts to the C callback; user carries the bar's state.
    int shown = -1;
    auto bar = [](uint64_t done, uint64_t total, void *user) {
        int &last = *static_cast<int *>(user);
        const int pct = total ? static_cast<int>(done * 100 / total) : 100;
        if (pct == last) return;
        last = pct;
        std::fprintf(stderr, "\r[%-40s] %3d %%", std::string(pct * 40 / 100, '#').c_str(), pct);
    };
    const int32_t r = lumox_data_download_progress(dev, argv[1], type, version, 0, bar, &shown);
    std::fprintf(stderr, "\n%s\n",
                 r == 1 ? "upgrade done" : "upgrade FAILED: the camera keeps its image");
    lumox_dev_close(dev);
    lumox_uninit();
    return r == 1 ? 0 : 1;
}
