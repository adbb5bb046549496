#include "view_stats.h"

#include <cstring>
#include <ctime>

#include "lumox/evk_api.h"
#include "view_controls.h"
#include "view_frames.h"
#include "view_json.h"

namespace lumox_cli {
namespace {

double process_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Parameters /stats reads from the camera.
struct Readings {
    lumox_param_item items[4] = {};
    bool read = false;
    const lumox_param_item &rate() const { return items[0]; }
    const lumox_param_item &intg_time() const { return items[1]; }
    const lumox_param_item &temperatures() const { return items[2]; }
    const lumox_param_item &calib() const { return items[3]; }
};

Readings read_camera(lumox_dev_t *dev, bool present) {
    Readings r;
    r.items[0].param_id = LUMOX_PARAM_FRAME_RATE;
    r.items[1].param_id = LUMOX_PARAM_INTG_TIME;
    r.items[2].param_id = LUMOX_PARAM_TEMPERATURE;
    r.items[3].param_id = LUMOX_PARAM_CALIB_INFO;
    r.read = present && lumox_param_batch_get(dev, r.items, 4) != 0;
    return r;
}

// A little-endian field of a parameter value; bytes beyond the value read as zero.
uint32_t le(const lumox_param_item &it, size_t at, size_t bytes) {
    uint32_t v = 0;
    for (size_t i = 0; i < bytes && at + i < it.param_val_len && at + i < LUMOX_PARAM_VAL_MAX; ++i)
        v |= static_cast<uint32_t>(it.param_val[at + i]) << (8 * i);
    return v;
}

double frames_per_second(const ViewCounters &c) {
    if (c.arrivals.size() < 2 || wall_ms() - c.arrivals.back() >= 2000) return 0;
    return static_cast<double>(c.arrivals.size() - 1) /
           ((c.arrivals.back() - c.arrivals.front()) / 1000.0);
}

void write_counters(Json &j, const ViewCounters &c, const StatsSources &src) {
    j.boolean("capturing", src.capturing).num("frames", static_cast<double>(c.frames));
    j.num("fps", frames_per_second(c)).num("width", c.width).num("height", c.height);
    j.num("capture_starts", static_cast<double>(c.capture_starts));
    j.num("cpu_ms_per_frame", c.cpu_ms_per_frame).num("decode_ms", c.decode_ms);
    j.begin("lost");
    j.num("discarded", c.stream.frames_discarded).num("overflowed", c.stream.frames_overflowed);
    j.num("bytes_dropped", c.stream.bytes_dropped);
    j.num("index_gaps", static_cast<double>(c.index_gaps));
    j.num("empty_polls", static_cast<double>(c.empty_polls));
    j.end();
    j.begin("stream").num("received", c.stream.frames_received);
    j.num("queued", c.stream.frames_queued).num("ready", c.stream.frames_ready).end();
    j.begin("errors", '[');
    for (const auto &[code, count] : c.errors) {
        j.begin().str("name", lumox_error_name(code)).str("why", capture_error_text(code));
        j.num("count", static_cast<double>(count)).end();
    }
    j.end(']').str("last_error", c.last_error);
    j.begin("recording").boolean("available", src.recorder_available);
    j.boolean("active", c.recording).str("path", c.record_path);
    j.num("frames", static_cast<double>(c.recorded)).str("error", c.record_error).end();
    j.begin("server").num("connections", static_cast<double>(src.connections));
    j.num("frame_waiters", static_cast<double>(src.frame_waiters));
    j.num("ray_requests", static_cast<double>(src.ray_requests)).end();
}

// The temperatures of the frames and those the camera reports.
void write_temperatures(Json &j, const ViewCounters &c, const Readings &r) {
    j.begin("temperature").num("sensor", c.temp_sensor / 10.0).num("board", c.temp_board / 10.0);
    j.begin("readings", '[');
    if (r.read) {
        const lumox_param_item &t = r.temperatures();
        for (size_t k = 0; k + 1 < t.param_val_len && k + 1 < LUMOX_PARAM_VAL_MAX; k += 2)
            j.num(nullptr, static_cast<int16_t>(le(t, k, 2)) / 10.0);
    }
    j.end(']').end();
}

// The modulation clock as the sensor holds it: divider (register 133) and the control word that
// tells 36 MHz from the divided clock (register 128).
void write_modulation(Json &j, lumox_dev_t *dev) {
    uint32_t regs[6] = {};
    const bool regs_read = lumox_reg_batch_read(dev, 1, 128, regs, 6) != 0;
    j.num("modulation_khz", configGetModulationFrequency());
    j.num("modulation_index", configGetModFreqMode());
    if (regs_read) j.num("modulation_divider", regs[5] & 0x1F).num("modulation_control", regs[0]);
    j.begin("modulation_choices", '[');
    const uint16_t *freqs = apiGetModulationFrequencies();
    const int count = configGetModFreqCount();
    for (int i = 0; freqs && i < count; ++i) j.num(nullptr, freqs[i]);
    j.end(']');
}

void write_settings(Json &j, lumox_dev_t *dev, bool present, const Readings &r) {
    j.begin("settings");
    if (r.read) {
        j.num("frame_rate", le(r.rate(), 0, 4)).num("integration_time", le(r.intg_time(), 0, 2));
    } else {
        j.null("frame_rate").null("integration_time");
    }
    if (present && g_lx_dev == dev) write_modulation(j, dev);
    j.end();
}

void write_calibration(Json &j, const StatsSources &src, bool present, const Readings &r) {
    j.begin("calibration");
    if (r.read) {
        j.boolean("camera_valid", r.calib().param_val[0] == 1);
        j.num("camera_version", le(r.calib(), 3, 4)).num("camera_size", le(r.calib(), 7, 4));
    }
    j.str("path", src.dev->calib_path ? src.dev->calib_path : "");
    lumox_correction_state c{};
    if (present && lumox_dev_get_correction(src.dev, &c)) {
        static const char *const kKinds[] = {"default", "linear", "host", "firmware"};
        j.str("correction", kKinds[c.correction >= 0 && c.correction <= 3 ? c.correction : 0]);
        j.str("reason", c.reason);
        j.boolean("files", c.files_present).boolean("files_match", c.files_match);
        j.boolean("drnu", c.correction == LUMOX_CORRECTION_HOST ||
                              c.correction == LUMOX_CORRECTION_FIRMWARE);
    } else {
        j.boolean("drnu", src.controls->in_force(FILTER_DRNU));
    }
    j.boolean("undistort", src.controls->in_force(FILTER_LENS_UNDISTORT));
    j.end();
}

void write_camera(Json &j, const StatsSources &src, const ViewCounters &c, bool present) {
    const lumox_dev_t *dev = src.dev;
    const lumox_drv *drv = present ? lumox_dev_get_drv(src.dev) : nullptr;
    j.begin("camera").str("product", std::string(dev->product, strnlen(dev->product, 32)));
    j.str("driver", drv && drv->name ? drv->name : "-");
    j.str("location", std::to_string(dev->bus) + ":" + std::to_string(dev->port));
    j.str("recording", *src.recording);
    j.str("state", c.camera_state)
        .str("serial", std::string(dev->id2, strnlen(dev->id2, sizeof dev->id2)));
    j.num("reconnects", static_cast<double>(c.reconnects));
    j.num("last_gap_s", c.last_gap_s);
    j.end();
}

}  // namespace

const char *capture_error_text(int32_t code) {
    switch (code) {
        case LUMOX_ERR_CAP_FRAME_DISCARD:
            return "incomplete frames discarded (order, checksum or lost headers)";
        case LUMOX_ERR_CAP_TIMEOUT:
            return "transfer time-outs";
        case LUMOX_ERR_CAP_STALL:
            return "endpoint stalls";
        case LUMOX_ERR_CAP_ERROR:
            return "transfer errors";
        default:
            return "unknown capture error";
    }
}

ViewStats::ViewStats() : window_cpu_ms_(process_cpu_ms()), window_start_ms_(wall_ms()) {}

void ViewStats::note_error(const std::string &text, int32_t code) {
    std::lock_guard lock(mutex_);
    ++c_.errors[code];
    c_.last_error = text;
}

void ViewStats::note_empty_poll() {
    std::lock_guard lock(mutex_);
    ++c_.empty_polls;
}

void ViewStats::note_capture_start() {
    std::lock_guard lock(mutex_);
    ++c_.capture_starts;
    c_.arrivals.clear();
    last_index_ = -1;
}

void ViewStats::note_frame(const lumox_frame_info &info, const lx_raw_frame_info &raw,
                           const lumox_cap_stats &stream, double arrival_ms, uint32_t decode_us) {
    std::lock_guard lock(mutex_);
    ++window_frames_;
    window_decode_ms_ += decode_us / 1000.0;
    ++c_.frames;
    if (last_index_ >= 0) {
        const int gap = (info.frame_idx - last_index_ - 1) & 0xFFFF;
        if (gap < 1000) c_.index_gaps += static_cast<uint64_t>(gap);
    }
    last_index_ = info.frame_idx;
    c_.arrivals.push_back(arrival_ms);
    while (c_.arrivals.size() > 2 && arrival_ms - c_.arrivals.front() > 2000)
        c_.arrivals.pop_front();
    c_.temp_sensor = raw.temp_sensor;
    c_.temp_board = raw.temp_ib;
    c_.width = info.width;
    c_.height = info.height;
    c_.stream = stream;
    if (arrival_ms - window_start_ms_ >= 2000) {
        const double cpu = process_cpu_ms();
        c_.cpu_ms_per_frame = (cpu - window_cpu_ms_) / static_cast<double>(window_frames_);
        c_.decode_ms = window_decode_ms_ / static_cast<double>(window_frames_);
        window_cpu_ms_ = cpu;
        window_frames_ = 0;
        window_decode_ms_ = 0;
        window_start_ms_ = arrival_ms;
    }
}

void ViewStats::note_camera_state(const char *state) {
    std::lock_guard lock(mutex_);
    c_.camera_state = state;
}

void ViewStats::note_reconnected(double gap_s) {
    std::lock_guard lock(mutex_);
    c_.camera_state = "connected";
    ++c_.reconnects;
    c_.last_gap_s = gap_s;
}

void ViewStats::note_record_started(const std::string &path) {
    std::lock_guard lock(mutex_);
    c_.recording = true;
    c_.record_error.clear();
    c_.record_path = path;
    c_.recorded = 0;
}

void ViewStats::note_record_failed(const std::string &why) {
    std::lock_guard lock(mutex_);
    c_.recording = false;
    c_.record_error = why;
}

void ViewStats::note_record_stopped(const std::string &error) { note_record_failed(error); }

void ViewStats::note_recorded_frame() {
    std::lock_guard lock(mutex_);
    ++c_.recorded;
}

bool ViewStats::camera_present() const {
    std::lock_guard lock(mutex_);
    return c_.camera_state == "connected";
}

ViewCounters ViewStats::snapshot() const {
    std::lock_guard lock(mutex_);
    return c_;
}

std::string stats_json(const ViewStats &stats, const StatsSources &src) {
    const ViewCounters c = stats.snapshot();
    const bool present = c.camera_state == "connected";  // an absent camera is not asked
    Json j;
    j.begin();
    write_counters(j, c, src);
    std::lock_guard lock(*src.dev_mutex);
    const Readings readings = read_camera(src.dev, present);
    write_temperatures(j, c, readings);
    write_settings(j, src.dev, present, readings);
    src.controls->write_filters(j);
    write_calibration(j, src, present, readings);
    write_camera(j, src, c, present);
    return j.end().text();
}

}  // namespace lumox_cli
