#include "view_command.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include <pthread.h>
#include <sys/stat.h>

#include "lumox/lumox.h"
#include "view_server.h"

namespace lumox::cli {
namespace {

// Picks the camera named by "BUS:PORT" (or the first one) from the list. Prints why when none.
bool find_camera(const std::string &where, lumox_dev_t *out) {
    lumox_dev_t list[16];
    const int32_t n = lumox_dev_list(list, 16);
    if (n <= 0) {
        std::fprintf(stderr, "lumox: no camera found\n");
        return false;
    }
    if (where.empty()) {
        *out = list[0];
        return true;
    }
    unsigned bus = 0;
    unsigned port = 0;
    char extra = 0;
    if (std::sscanf(where.c_str(), "%u:%u%c", &bus, &port, &extra) != 2) {
        std::fprintf(stderr, "lumox: --device needs BUS:PORT, not '%s'\n", where.c_str());
        return false;
    }
    for (int32_t i = 0; i < n; ++i) {
        if (list[i].bus == bus && list[i].port == port) {
            *out = list[i];
            return true;
        }
    }
    std::fprintf(stderr, "lumox: no camera at %s\n", where.c_str());
    return false;
}

}  // namespace

int run_view(const ViewCommand &cmd) {
    // The server's threads inherit this mask, so that only the wait below takes the signals.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    std::string calib = cmd.calib;
    if (!calib.empty() && calib.back() != '/') calib += '/';
    if (!calib.empty() && mkdir(calib.c_str(), 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "lumox: cannot create '%s'\n", calib.c_str());
        return 1;
    }
    lumox_init(cmd.log.empty() ? nullptr : cmd.log.c_str());
    if (!calib.empty()) lumox_path_cfg(calib.c_str());
    int status = 1;
    lumox_dev_t dev{};
    if (find_camera(cmd.device, &dev)) {
        if (!lumox_dev_open(&dev)) {
            std::fprintf(stderr, "lumox: cannot open the camera (see the library log)\n");
        } else {
            ViewOptions options;
            options.bind = cmd.bind;
            options.port = cmd.port;
            ViewServer server(&dev, options);
            std::string error;
            if (!server.start(&error)) {
                std::fprintf(stderr, "lumox: %s\n", error.c_str());
            } else {
                const bool v6 = cmd.bind.find(':') != std::string::npos;
                std::printf("lumox view: serving http://%s%s%s:%d/ (Ctrl-C to stop)\n",
                            v6 ? "[" : "", cmd.bind.c_str(), v6 ? "]" : "", server.port());
                std::fflush(stdout);
                int sig = 0;
                sigwait(&stop_signals, &sig);
                server.stop();
                status = 0;
            }
            lumox_dev_close(&dev);
        }
    }
    lumox_uninit();
    return status;
}

}  // namespace lumox::cli
