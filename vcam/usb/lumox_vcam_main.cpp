// lumox-vcam [options] -- COMMAND...: runs COMMAND against virtual cameras on an emulated USB bus.
// The launcher re-executes itself under the umockdev preload library, builds the bus, and starts
// COMMAND with LD_PRELOAD and UMOCKDEV_DIR set so that libusb in COMMAND finds the cameras. The
// bus lives until COMMAND ends; the launcher passes SIGTERM, SIGINT and SIGHUP on to COMMAND and
// exits with COMMAND's status.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "vcam/depth_sensor.h"
#include "vcam/truth_writer.h"
#include "vcam/playback.h"
#include "vcam/usb/bus.h"

namespace {

void usage(FILE *out) {
    std::fputs(
        "usage: lumox-vcam [options] -- COMMAND [ARGS...]\n"
        "Runs COMMAND against virtual cameras (USB 111b:1238) on an emulated bus.\n"
        "  --cameras N            number of cameras (default 1)\n"
        "  --bus N                bus number (default 1)\n"
        "  --port N               port of the first camera (default 1; the next ones follow)\n"
        "  --full-speed           cameras on full speed instead of high speed\n"
        "  --busy-interface0      interface 0 cannot be claimed (hosts fall back to 1)\n"
        "  --product TEXT         product string (default LXC660-E2-2.0.3)\n"
        "  --fps N                frame rate (parameter 12, default 20)\n"
        "  --unpaced              stream as fast as the host reads\n"
        "  --segment-size N       data bytes per stream segment (default 153600)\n"
        "  --frames-per-segment N whole frames per segment (default 1)\n"
        "  --no-data-checksum     segments without the data checksum\n"
        "  --status-busy N        the first N status replies report busy\n"
        "  --scene [NAME|FILE]    what the cameras look at (default room): wall[:MM] (a flat\n"
        "                         wall, default 2000 mm), box[:MM] (a wall with a box in front\n"
        "                         of it; --scene alone), room (floor, back wall, box,\n"
        "                         sphere, pillar), or a scene file (see vcam/scene.h)\n"
        "  --wall MM              the same as --scene wall:MM (with --scene box: box:MM)\n"
        "  --pattern              frames hold a counter pattern instead of a scene\n"
        "  --seed N               seed of the sensor noise (default 1)\n"
        "  --temperature C        sensor temperature in degC (default 35.2; the illumination\n"
        "                         board runs 5.1 degC cooler); the phase drifts with it\n"
        "  --truth DIR            write the ground truth of every frame into DIR\n"
        "  --no-calibration       the cameras carry no calibration package (default: their\n"
        "                         sensor's; firmware 2.0 and later apply it before streaming)\n"
        "  --play FILE            one camera that is the camera of a recording (lumox record):\n"
        "                         its identity, parameters, calibration package and frames\n"
        "  --as-recorded          play the frames at their recorded timing (the default)\n"
        "  --rate R               play them at R frames per second\n"
        "  --loop                 start the recording again after its last frame\n"
        "  --play-frames A:B      play only the recorded frames A to B - 1 (either may be empty)\n"
        "  --unplug-at S[@K]      pull camera K (from 0; default every camera) off the bus S\n"
        "                         seconds after COMMAND started (repeatable)\n"
        "  --replug-at S[@K]      plug it back in S seconds after the start: same port and\n"
        "                         serial, a new address (repeatable)\n"
        "  -h, --help             this text\n",
        out);
}

// "A:B", "A:" or ":B" into [first, end).
bool parse_range(const std::string &text, uint64_t &first, uint64_t &end) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    auto number = [](const std::string &t, uint64_t &out) {
        if (t.empty()) return true;
        char *stop = nullptr;
        errno = 0;
        const unsigned long long v = std::strtoull(t.c_str(), &stop, 10);
        if (errno || *stop || t[0] == '-') return false;
        out = v;
        return true;
    };
    return number(text.substr(0, colon), first) && number(text.substr(colon + 1), end) &&
           first < end;
}

