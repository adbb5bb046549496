// lumox firmware upgrade, data download, data upload: images in the camera's flash. A failure
// names its cause: the file (missing, empty, a directory, unreadable), the camera's stored
// version, a camera without such an image, or the transfer itself.

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "command.h"
#include "probe.h"
#include "session.h"

namespace lumox_cli {

namespace {

// A one-line progress bar on stderr, redrawn when the percentage changes.
struct ProgressBar {
    int last = -1;
    uint64_t done = 0;
    uint64_t total = 0;
    static void update(uint64_t done, uint64_t total, void *user) {
        auto *bar = static_cast<ProgressBar *>(user);
        bar->done = done;
        bar->total = total;
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
    std::string transfer_failure() const {
        if (total == 0) return "the camera did not take the transfer";
        return "the transfer broke off after " + std::to_string(done) + " of " +
               std::to_string(total) + " bytes";
    }
};

// Why the file cannot be sent as an image, or "" when it can.
std::string unsendable(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return "cannot read " + path + ": " + std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return path + " is a directory";
    if (!S_ISREG(st.st_mode)) return path + " is not a regular file";
    if (st.st_size == 0) return path + " is empty";
    if (static_cast<uint64_t>(st.st_size) > UINT32_MAX)
        return path + " is larger than an image can be (4 GiB)";
    if (access(path.c_str(), R_OK) != 0) return "cannot read " + path + ": " + std::strerror(errno);
    return "";
}

// What the camera says about its stored image, asked after the library's device is closed.
std::optional<al_data_info> stored_image(Session &session, uint8_t type) {
    session.close();
    const auto record = transport_find(session.location());
    if (!record) return std::nullopt;
    TransportProbe probe(*record);
    return probe.data_info(type);
}

uint8_t image_type(const Args &args) {
    return static_cast<uint8_t>(required_int(args, "--type", 0, 255));
}

int write_image(const Args &args, const char *what) {
    const std::string &file = args.operands[0];
    const auto type = image_type(args);
    const auto version = static_cast<uint16_t>(required_int(args, "--version", 0, 65535));
    if (const std::string why = unsendable(file); !why.empty()) {
        std::fprintf(stderr, "%s FAILED: %s; the camera was not touched.\n", what, why.c_str());
        return kExitFailure;
    }
    Session session(args);
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    ProgressBar bar;
    if (type <= 3)
        std::fprintf(stderr, "Do not unplug or power off the camera until this command ends.\n");
    lumox_clear_last_error();
    const int32_t r = lumox_data_download_progress(dev, file.c_str(), type, version, 0,
                                                   ProgressBar::update, &bar);
    bar.end();
    if (r != 1) {
        // The library's account of the transfer, before the query below adds its own.
        const std::string hint = session.failure_hint();
        // The library compares with the version its information query (for type 0) reports.
        const auto stored = stored_image(session, 0);
        std::string why;
        if (bar.total == 0 && stored && stored->version >= version) {
            why = "the camera holds version " + std::to_string(stored->version) +
                  " and takes only a newer one";
        } else if (bar.total == 0 && !stored) {
            why = "the camera did not answer the image query";
        } else {
            why = bar.transfer_failure();
        }
        std::fprintf(stderr,
                     "%s FAILED: %s was not written (type %u, version %u): %s. The camera keeps "
                     "its previous image (%s).\n",
                     what, file.c_str(), type, version, why.c_str(), hint.c_str());
        return kExitFailure;
    }
    std::printf("%s done: %s written as type %u, version %u\n", what, file.c_str(), type, version);
    return kExitOk;
}

struct FileState {
    bool exists = false;
    struct stat st {};
};

FileState file_state(const std::string &path) {
    FileState s;
    s.exists = stat(path.c_str(), &s.st) == 0;
    return s;
}

bool changed(const FileState &before, const FileState &after) {
    if (!after.exists) return false;
    return !before.exists || before.st.st_ino != after.st.st_ino ||
           before.st.st_size != after.st.st_size ||
           before.st.st_mtim.tv_sec != after.st.st_mtim.tv_sec ||
           before.st.st_mtim.tv_nsec != after.st.st_mtim.tv_nsec;
}

}  // namespace

int cmd_firmware_upgrade(const Args &args) { return write_image(args, "firmware upgrade"); }

int cmd_data_download(const Args &args) { return write_image(args, "data download"); }

int cmd_data_upload(const Args &args) {
    const std::string &file = args.operands[0];
    const auto type = image_type(args);
    const FileState before = file_state(file);
    if (before.exists && S_ISDIR(before.st.st_mode)) {
        std::fprintf(stderr, "data upload FAILED: %s is a directory\n", file.c_str());
        return kExitFailure;
    }
    Session session(args);
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    ProgressBar bar;
    lumox_clear_last_error();
    const int32_t r =
        lumox_data_upload_progress(dev, type, file.c_str(), ProgressBar::update, &bar);
    bar.end();
    if (r != 1) {
        const std::string hint = session.failure_hint();
        // A file the library began to write holds part of the image at most: remove it.
        const FileState after = file_state(file);
        const bool removed =
            changed(before, after) && S_ISREG(after.st.st_mode) && std::remove(file.c_str()) == 0;
        std::string why;
        if (bar.total != 0) {
            why = bar.transfer_failure();
        } else {
            const auto stored = stored_image(session, type);
            if (!stored) {
                why = "the camera did not answer the image query";
            } else if (stored->size == AL_DATA_NO_IMAGE) {
                why = "the camera holds no image of type " + std::to_string(type);
            } else if (!removed && !changed(before, after)) {
                why = "cannot write " + file;
            } else {
                why = "the transfer failed";
            }
        }
        std::fprintf(stderr, "data upload FAILED: no image of type %u read: %s%s (%s)\n", type,
                     why.c_str(), removed ? "; the partial file was removed" : "", hint.c_str());
        return kExitFailure;
    }
    std::printf("data upload done: image of type %u in %s\n", type, file.c_str());
    return kExitOk;
}

}  // namespace lumox_cli
