#include "command.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace lumox_cli {

namespace {

constexpr OptionSpec kOptions[] = {
    {"--device", OptionSpec::kValue, "BUS:PORT",
     "use the camera at this bus and port (default: the first)"},
    {"--serial", OptionSpec::kValue, "TEXT",
     "use the camera with this serial (as lumox list shows it)"},
    {"--log", OptionSpec::kValue, "FILE", "write the library's log to FILE (default: no log file)"},
    {"--help", OptionSpec::kSwitch, nullptr, "this text"},
    // Alone it asks for the tool's version; followed by a number it is an image version.
    {"--version", OptionSpec::kOptionalNumber, "V",
     "the tool's version; with V, the version of a firmware\nor data image (0-65535)"},
    {"--frames", OptionSpec::kValue, "N", "frames to capture (1-100000000)"},
    {"--out", OptionSpec::kValue, "DIR", "output directory (created when missing)"},
    {"--calib", OptionSpec::kValue, "DIR",
     "calibration directory (default: the camera's own under\n$XDG_CACHE_HOME/lumox/, "
     "~/.cache/lumox/)"},
    {"--filter", OptionSpec::kValue, "ID=VALUE|on|off", "switch a processing step (repeatable)"},
    {"--type", OptionSpec::kValue, "T", "type of a firmware or data image (0-255)"},
    {"--seconds", OptionSpec::kValue, "S", "seconds to record (1-1000000)"},
    {"--compress", OptionSpec::kValue, "LEVEL",
     "lossless compression of recorded frames (deflate 0-9,\ndefault 0: none)"},
    {"--to", OptionSpec::kValue, "png16|png|ply|csv|lx", "what convert writes"},
    {"--range", OptionSpec::kValue, "MIN:MAX", "distances in mm the colours span (default 0:5000)"},
    {"--keep-codes", OptionSpec::kSwitch, nullptr,
     "16-bit PNG keeps the no-distance codes 65300, 65400 and\n65500 (default: 0)"},
    {"--organised", OptionSpec::kSwitch, nullptr,
     "PLY with one vertex per pixel in image order (NaN where\nno distance)"},
    {"--port", OptionSpec::kValue, "N", "port the viewer listens on (default 8080; 0: any free)"},
    {"--bind", OptionSpec::kValue, "ADDR",
     "address the viewer listens on (default 127.0.0.1: this\nmachine only)"},
    {"--play", OptionSpec::kValue, "FILE", "show a recording instead of a camera"},
    {"--reconnect-timeout", OptionSpec::kValue, "S",
     "after an unplug, wait up to S seconds for the same camera\n(by serial) and go on (0-86400, "
     "default 0: end)"},
    {"--watch", OptionSpec::kSwitch, nullptr,
     "after the cameras attached, one line per camera plugged\nin or pulled out, until Ctrl-C"},
    {"--namespace", OptionSpec::kValue, "NS",
     "ROS namespace of the topics (default /lumox/SERIAL)"},
    {"--frame-id", OptionSpec::kValue, "ID",
     "frame id of the messages (default NS_optical_frame,\nslashes as _)"},
    {"--qos", OptionSpec::kValue, "reliable|sensor-data",
     "reliable (default; what RViz2 subscribes with) or\nbest effort"},
    {"--domain", OptionSpec::kValue, "N", "DDS domain 0-232 (default: ROS_DOMAIN_ID, else 0)"},
    {"--depth-encoding", OptionSpec::kValue, "16UC1|32FC1",
     "depth image in millimetres (default) or metres"},
    {"--points", OptionSpec::kValue, "organized|dense|off",
     "point cloud with one point per pixel (default), only\nthe points, or none"},
    {"--integration-time", OptionSpec::kValue, "US",
     "integration time for this run, microseconds (1-65535;\ndefault: the camera's)"},
    {"--frame-rate", OptionSpec::kValue, "N",
     "frame rate for this run (1-1000; default: the camera's)"},
};
constexpr const char *kGlobalOptions[] = {"--device", "--serial", "--log", "--help", "--version"};

constexpr Command kCommands[] = {
    {"list", cmd_list, "[--watch]", "list the cameras attached; --watch: and follow them",
     "--watch", 0, 0},
    {"info", cmd_info, "[--calib DIR]",
     "identity, driver and parameters of a camera, whether it\nis calibrated and the correction a "
     "decode uses",
     "--calib", 0, 0},
    {"capture", cmd_capture, "--frames N [--out DIR] [--calib DIR] [--integration-time US]",
     "capture N raw frames (written to DIR with frames.csv);\n"
     "--integration-time and --frame-rate set the exposure\n"
     "for this run (every streaming command takes them)",
     "--frames --out --calib --integration-time --frame-rate", 0, 0},
    {"depth", cmd_depth,
     "--frames N [--out DIR] [--calib DIR] [--range MIN:MAX] [--filter ID=VALUE|on|off]...",
     "capture N frames and decode them into distances; with\n"
     "--out, all distances (distance.lx), and of the last frame\n"
     "a colour image (distance.png), the gray image (gray.lx,\n"
     "gray.png) and the point cloud (points.ply); --calib: the\n"
     "calibration directory (default the camera's own in\n"
     "~/.cache/lumox/; the per-pixel correction is used whenever\n"
     "its files are there); --range:\n"
     "the colour range in mm; --filter switches a processing\n"
     "step (ids: 0 undistort, 1 DRNU, 2 depth smoothing,\n"
     "4 minimum amplitude, 5 auto integration, 6 sum check,\n"
     "7 temperature monitor, 8 HDR)",
     "--frames --out --calib --range --filter --integration-time --frame-rate", 0, 0},
    {"record", cmd_record,
     "FILE (--frames N | --seconds S) [--calib DIR] [--filter ...] [--compress LEVEL] "
     "[--reconnect-timeout S]",
     "record raw frames with the camera's identity, parameters,\n"
     "calibration and host times into FILE (HDF5); Ctrl-C ends\n"
     "the recording and keeps every frame received; after a\n"
     "reconnect the frames go on into the same FILE",
     "--frames --seconds --calib --filter --compress --integration-time --frame-rate "
     "--reconnect-timeout",
     1, 1},
    {"convert", cmd_convert,
     "FILE --to png16|png|ply|csv|lx [--frames A:B] [--filter ...] [--range MIN:MAX] [--out DIR]",
     "decode a recording without the camera: png16 16-bit\n"
     "millimetres and amplitudes, png colour and gray, ply\n"
     "points with colour and amplitude, csv a table of the\n"
     "frames, lx frame files; --frames A:B the frames A to B-1;\n"
     "--out default FILE_converted/",
     "--to --frames --filter --range --out --keep-codes --organised", 1, 1},
    {"param get", cmd_param_get, "ID|NAME", "read a parameter", "", 1, 1},
    {"param set", cmd_param_set, "ID|NAME VALUE [LEN]",
     "write a parameter the camera has (VALUE little-endian,\nLEN 1-4 bytes, default: the length "
     "it reports)",
     "", 2, 3},
    {"reg read", cmd_reg_read, "TARGET ADDR [COUNT]", "read registers", "", 2, 3},
    {"reg write", cmd_reg_write, "TARGET ADDR VALUE...", "write registers from ADDR on", "", 3, -1},
    {"firmware upgrade", cmd_firmware_upgrade, "FILE --type T --version V",
     "write a firmware image (only a newer version is taken;\n"
     "types 0 and 1 reset the camera and wait 20 s, 2 and 3\n"
     "wait 7 s)",
     "--type", 1, 1},
    {"data download", cmd_data_download, "FILE --type T --version V",
     "write a data image into the camera's flash", "--type", 1, 1},
    {"data upload", cmd_data_upload, "FILE --type T", "read the camera's image of type T into FILE",
     "--type", 1, 1},
    {"calib fetch", cmd_calib_fetch, "DIR", "download and unpack the camera's calibration into DIR",
     "", 1, 1},
    {"calib show", cmd_calib_show, "DIR", "what the calibration files in DIR hold", "", 1, 1},
    {"cmap", cmd_cmap, "[MIN_MM MAX_MM [STEPS]]", "print the distance colour ramp as 24-bit colour",
     "", 0, 3},
    {"atan2", cmd_atan2, "Y X", "phase angle of (X, Y), 30000 units per turn", "", 2, 2},
    {"view", cmd_view,
     "[--port N] [--bind ADDR] [--calib DIR] [--out DIR] [--play FILE] [--reconnect-timeout S]",
     "live viewer in the browser: distance, gray and point\n"
     "cloud, statistics and the camera's controls, served\n"
     "at http://127.0.0.1:8080/ until Ctrl-C; --play shows a\n"
     "recording in a loop through the virtual camera\n"
     "(lumox-vcam); the record button writes recordings\n"
     "(as lumox record does) into --out DIR (default .)",
     "--port --bind --calib --out --play --integration-time --frame-rate --reconnect-timeout", 0,
     0},
    {"publish", cmd_publish,
     "[--namespace NS] [--frame-id ID] [--qos reliable|sensor-data] [--domain N] "
     "[--depth-encoding 16UC1|32FC1] [--points organized|dense|off] [--calib DIR] "
     "[--filter ...] [--integration-time US] [--frame-rate N] [--reconnect-timeout S]",
     "publish the camera as ROS 2 topics over DDS until\n"
     "Ctrl-C: NS/depth/image_raw, NS/depth/camera_info,\n"
     "NS/amplitude/image_raw, NS/points, /diagnostics and\n"
     "/tf_static; no ROS installation needed",
     "--namespace --frame-id --qos --domain --depth-encoding --points --calib --filter "
     "--integration-time --frame-rate --reconnect-timeout",
     0, 0},
};

}  // namespace

std::span<const Command> commands() { return kCommands; }
std::span<const OptionSpec> options() { return kOptions; }

bool is_global_option(std::string_view name) {
    for (const char *g : kGlobalOptions)
        if (name == g) return true;
    return false;
}

std::string help_text() {
    std::string out = "usage: lumox [OPTIONS] COMMAND [ARGS]\ncommands:\n";
    for (const Command &c : kCommands)
        lumox_cmdline::append_help_entry(
            &out, std::string(c.name) + (*c.usage ? " " : "") + c.usage, c.help);
    return out + "options:\n" + lumox_cmdline::options_help(kOptions);
}

int fail(const char *fmt, ...) {
    std::fputs("lumox: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
    return kExitFailure;
}

}  // namespace lumox_cli
