// lumox record: a camera's stream into a recording (recording/): every raw frame as
// captured, with what it takes to decode it again without the camera. Ctrl-C ends the recording
// after the frame in hand; the file is then complete and holds every frame received.

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "capture_loop.h"
#include "command.h"
#include "exposure.h"
#include "filters.h"
#include "reconnect.h"
#include "record_pipeline.h"
#include "recorder.h"
#include "session.h"
#include "writers.h"

namespace lumox_cli {

namespace rec = lumox::recording;

namespace {

constexpr uint32_t kParamsRecorded[] = {
    LUMOX_PARAM_MODE,       LUMOX_PARAM_ID2,       LUMOX_PARAM_PRODUCT,     LUMOX_PARAM_ID5,
    LUMOX_PARAM_ID6,        LUMOX_PARAM_CHIP_INFO, LUMOX_PARAM_CALIB_INFO,  LUMOX_PARAM_OP_MODE,
    LUMOX_PARAM_FRAME_RATE, LUMOX_PARAM_INTG_TIME, LUMOX_PARAM_TEMPERATURE, LUMOX_PARAM_ID17};
constexpr uint8_t kModeDataUpload = 9;
constexpr uint32_t kPackageBuffer = 12288000;  // the frame buffer the driver uses for it
constexpr uint32_t kMaxPackage = 64u << 20;
constexpr uint32_t kBufferedFrames = 30;  // the library's frame buffer while recording

bool read_param(lumox_dev_t *dev, uint32_t id, lumox_param_item *item) {
    *item = lumox_param_item{};
    item->param_id = id;
    return lumox_param_batch_get(dev, item, 1) != 0;
}

bool set_mode(lumox_dev_t *dev, uint8_t mode) {
    lumox_param_item item{};
    item.param_id = LUMOX_PARAM_MODE;
    item.param_val_len = 1;
    item.param_val[0] = mode;
    return lumox_param_batch_set(dev, &item, 1) != 0;
}

uint32_t le32(const uint8_t *p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The calibration package as the camera serves it: in data-upload mode, one frame of the size
// that parameter 8 reports. Empty when the camera reports none.
bool fetch_package(lumox_dev_t *dev, rec::CalibrationRecord *cal, std::string *error) {
    if (!set_mode(dev, kModeDataUpload)) {
        *error = "the camera refused its data-upload mode";
        return false;
    }
    bool ok = true;
    lumox_param_item info{};
    if (!read_param(dev, LUMOX_PARAM_CALIB_INFO, &info)) {
        *error = "the camera did not report its calibration package";
        ok = false;
    } else if (info.param_val[0] == 1) {
        const uint32_t total = le32(info.param_val + 7);
        cal->package_version = le32(info.param_val + 3);
        std::vector<uint8_t> package(total);
        lumox_frame_info fi{};
        if (total == 0 || total > kMaxPackage) {
            *error =
                "the camera reports a calibration package of " + std::to_string(total) + " bytes";
            ok = false;
        } else if (!lumox_cap_set_frame_buffer(dev, nullptr, kPackageBuffer) ||
                   !lumox_cap_start(dev)) {
            *error = "the camera did not send its calibration package";
            ok = false;
        } else {
            const int32_t r = lumox_cap_get_frames(dev, 1, package.data(), total, &fi);
            lumox_cap_stop(dev);
            if (r != 1 || fi.frame_size != total) {
                *error = "the calibration package did not arrive whole";
                ok = false;
            } else {
                cal->package = std::move(package);
            }
        }
    }
    if (!set_mode(dev, 0) && ok) {
        *error = "the camera did not return to its normal mode";
        ok = false;
    }
    return ok;
}

bool read_whole(const std::string &path, std::vector<uint8_t> *bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

std::set<std::string> list_directory(const std::string &dir) {
    std::set<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

std::string calibration_directory() {
    std::string dir = lumox_path_get() ? lumox_path_get() : "";
    std::replace(dir.begin(), dir.end(), '\\', '/');
    if (dir.empty()) dir = "./";
    if (dir.back() != '/') dir += '/';
    return dir;
}

// The lens record in force, for the lens's own image size (a 320 x 240 frame's binning gives
// it); false when the driver has none.
bool lens_in_force(lumox_dev_t *dev, lx_lens_param *lens) {
    lumox_intrinsics frame{}, full{};
    if (!lumox_dev_get_intrinsics(dev, 320, 240, &frame) ||
        !lumox_dev_get_intrinsics(dev, 320 * frame.binning_x, 240 * frame.binning_y, &full))
        return false;
    lens->cx = full.cx;
    lens->cy = full.cy;
    lens->fx = full.fx;
    lens->fy = full.fy;
    std::copy(full.d, full.d + 5, lens->dcoeff);
    lens->img_w = static_cast<int32_t>(full.width);
    lens->img_h = static_cast<int32_t>(full.height);
    return true;
}

bool describe_camera(lumox_dev_t *dev, const std::set<std::string> &files_before,
                     const std::vector<std::string> &filters, rec::Header *header,
                     std::string *error) {
    rec::Header &h = *header;
    h.library_version = LUMOX_VERSION;
    h.camera.product = record_field(dev->product, sizeof dev->product);
    h.camera.id2 = record_field(dev->id2, sizeof dev->id2);
    h.camera.bus = dev->bus;
    h.camera.port = dev->port;
    for (uint32_t id : kParamsRecorded) {
        lumox_param_item item{};
        if (!read_param(dev, id, &item)) continue;  // a camera without this parameter
        rec::ParamRecord r{};
        r[0] = static_cast<uint8_t>(id);
        r[1] = item.param_val_len;
        std::copy(item.param_val, item.param_val + LUMOX_PARAM_VAL_MAX, r.begin() + 2);
        h.camera.parameters.push_back(r);
        const size_t n = std::min<size_t>(item.param_val_len, LUMOX_PARAM_VAL_MAX);
        if (id == LUMOX_PARAM_ID5) h.camera.id5.assign(item.param_val, item.param_val + n);
        if (id == LUMOX_PARAM_ID6) h.camera.id6.assign(item.param_val, item.param_val + n);
        if (id == LUMOX_PARAM_FRAME_RATE && n >= 4) h.capture.frame_rate = le32(item.param_val);
        if (id == LUMOX_PARAM_INTG_TIME && n >= 2)
            h.capture.integration_time = item.param_val[0] | (item.param_val[1] << 8);
    }
    h.capture.filters = filters;

    lumox_drv *drv = lumox_dev_get_drv(dev);
    const bool epc = drv && drv->ops == &g_lumox_driver_op_epc;
    if (epc) {
        h.capture.modulation_khz = static_cast<uint32_t>(configGetModulationFrequency());
        char images[300] = {};
        char params[300] = {};
        calibrationGetDistanceImagesName(images);
        calibrationGetParamName(params);
        const std::string dir = calibration_directory();
        // The lens file too, when there is one: the lens record below is what it made of it.
        for (const char *name : {static_cast<const char *>(params),
                                 static_cast<const char *>(images), "lens_param.txt"}) {
            rec::CalibrationFile f;
            f.name = name;
            if (!f.name.empty() && read_whole(dir + f.name, &f.bytes))
                h.calibration.files.push_back(std::move(f));
        }
        h.calibration.fetched_at_open = files_before.count(images) == 0;
        h.calibration.has_lens = lens_in_force(dev, &h.calibration.lens);
    }
    // Only the EPC driver's cameras keep a calibration package.
    return !epc || fetch_package(dev, &h.calibration, error);
}

int cmd_record(const Args &args) {
    const std::string path = args.operands.at(0);
    if (args.has("--frames") == args.has("--seconds"))
        throw UsageError("record needs --frames N or --seconds S");
    CaptureSettings settings;
    settings.frames = option_int(args, "--frames", 1, 100000000, 100000000);
    const long long seconds = option_int(args, "--seconds", 1, 1000000, 0);
    const int compression = static_cast<int>(option_int(args, "--compress", 0, 9, 0));
    const std::vector<std::string> filter_texts = args.values("--filter");
    std::vector<FilterSetting> filters;
    for (const std::string &f : filter_texts) filters.push_back(parse_filter(f));
    std::string calib_dir = args.value("--calib");
    if (!calib_dir.empty()) {
        if (calib_dir.back() != '/') calib_dir += '/';
        if (const std::string why = make_dirs(calib_dir); !why.empty())
            return fail("cannot use the calibration directory: %s", why.c_str());
    }

    const Exposure exposure = parse_exposure(args);
    Session session(args);
    if (!calib_dir.empty()) lumox_path_cfg(calib_dir.c_str());
    session.use_cached_calibration();
    const std::set<std::string> files_before = list_directory(calibration_directory());
    lumox_dev_t *dev = session.open();
    if (!dev) return kExitFailure;
    if (!apply_exposure(dev, exposure)) return kExitFailure;
    for (size_t i = 0; i < filters.size(); ++i)
        if (!apply_filter(dev, filters[i], filter_texts[i])) return kExitFailure;

    rec::Header header;
    std::string error;
    if (!describe_camera(dev, files_before, filter_texts, &header, &error))
        return fail("%s", error.c_str());
    auto writer = rec::Writer::create(path, header, compression, &error);
    if (!writer) return fail("%s", error.c_str());

    // Compressing runs beside the capture, on every core but one (at least two workers), with
    // room for a second of frames at the camera's rate.
    const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
    RecordPipeline pipeline(*writer, compression, cores - 1,
                            std::clamp<size_t>(header.capture.frame_rate, 8, 60),
                            [](const rec::FrameMeta &meta, uint64_t number) {
                                std::printf("frame %6llu  index %5u  %u bytes\n",
                                            static_cast<unsigned long long>(number),
                                            meta.info.frame_idx, meta.info.frame_size);
                                std::fflush(stdout);
                            });
    settings.buffered_frames = kBufferedFrames;
    const StopOnSignal interrupt;
    Reconnector reconnector(args);
    reconnector.watch(dev);
    const auto start = std::chrono::steady_clock::now();
    settings.stop = [&] {
        return StopOnSignal::requested() ||
               (seconds > 0 &&
                std::chrono::steady_clock::now() - start >= std::chrono::seconds(seconds));
    };
    const long wanted = settings.frames;
    long done = 0;  // frames recorded before the current stretch of the stream
    bool refused = false;
    const FrameSink sink = [&](const CapturedFrame &frame) {
        refused = true;  // until the frame is written
        if (frame.size < frame.info.frame_size) {
            fail("frame %u of %u bytes does not fit the capture buffer", frame.info.frame_idx,
                 frame.info.frame_size);
            return false;
        }
        rec::FrameMeta meta;
        meta.info = frame.info;
        lumox_cap_get_raw_info(dev, &meta.raw);
        meta.host_monotonic_ns = nanoseconds(frame.arrival);
        meta.host_wall_ns = nanoseconds(frame.wall);
        if (!pipeline.push(meta, frame.data, frame.size)) return false;  // said at the end
        refused = false;
        return true;
    };
    // An unplug ends a stretch of the stream. With --reconnect-timeout the same camera (by its
    // serial) is awaited, reopened with the same filters, and its frames go on into the same
    // file: the header still describes it, and the host times of the frames show the gap.
    CaptureSummary summary;
    uint64_t overflowed = 0;  // frames the library's buffer had no room for
    for (;;) {
        settings.frames = wanted - done;
        summary = run_capture(dev, settings, sink);
        done += summary.frames;
        overflowed += summary.stats.frames_overflowed;
        if (!summary.failed || refused || !reconnector.reconnect(dev, settings.stop)) break;
        bool applied = true;
        for (size_t i = 0; i < filters.size() && applied; ++i)
            applied = apply_filter(dev, filters[i], filter_texts[i]);
        if (applied) applied = apply_exposure(dev, exposure);
        if (!applied) break;
        std::printf("reconnected        camera %s after %.1f s; recording on into %s\n",
                    reconnector.serial().c_str(), reconnector.gap_seconds(), path.c_str());
        std::fflush(stdout);
    }
    const bool written = pipeline.finish();
    if (!written) fail("%s", pipeline.error().c_str());
    summary.frames = static_cast<long>(pipeline.written());
    if (!writer->close(&error)) return fail("%s", error.c_str());
    if (summary.stopped && StopOnSignal::requested())
        std::printf("interrupted        after %ld frames\n", summary.frames);
    print_capture_summary(summary);
    std::printf("recorded           %ld frames to %s\n", summary.frames, path.c_str());
    if (overflowed > 0) {
        fail(
            "%llu frames were lost: the recording did not keep up with the camera (try a lower "
            "--compress level or --frame-rate)",
            static_cast<unsigned long long>(overflowed));
        return kExitFailure;
    }
    return summary.failed || !written ? kExitFailure : kExitOk;
}

}  // namespace lumox_cli
