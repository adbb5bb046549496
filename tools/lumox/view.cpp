// lumox view: the live viewer. Opens the camera and serves the page until interrupted; with
// --play, runs itself again under the virtual camera playing the recording.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <pthread.h>
#include <unistd.h>

#include "command.h"
#include "session.h"
#include "view_server.h"
#include "writers.h"

namespace lumox_cli {
namespace {

std::string self_dir() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    std::string dir(path);
    const size_t slash = dir.rfind('/');
    return slash == std::string::npos ? "." : dir.substr(0, slash);
}

// The virtual camera's launcher: $LUMOX_VCAM, beside this program, in the build tree, or on PATH.
std::string find_vcam() {
    if (const char *env = std::getenv("LUMOX_VCAM"); env && *env) return env;
    const std::string dir = self_dir();
    for (const std::string &candidate : {dir + "/lumox-vcam", dir + "/../vcam/usb/lumox-vcam"})
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    return "lumox-vcam";
}

// Runs `lumox-vcam --play FILE -- lumox view ...` in place of this process.
int play(const Args &args) {
    const std::string file = args.value("--play");
    if (access(file.c_str(), R_OK) != 0) return fail("cannot read the recording '%s'", file.c_str());
    const std::string vcam = find_vcam();
    std::string self = self_dir() + "/lumox";
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) self.assign(exe, static_cast<size_t>(n));
    std::vector<std::string> words = {vcam, "--play", file, "--", self, "view"};
    for (const auto &[name, value] : args.options) {
        if (name == "--play" || name == "--device") continue;  // the recording's camera is the one
        words.push_back(name);
        if (!value.empty()) words.push_back(value);
    }
    // The page names what it plays.
    setenv("LUMOX_VIEW_RECORDING", file.c_str(), 1);
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    return fail("cannot run %s (the virtual camera plays recordings; set LUMOX_VCAM): %s",
                vcam.c_str(), std::strerror(errno));
}

}  // namespace

int cmd_view(const Args &args) {
    if (args.has("--play")) return play(args);
    ViewOptions options;
    options.port = static_cast<int>(option_int(args, "--port", 0, 65535, 8080));
    options.bind = args.value("--bind", "127.0.0.1");
    if (const char *recording = std::getenv("LUMOX_VIEW_RECORDING")) options.recording = recording;
    std::string calib_dir = args.value("--calib");
    if (!calib_dir.empty()) {
        if (calib_dir.back() != '/') calib_dir += '/';
        if (const std::string why = make_dirs(calib_dir); !why.empty())
            return fail("cannot create the calibration directory: %s", why.c_str());
    }

    // The server's threads inherit this mask, so that only the wait below takes these signals.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    Session session(args);
    if (!calib_dir.empty()) lumox_path_cfg(calib_dir.c_str());
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    ViewServer server(dev, options);
    std::string error;
    if (!server.start(&error)) return fail("%s", error.c_str());
    const bool v6 = options.bind.find(':') != std::string::npos;
    std::printf("lumox view: serving http://%s%s%s:%d/ (Ctrl-C to stop)\n", v6 ? "[" : "",
                options.bind.c_str(), v6 ? "]" : "", server.port());
    if (options.bind != "127.0.0.1" && options.bind != "localhost" && options.bind != "::1")
        std::printf("lumox view: reachable from the network on %s: the camera's controls too\n",
                    options.bind.c_str());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stop_signals, &sig);
    server.stop();
    return kExitOk;
}

}  // namespace lumox_cli