bool parse_number(const char *text, unsigned long max, unsigned long &out) {
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 0);
    if (errno || !end || *end || end == text || v > max) return false;
    out = v;
    return true;
}

// One step of the plug schedule: at `at` after the start, camera `camera` (or every camera,
// kEveryCamera) is pulled out or plugged back in.
struct PlugStep {
    static constexpr long kEveryCamera = -1;
    std::chrono::milliseconds at{0};
    long camera = kEveryCamera;
    bool plug_in = false;
};

// "S" or "S@K" (seconds, may have a fraction; camera index).
bool parse_plug_step(const std::string &text, bool plug_in, PlugStep &step) {
    const size_t at = text.find('@');
    char *end = nullptr;
    const std::string seconds = text.substr(0, at);
    const double s = std::strtod(seconds.c_str(), &end);
    if (seconds.empty() || *end || !(s >= 0 && s <= 1e6)) return false;
    step.at = std::chrono::milliseconds(std::llround(s * 1000));
    step.plug_in = plug_in;
    if (at == std::string::npos) return true;
    unsigned long k = 0;
    if (!parse_number(text.c_str() + at + 1, 15, k)) return false;
    step.camera = static_cast<long>(k);
    return true;
}

// Runs the plug schedule on a thread of its own until it is done or stopped.
class PlugSchedule {
  public:
    PlugSchedule(lumox::vcam::VirtualBus &bus, std::vector<PlugStep> steps)
        : bus_(bus), steps_(std::move(steps)) {
        std::stable_sort(steps_.begin(), steps_.end(),
                         [](const PlugStep &a, const PlugStep &b) { return a.at < b.at; });
        if (!steps_.empty()) thread_ = std::thread([this] { run(); });
    }
    ~PlugSchedule() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

  private:
    void run() {
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock lock(mutex_);
        for (const PlugStep &step : steps_) {
            if (cv_.wait_until(lock, start + step.at, [this] { return stop_; })) return;
            for (size_t k = 0; k < bus_.size(); ++k) {
                if (step.camera != PlugStep::kEveryCamera && static_cast<size_t>(step.camera) != k)
                    continue;
                if (step.plug_in)
                    bus_.replug(k);
                else
                    bus_.unplug(k);
            }
        }
    }

    lumox::vcam::VirtualBus &bus_;
    std::vector<PlugStep> steps_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

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

}  // namespace

