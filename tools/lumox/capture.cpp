// lumox capture: raw frames, optionally written to a directory with a table of them. Ctrl-C ends
// the capture after the frame in hand; the table then lists every frame written.

#include <cstdio>

#include "capture_loop.h"
#include "command.h"
#include "exposure.h"
#include "correction.h"
#include "session.h"
#include "writers.h"

namespace lumox_cli {

int cmd_capture(const Args &args) {
    CaptureSettings settings;
    settings.frames = required_int(args, "--frames", 1, 100000000);
    const std::string out = args.value("--out");
    if (!out.empty()) {
        if (const std::string why = make_dirs(out); !why.empty())
            return fail("cannot use the output directory: %s", why.c_str());
    }
    OutputFile csv;
    if (!out.empty()) {
        if (!csv.open(out + "/frames.csv") ||
            !csv.print("file,index,size,format,width,height,pixel_bytes,temp_sensor_c,"
                       "temp_board_c,host_monotonic_ns,host_wall_ns\n"))
            return fail("cannot write %s", csv.error().c_str());
    }
    const Exposure exposure = parse_exposure(args);
    Session session(args);
    if (!use_calibration_dir(args.value("--calib"))) return kExitFailure;
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    if (!apply_exposure(dev, exposure)) return kExitFailure;

    const StopOnSignal interrupt;
    settings.stop = StopOnSignal::requested;
    long undescribed = 0;  // frames handed out without a description: nothing to write
    const CaptureSummary summary = run_capture(dev, settings, [&](const CapturedFrame &frame) {
        const lumox_frame_info &info = frame.info;
        if (info.frame_size == 0 || info.width == 0 || info.height == 0) {
            ++undescribed;
            std::printf("frame %5ld  the library gave no description of it: not written\n",
                        frame.number);
            return true;
        }
        lx_raw_frame_info raw{};
        lumox_cap_get_raw_info(dev, &raw);
        const double t_sensor = raw.temp_sensor / 10.0;
        const double t_board = raw.temp_ib / 10.0;
        std::printf("frame %5u  size %8u  fmt %3u  %ux%u  sensor %5.1f C  board %5.1f C\n",
                    info.frame_idx, info.frame_size, info.frame_format, info.width, info.height,
                    t_sensor, t_board);
        if (out.empty()) return true;
        char name[32];
        std::snprintf(name, sizeof name, "frame_%05ld.raw", frame.number);
        std::string error;
        if (!write_raw(out + "/" + name, frame.data, frame.size, &error)) {
            fail("cannot write %s", error.c_str());
            return false;
        }
        if (!csv.print("%s,%u,%u,%u,%u,%u,%u,%.1f,%.1f,%lld,%lld\n", name, info.frame_idx,
                       info.frame_size, info.frame_format, info.width, info.height,
                       info.pixel_bytes, t_sensor, t_board, nanoseconds(frame.arrival),
                       nanoseconds(frame.wall))) {
            fail("cannot write %s", csv.error().c_str());
            return false;
        }
        return true;
    });
    int status = summary.failed ? kExitFailure : kExitOk;
    if (!out.empty() && !csv.commit()) {
        fail("cannot write %s", csv.error().c_str());
        status = kExitFailure;
    }
    if (summary.stopped) std::printf("interrupted        after %ld frames\n", summary.frames);
    print_capture_summary(summary);
    if (undescribed > 0) {
        fail("%ld of %ld frames came without a description and were not written", undescribed,
             summary.frames);
        status = kExitFailure;
    }
    if (!out.empty() && status == kExitOk) std::printf("written to         %s\n", out.c_str());
    return status;
}

}  // namespace lumox_cli
