// lumox firmware upgrade, data download, data upload: images in the camera's flash.

#include <cinttypes>
#include <cstdio>

#include "command.h"
#include "session.h"

namespace lumox_cli {

namespace {

// A one-line progress bar on stderr, redrawn when the percentage changes.
struct ProgressBar {
    int last = -1;
    static void update(uint64_t done, uint64_t total, void *user) {
        auto *bar = static_cast<ProgressBar *>(user);
        const int pct = total ? static_cast<int>(done * 100 / total) : 100;
        if (pct == bar->last) return;
        bar->last = pct;
        char cells[41];
        const int filled = pct * 40 / 100;
        for (int k = 0; k < 40; ++k) cells[k] = k < filled ? '#' : '.';
        cells[40] = '\0';
        std::fprintf(stderr, "\r[%s] %3d%% %" PRIu64 "/%" PRIu64 " bytes", cells, pct, done, total);
        std::fflush(stderr);
    }
    void end() const {
        if (last >= 0) std::fputc('\n', stderr);
    }
};

uint8_t image_type(const Args &args) {
    return static_cast<uint8_t>(required_int(args, "--type", 0, 255));
}

int write_image(const Args &args, const char *what) {
    const std::string &file = args.operands[0];
    const auto type = image_type(args);
    const auto version = static_cast<uint16_t>(required_int(args, "--version", 0, 65535));
    Session session(args);
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    ProgressBar bar;
    if (type <= 3)
        std::fprintf(stderr, "Do not unplug or power off the camera until this command ends.\n");
    const int32_t r = lumox_data_download_progress(dev, file.c_str(), type, version, 0,
                                                   ProgressBar::update, &bar);
    bar.end();
    if (r != 1) {
        std::fprintf(stderr,
                     "%s FAILED: %s was not written (type %u, version %u). The camera keeps its "
                     "previous image; the library log says why (an older or equal version is "
                     "refused).\n",
                     what, file.c_str(), type, version);
        return kExitFailure;
    }
    std::printf("%s done: %s written as type %u, version %u\n", what, file.c_str(), type, version);
    return kExitOk;
}

}  // namespace

int cmd_firmware_upgrade(const Args &args) { return write_image(args, "firmware upgrade"); }

int cmd_data_download(const Args &args) { return write_image(args, "data download"); }

int cmd_data_upload(const Args &args) {
    const std::string &file = args.operands[0];
    const auto type = image_type(args);
    Session session(args);
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    ProgressBar bar;
    const int32_t r =
        lumox_data_upload_progress(dev, type, file.c_str(), ProgressBar::update, &bar);
    bar.end();
    if (r != 1) {
        std::fprintf(stderr, "data upload FAILED: no image of type %u read (%s)\n", type,
                     session.log_hint().c_str());
        return kExitFailure;
    }
    std::printf("data upload done: image of type %u in %s\n", type, file.c_str());
    return kExitOk;
}

}  // namespace lumox_cli
