// lumox-vcam [options] -- COMMAND...: runs COMMAND against virtual cameras on an emulated USB bus.
// The launcher re-executes itself under the umockdev preload library, builds the bus, and starts
// COMMAND with LD_PRELOAD and UMOCKDEV_DIR set so that libusb in COMMAND finds the cameras. The
// bus lives until COMMAND ends; the launcher exits with COMMAND's status.
#include <cerrno>
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
        "  --wall MM              frames show a flat wall at MM millimetres, seen by a sensor\n"
        "                         with a per-pixel distance non-uniformity\n"
        "  --scene                as --wall (default 2000 mm), with a box in front of the wall\n"
        "                         at 60 % of its distance and a dark band along the bottom\n"
        "  --calibration          the cameras carry that sensor's calibration package\n"
        "  --play FILE            one camera that is the camera of a recording (lumox record):\n"
        "                         its identity, parameters, calibration package and frames\n"
        "  --as-recorded          play the frames at their recorded timing (the default)\n"
        "  --rate R               play them at R frames per second\n"
        "  --loop                 start the recording again after its last frame\n"
        "  --play-frames A:B      play only the recorded frames A to B - 1 (either may be empty)\n"
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

}  // namespace

int main(int argc, char **argv) {
    if (!lumox::vcam::reexec_under_preload(argc, argv)) return 127;

    lumox::vcam::BusOptions bus;
    lumox::vcam::UsbCameraOptions cam;
    unsigned long cameras = 1, first_port = 1, status_busy = 0, wall_mm = 0;
    bool calibration = false;
    bool box_scene = false;
    std::string play;
    lumox::vcam::PlaybackOptions playback;
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
            value(100000, wall_mm);
        } else if (opt == "--scene") {
            box_scene = true;
        } else if (opt == "--calibration") {
            calibration = true;
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
    std::shared_ptr<lumox::vcam::Playback> recorded;
    if (!play.empty()) {
        if (cam.camera.paced == false) playback.timing = lumox::vcam::PlaybackOptions::Timing::kUnpaced;
        std::string error;
        recorded = lumox::vcam::Playback::open(play, playback, &error);
        if (!recorded) {
            std::fprintf(stderr, "lumox-vcam: %s\n", error.c_str());
            return 2;
        }
        if (playback.credit_fd >= 0 &&
            fcntl(playback.credit_fd, F_SETFL, fcntl(playback.credit_fd, F_GETFL) | O_NONBLOCK) < 0) {
            std::fprintf(stderr, "lumox-vcam: --play-credit-fd %d: %s\n", playback.credit_fd,
                         std::strerror(errno));
            return 2;
        }
        cameras = 1;
        cam.camera = recorded->camera_config(cam.camera);
    }
    bus.cameras.clear();
    for (unsigned long k = 0; k < cameras; ++k) {
        lumox::vcam::UsbCameraOptions c = cam;
        c.port = static_cast<uint8_t>(first_port + k);
        bus.cameras.push_back(c);
    }

    lumox::vcam::VirtualBus vbus(bus);
    const lumox::vcam::DepthSensor sensor;
    const std::vector<uint8_t> package = calibration ? sensor.package() : std::vector<uint8_t>{};
    for (size_t k = 0; k < vbus.size(); ++k) {
        vbus.camera(k).fault_status_busy(static_cast<unsigned>(status_busy));
        if (box_scene)
            vbus.camera(k).set_renderer(sensor.scene(lumox::vcam::DepthSensor::box_scene(
                wall_mm > 0 ? static_cast<double>(wall_mm) : 2000.0)));
        else if (wall_mm > 0)
            vbus.camera(k).set_renderer(sensor.wall(static_cast<double>(wall_mm)));
        if (calibration) vbus.camera(k).set_calibration_package(package, 1);
        if (recorded) lumox::vcam::Playback::attach(recorded, vbus.camera(k));
    }

    const pid_t child = fork();
    if (child < 0) {
        std::perror("lumox-vcam: fork");
        return 127;
    }
    if (child == 0) {
        execvp(argv[i], argv + i);
        std::fprintf(stderr, "lumox-vcam: cannot run %s: %s\n", argv[i], std::strerror(errno));
        _exit(127);
    }
    std::signal(SIGINT, SIG_IGN);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return 127;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}