int main(int argc, char **argv) {
    if (!lumox::vcam::reexec_under_preload(argc, argv)) return 127;

    lumox::vcam::BusOptions bus;
    lumox::vcam::UsbCameraOptions cam;
    unsigned long cameras = 1, first_port = 1, status_busy = 0, seed = 1, wall_mm = 0;
    bool calibration = true;
    bool pattern = false;
    std::string scene_name = "room";
    std::string truth_dir;
    double temperature = 35.2;
    std::string play;
    lumox::vcam::PlaybackOptions playback;
    std::vector<PlugStep> plug_steps;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string opt = argv[i];
        auto value = [&](unsigned long max, unsigned long &out) {
            if (i + 1 >= argc || !parse_number(argv[i + 1], max, out)) {
                std::fprintf(stderr, "lumox-vcam: %s needs a number up to %lu\n", opt.c_str(), max);
                std::exit(2);
            }
            ++i;
        };
        unsigned long n = 0;
        if (opt == "--") {
            ++i;
            break;
        } else if (opt == "-h" || opt == "--help") {
            usage(stdout);
            return 0;
        } else if (opt == "--cameras") {
            value(16, cameras);
        } else if (opt == "--bus") {
            value(127, n);
            bus.bus = static_cast<uint8_t>(n);
        } else if (opt == "--port") {
            value(15, first_port);
        } else if (opt == "--full-speed") {
            cam.high_speed = false;
        } else if (opt == "--busy-interface0") {
            cam.interface0_claimable = false;
        } else if (opt == "--product" && i + 1 < argc) {
            cam.camera.product = argv[++i];
        } else if (opt == "--fps") {
            value(1000, n);
            cam.camera.frame_rate = static_cast<uint32_t>(n);
        } else if (opt == "--unpaced") {
            cam.camera.paced = false;
        } else if (opt == "--segment-size") {
            value(0xFFFFF, n);
            cam.camera.stream.segment_size = static_cast<uint32_t>(n);
        } else if (opt == "--frames-per-segment") {
            value(0xFFFF, n);
            cam.camera.stream.frames_per_segment = static_cast<uint16_t>(n);
        } else if (opt == "--no-data-checksum") {
            cam.camera.stream.data_checksum = false;
        } else if (opt == "--status-busy") {
            value(1000000, status_busy);
        } else if (opt == "--wall") {
            value(50000, wall_mm);
        } else if (opt == "--scene") {
            // Alone (followed by an option or nothing) it is the box in front of the wall.
            if (i + 1 < argc && argv[i + 1][0] != '-')
                scene_name = argv[++i];
            else
                scene_name = "box";
        } else if (opt == "--pattern") {
            pattern = true;
        } else if (opt == "--seed") {
            value(0xFFFFFFFFul, seed);
        } else if (opt == "--temperature" && i + 1 < argc) {
            char *end = nullptr;
            temperature = std::strtod(argv[++i], &end);
            if (!end || *end || !(temperature >= -40 && temperature <= 125)) {
                std::fprintf(stderr, "lumox-vcam: --temperature needs degC from -40 to 125\n");
                return 2;
            }
        } else if (opt == "--truth" && i + 1 < argc) {
            truth_dir = argv[++i];
        } else if (opt == "--calibration") {
            calibration = true;
        } else if (opt == "--no-calibration") {
            calibration = false;
        } else if (opt == "--play" && i + 1 < argc) {
            play = argv[++i];
        } else if (opt == "--as-recorded") {
            playback.timing = lumox::vcam::PlaybackOptions::Timing::kAsRecorded;
        } else if (opt == "--rate") {
            value(100000, n);
            playback.timing = lumox::vcam::PlaybackOptions::Timing::kRate;
            playback.rate = static_cast<uint32_t>(n);
        } else if (opt == "--loop") {
            playback.loop = true;
        } else if (opt == "--play-frames" && i + 1 < argc) {
            if (!parse_range(argv[++i], playback.first, playback.end)) {
                std::fprintf(stderr, "lumox-vcam: --play-frames needs A:B with A < B\n");
                return 2;
            }
        } else if ((opt == "--unplug-at" || opt == "--replug-at") && i + 1 < argc) {
            PlugStep step;
            if (!parse_plug_step(argv[++i], opt == "--replug-at", step)) {
                std::fprintf(stderr, "lumox-vcam: %s needs SECONDS or SECONDS@CAMERA\n",
                             opt.c_str());
                return 2;
            }
            plug_steps.push_back(step);
        } else if (opt == "--play-credit-fd") {
            // Used by `lumox convert`: one byte on this descriptor per frame it has taken.
            value(1024, n);
            playback.credit_fd = static_cast<int>(n);
        } else {
            std::fprintf(stderr, "lumox-vcam: unknown option %s\n", opt.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (i >= argc) {
        usage(stderr);
        return 2;
    }
    if (cameras == 0 || first_port == 0) {
        std::fprintf(stderr, "lumox-vcam: --cameras and --port start at 1\n");
        return 2;
    }
    for (const PlugStep &step : plug_steps) {
        if (step.camera != PlugStep::kEveryCamera && static_cast<unsigned long>(step.camera) >= cameras) {
            std::fprintf(stderr, "lumox-vcam: there is no camera %ld (--cameras %lu)\n",
                         step.camera, cameras);
            return 2;
        }
    }
    std::shared_ptr<lumox::vcam::Playback> recorded;
    if (!play.empty()) {
        if (cam.camera.paced == false)
            playback.timing = lumox::vcam::PlaybackOptions::Timing::kUnpaced;
        std::string error;
        recorded = lumox::vcam::Playback::open(play, playback, &error);
        if (!recorded) {
            std::fprintf(stderr, "lumox-vcam: %s\n", error.c_str());
            return 2;
        }
        if (playback.credit_fd >= 0 && fcntl(playback.credit_fd, F_SETFL,
                                             fcntl(playback.credit_fd, F_GETFL) | O_NONBLOCK) < 0) {
            std::fprintf(stderr, "lumox-vcam: --play-credit-fd %d: %s\n", playback.credit_fd,
                         std::strerror(errno));
            return 2;
        }
        cameras = 1;
        cam.camera = recorded->camera_config(cam.camera);
    }
    if (recorded) {
        pattern = true;  // the recording's frames, identity and calibration
        calibration = false;
    }
    if (wall_mm > 0) {  // the distance of the wall (of the box scene's wall)
        if (scene_name == "box")
            scene_name = "box:" + std::to_string(wall_mm);
        else if (scene_name == "room" || scene_name.rfind("wall", 0) == 0)
            scene_name = "wall:" + std::to_string(wall_mm);
    }
    std::string error;
    const auto scene = lumox::vcam::Scene::named(scene_name, error);
    if (!pattern && !scene) {
        std::fprintf(stderr, "lumox-vcam: %s\n", error.c_str());
        return 2;
    }
    const auto t_sensor = static_cast<int16_t>(std::lround(temperature * 10));
    cam.camera.temp_sensor = t_sensor;
    cam.camera.temp_board = static_cast<int16_t>(t_sensor - 51);
    // Firmware 2.0 and later corrects each pixel with the calibration it carries.
    const std::string &product = cam.camera.product;
    const size_t dash = product.find('-', product.find('-') + 1);
    const bool corrects =
        calibration && dash != std::string::npos && std::atoi(product.c_str() + dash + 1) >= 2;
    bus.cameras.clear();
    for (unsigned long k = 0; k < cameras; ++k) {
        lumox::vcam::UsbCameraOptions c = cam;
        c.port = static_cast<uint8_t>(first_port + k);
        bus.cameras.push_back(c);
    }

    lumox::vcam::VirtualBus vbus(bus);
    lumox::vcam::DepthSensorConfig sensor_config;
    sensor_config.seed = seed;
    sensor_config.corrects_pixels = corrects;
    const lumox::vcam::DepthSensor sensor(sensor_config);
    const std::vector<uint8_t> package = calibration ? sensor.package() : std::vector<uint8_t>{};
    for (size_t k = 0; k < vbus.size(); ++k) {
        vbus.camera(k).fault_status_busy(static_cast<unsigned>(status_busy));
        if (!pattern) {
            auto cfg = sensor_config;
            cfg.seed = seed + k;
            auto model = std::make_shared<lumox::vcam::SensorModel>(*scene, cfg);
            if (truth_dir.empty()) {
                vbus.camera(k).set_live_source(model);
            } else {
                const std::string dir =
                    vbus.size() > 1 ? truth_dir + "/camera" + std::to_string(k) : truth_dir;
                try {
                    vbus.camera(k).set_live_source(
                        std::make_shared<lumox::vcam::TruthWriter>(model, dir));
                } catch (const std::exception &e) {
                    std::fprintf(stderr, "lumox-vcam: %s\n", e.what());
                    return 2;
                }
            }
        }
        if (calibration) vbus.camera(k).set_calibration_package(package, 1);
        if (recorded) lumox::vcam::Playback::attach(recorded, vbus.camera(k));
    }

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
        execvp(argv[i], argv + i);
        std::fprintf(stderr, "lumox-vcam: cannot run %s: %s\n", argv[i], std::strerror(errno));
        _exit(127);
    }
    g_child = child;
    const PlugSchedule schedule(vbus, plug_steps);
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
