// lumox-vcam [options] -- COMMAND...: runs COMMAND against virtual cameras on an emulated USB bus.
// The launcher re-executes itself under the umockdev preload library, builds the bus, and starts
// COMMAND with LD_PRELOAD and UMOCKDEV_DIR set so that libusb in COMMAND finds the cameras. The
// bus lives until COMMAND ends; the launcher passes SIGTERM, SIGINT and SIGHUP on to COMMAND and
// exits with COMMAND's status.
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "vcam/depth_sensor.h"
#include "vcam/playback.h"
#include "vcam/truth_writer.h"
#include "vcam/usb/bus.h"
#include "vcam/usb/launcher_options.h"
#include "vcam/usb/plug_schedule.h"

namespace {

using lumox::vcam::LauncherConfig;

// A set-up the launcher cannot make (a recording it cannot play, an unknown scene); what() is
// the one-line reason.
class SetupError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The recording of --play, opened; null without --play. The camera becomes the recorded one.
// COMMAND finds the recording's path in LUMOX_PLAYBACK (absolute), so that it can decode with
// the calibration and lens the recording was made with; without --play the variable is removed.
std::shared_ptr<lumox::vcam::Playback> open_recording(LauncherConfig &config) {
    unsetenv("LUMOX_PLAYBACK");
    if (config.play.empty()) return nullptr;
    lumox::vcam::PlaybackOptions &playback = config.playback;
    if (!config.camera.camera.paced)
        playback.timing = lumox::vcam::PlaybackOptions::Timing::kUnpaced;
    std::string error;
    std::shared_ptr<lumox::vcam::Playback> recorded =
        lumox::vcam::Playback::open(config.play, playback, &error);
    if (!recorded) throw SetupError(error);
    if (playback.credit_fd >= 0 &&
        fcntl(playback.credit_fd, F_SETFL, fcntl(playback.credit_fd, F_GETFL) | O_NONBLOCK) < 0)
        throw SetupError("--play-credit-fd " + std::to_string(playback.credit_fd) + ": " +
                         std::strerror(errno));
    if (char *absolute = realpath(config.play.c_str(), nullptr)) {
        setenv("LUMOX_PLAYBACK", absolute, 1);
        std::free(absolute);
    }
    config.cameras = 1;
    config.camera.camera = recorded->camera_config(config.camera.camera);
    config.pattern = true;  // the recording's frames, identity and calibration
    config.calibration = false;
    return recorded;
}

// The scene the live cameras look at, with --wall applied to the wall's distance.
lumox::vcam::Scene live_scene(const LauncherConfig &config) {
    std::string name = config.scene;
    if (config.wall_mm > 0) {
        if (name == "box")
            name = "box:" + std::to_string(config.wall_mm);
        else if (name == "room" || name.rfind("wall", 0) == 0)
            name = "wall:" + std::to_string(config.wall_mm);
    }
    std::string error;
    auto scene = lumox::vcam::Scene::named(name, error);
    if (!scene) throw SetupError(error);
    return *scene;
}

lumox::vcam::BusOptions bus_options(LauncherConfig &config) {
    const auto t_sensor = static_cast<int16_t>(std::lround(config.temperature * 10));
    config.camera.camera.temp_sensor = t_sensor;
    config.camera.camera.temp_board = static_cast<int16_t>(t_sensor - 51);
    lumox::vcam::BusOptions bus;
    bus.bus = config.bus;
    bus.cameras.clear();
    for (unsigned k = 0; k < config.cameras; ++k) {
        lumox::vcam::UsbCameraOptions c = config.camera;
        c.port = static_cast<uint8_t>(config.first_port + k);
        bus.cameras.push_back(c);
    }
    return bus;
}

// Firmware 2.0 and later corrects each pixel with the calibration it carries.
bool firmware_corrects(const LauncherConfig &config) {
    const std::string &product = config.camera.camera.product;
    const size_t dash = product.find('-', product.find('-') + 1);
    return config.calibration && dash != std::string::npos &&
           std::atoi(product.c_str() + dash + 1) >= 2;
}

// Gives every camera its frames (the scene through the sensor model, with the truth written
// beside them when asked, or the recording), its calibration package and its faults.
void attach_sources(lumox::vcam::VirtualBus &vbus, const LauncherConfig &config,
                    const std::shared_ptr<lumox::vcam::Playback> &recorded) {
    lumox::vcam::DepthSensorConfig sensor_config;
    sensor_config.seed = config.seed;
    sensor_config.corrects_pixels = firmware_corrects(config);
    const lumox::vcam::DepthSensor sensor(sensor_config);
    const std::vector<uint8_t> package =
        config.calibration ? sensor.package() : std::vector<uint8_t>{};
    const std::optional<lumox::vcam::Scene> scene =
        config.pattern ? std::nullopt : std::optional(live_scene(config));
    for (size_t k = 0; k < vbus.size(); ++k) {
        lumox::vcam::Camera &camera = vbus.camera(k);
        camera.fault_status_busy(config.status_busy);
        if (scene) {
            auto cfg = sensor_config;
            cfg.seed = config.seed + k;
            auto model = std::make_shared<lumox::vcam::SensorModel>(*scene, cfg);
            if (config.truth_dir.empty()) {
                camera.set_live_source(model);
            } else {
                const std::string dir = vbus.size() > 1
                                            ? config.truth_dir + "/camera" + std::to_string(k)
                                            : config.truth_dir;
                try {
                    camera.set_live_source(std::make_shared<lumox::vcam::TruthWriter>(model, dir));
                } catch (const std::exception &e) {
                    throw SetupError(e.what());
                }
            }
        }
        if (config.calibration) camera.set_calibration_package(package, 1);
        if (recorded) lumox::vcam::Playback::attach(recorded, camera);
    }
}

constexpr int kForwardedSignals[] = {SIGTERM, SIGINT, SIGHUP};
volatile std::sig_atomic_t g_child = 0;

// Passes a signal on to COMMAND. One the terminal sent (Ctrl-C, a hang-up) reached COMMAND
// already, since the two share the terminal's process group; one COMMAND sent is not returned.
void forward_signal(int sig, siginfo_t *info, void *) {
    const pid_t child = static_cast<pid_t>(g_child);
    if (child <= 0 || info->si_code == SI_KERNEL || info->si_pid == child) return;
    const int saved = errno;
    kill(child, sig);
    errno = saved;
}

// Runs COMMAND and returns the launcher's exit status: COMMAND's, 128 + a signal that ended it,
// or 127 when it could not be started.
int run_command(char **command) {
    // SIGTERM, SIGINT and SIGHUP sent to the launcher are passed on to COMMAND, so that killing
    // the launcher ends COMMAND the way COMMAND ends on that signal (lumox record closes its
    // file). They are blocked from before the fork until the handler knows the child, and
    // unblocked in the child before it runs COMMAND.
    sigset_t forwarded;
    sigset_t old_mask;
    sigemptyset(&forwarded);
    for (const int sig : kForwardedSignals) sigaddset(&forwarded, sig);
    sigprocmask(SIG_BLOCK, &forwarded, &old_mask);
    const pid_t child = fork();
    if (child < 0) {
        std::perror("lumox-vcam: fork");
        return 127;
    }
    if (child == 0) {
        sigprocmask(SIG_SETMASK, &old_mask, nullptr);
        execvp(command[0], command);
        std::fprintf(stderr, "lumox-vcam: cannot run %s: %s\n", command[0], std::strerror(errno));
        _exit(127);
    }
    g_child = child;
    struct sigaction sa {};
    sa.sa_sigaction = forward_signal;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (const int sig : kForwardedSignals) sigaction(sig, &sa, nullptr);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return 127;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (!lumox::vcam::reexec_under_preload(argc, argv)) return 127;
    LauncherConfig config;
    try {
        config = lumox::vcam::parse_launcher_command_line(argc, argv);
    } catch (const lumox_cmdline::UsageError &e) {
        std::fprintf(stderr, "lumox-vcam: %s\n%s", e.what(), lumox::vcam::launcher_help().c_str());
        return 2;
    }
    if (config.help) {
        std::fputs(lumox::vcam::launcher_help().c_str(), stdout);
        return 0;
    }
    try {
        const auto recorded = open_recording(config);
        lumox::vcam::VirtualBus vbus(bus_options(config));
        attach_sources(vbus, config, recorded);
        const lumox::vcam::PlugSchedule schedule(vbus, config.plug_steps);
        return run_command(argv + config.command);
    } catch (const SetupError &e) {
        std::fprintf(stderr, "lumox-vcam: %s\n", e.what());
        return 2;
    }
}
