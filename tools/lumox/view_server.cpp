#include "view_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>

#include <httplib.h>

#include "lumox/evk_api.h"
#include "view_assets.h"

namespace lumox_cli {
namespace {

constexpr uint32_t kPaletteSteps = 1024;
constexpr auto kFrameWait = std::chrono::seconds(2);
constexpr auto kRestartDelay = std::chrono::seconds(1);

double wall_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
}

double process_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

bool parse_long(const std::string &text, long long *value) {
    if (text.empty()) return false;
    char *end = nullptr;
    errno = 0;
    *value = std::strtoll(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0';
}

// Output-only JSON: objects and arrays of numbers, booleans and strings.
class Json {
  public:
    Json &begin(const char *key = nullptr, char bracket = '{') {
        sep(key);
        out_ += bracket;
        first_ = true;
        return *this;
    }
    Json &end(char bracket = '}') {
        out_ += bracket;
        first_ = false;
        return *this;
    }
    Json &num(const char *key, double v) {
        sep(key);
        if (!std::isfinite(v)) {
            out_ += "null";
        } else {
            char cell[32];
            std::snprintf(cell, sizeof cell, "%.10g", v);
            out_ += cell;
        }
        return *this;
    }
    Json &boolean(const char *key, bool v) {
        sep(key);
        out_ += v ? "true" : "false";
        return *this;
    }
    Json &null(const char *key) {
        sep(key);
        out_ += "null";
        return *this;
    }
    Json &str(const char *key, const std::string &v) {
        sep(key);
        quote(v);
        return *this;
    }
    const std::string &text() const { return out_; }

  private:
    void sep(const char *key) {
        if (!first_) out_ += ',';
        first_ = false;
        if (key) {
            quote(key);
            out_ += ':';
        }
    }
    void quote(const std::string &v) {
        out_ += '"';
        for (const char c : v) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                out_ += '\\';
                out_ += c;
            } else if (u < 0x20) {
                char cell[8];
                std::snprintf(cell, sizeof cell, "\\u%04x", u);
                out_ += cell;
            } else {
                out_ += c;
            }
        }
        out_ += '"';
    }
    std::string out_;
    bool first_ = true;
};

// The sensor driver's processing steps the page can switch, with the size of their argument.
struct FilterSpec {
    uint32_t id;
    const char *name;
    uint32_t arg_size;  // 0: no argument, 1: u8, 2: u16
    long long default_value;
    long long max_value;
};
constexpr FilterSpec kFilters[] = {
    {FILTER_LENS_UNDISTORT, "lens undistortion", 0, 0, 0},
    {FILTER_DRNU, "DRNU calibration", 1, 1, 255},
    {FILTER_DEPTH_SMOOTH, "depth smoothing (size)", 1, 3, 255},
    {FILTER_MIN_AMPLITUDE, "minimum amplitude", 2, 50, 65535},
    {FILTER_AUTO_INTEGRATION, "auto integration (saturation per mille)", 2, 20, 1000},
    {FILTER_DCS_SUM_CHECK, "DCS sum check", 2, 100, 65535},
    {FILTER_TEMP_MONITOR, "temperature monitor", 2, 0, 65535},
    {FILTER_HDR, "HDR", 0, 0, 0},
};

struct FilterState {
    bool enabled = false;
    long long value = 0;
    bool touched = false;   // switched from the page since the viewer started
    bool accepted = false;  // the driver's answer to the last switch
};

// The capture error callback has no user pointer: the servers find themselves by device.
std::mutex g_servers_mutex;
std::map<const lumox_dev_t *, std::function<void(int32_t, uint32_t)>> g_error_sinks;

uint8_t on_capture_error(lumox_dev_t *dev, int32_t error, uint32_t arg) {
    std::lock_guard lock(g_servers_mutex);
    auto it = g_error_sinks.find(dev);
    if (it != g_error_sinks.end()) it->second(error, arg);
    return 1;  // keep capturing: the viewer shows the error and carries on
}

const char *error_text(int32_t code) {
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

}  // namespace

struct ViewServer::Impl {
    Impl(lumox_dev_t *d, ViewOptions o) : dev(d), options(std::move(o)) {
        for (const FilterSpec &f : kFilters) filters[f.id].value = f.default_value;
        // The best distance correction the camera and its calibration files allow.
        lumox_correction_state c{};
        if (lumox_dev_use_best_correction(dev, &c)) {
            FilterState &drnu = filters[FILTER_DRNU];
            drnu.enabled = drnu.accepted =
                c.correction == LUMOX_CORRECTION_HOST || c.correction == LUMOX_CORRECTION_FIRMWARE;
        }
    }

    lumox_dev_t *dev;
    ViewOptions options;
    httplib::Server http;
    int bound_port = 0;
    bool started = false;
    std::thread http_thread;
    std::atomic<bool> http_done{false};
    std::thread capture_thread;

    // Serialises every library call on the device except the capture thread's poll.
    std::mutex dev_mutex;
    std::map<uint32_t, FilterState> filters;  // under dev_mutex
    // Parameters the page set (under dev_mutex), set again when the camera is reopened.
    std::map<uint32_t, lumox_param_item> set_params;

    // Capture requests from the page, and the capture thread's state.
    std::mutex state_mutex;
    std::condition_variable state_cv;
    std::atomic<bool> quit{false};  // written under state_mutex, read by every waiter
    bool want_capture = true;
    bool restart = false;
    enum class RecordRequest { kNone, kStart, kStop } record_request = RecordRequest::kNone;
    std::atomic<bool> capturing{false};

    // The latest decoded frame.
    std::mutex frame_mutex;
    std::condition_variable frame_cv;
    std::shared_ptr<const std::string> latest;
    uint32_t latest_seq = 0;

    // Counters the capture thread keeps for /stats.
    struct Counters {
        uint64_t frames = 0;
        uint64_t index_gaps = 0;  // frames missing between consecutive indices
        uint64_t capture_starts = 0;
        uint64_t empty_polls = 0;  // polls that ended without a frame
        std::map<int32_t, uint64_t> errors;
        std::string last_error;
        std::deque<double> arrivals;  // the last two seconds
        double cpu_ms_per_frame = NAN;
        double decode_ms = NAN;
        int16_t temp_sensor = 0;
        int16_t temp_board = 0;
        uint32_t width = 0;
        uint32_t height = 0;
        lumox_cap_stats stream{};
        bool recording = false;
        std::string record_path;
        uint64_t recorded = 0;
        std::string record_error;
        std::string camera_state = "connected";  // connected, waiting, lost
        uint64_t reconnects = 0;
        double last_gap_s = 0;
    };
    std::mutex counters_mutex;
    Counters counters;

    bool start(std::string *error);
    void stop();
    void routes();
    void capture_loop();
    bool wait_state(std::chrono::milliseconds timeout);
    void publish(const lumox_frame_info &info, const lx_raw_frame_info &raw,
                 const std::vector<float> &dist, const std::vector<float> &gray, bool decoded,
                 double arrival, uint32_t decode_us);
    void note_error(const std::string &text, int32_t code);
    bool reconnect();
    void start_recording(std::unique_ptr<ViewRecorder> *recorder);
    void stop_recording(std::unique_ptr<ViewRecorder> *recorder, const std::string &why);

    std::string stats_json();
    std::string control(const std::string &name, const std::string &value, int *status);
    std::string rays(uint32_t w, uint32_t h);
    std::string palette_json();
};

bool ViewServer::Impl::start(std::string *error) {
    routes();
    // Each open browser connection holds a worker: a page keeps two or three.
    http.new_task_queue = [] { return new httplib::ThreadPool(16); };
    http.set_keep_alive_max_count(100000);
    http.set_keep_alive_timeout(2);
    http.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        // Frames are sent as soon as they are written; accepted sockets inherit this.
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    });
    if (options.port == 0) {
        bound_port = http.bind_to_any_port(options.bind);
    } else if (http.bind_to_port(options.bind, options.port)) {
        bound_port = options.port;
    }
    if (bound_port <= 0) {
        *error = "cannot listen on " + options.bind + ":" + std::to_string(options.port);
        return false;
    }
    {
        std::lock_guard lock(g_servers_mutex);
        g_error_sinks[dev] = [this](int32_t code, uint32_t arg) {
            note_error(std::string(error_text(code)) + " (" + lumox_error_name(code) + ", " +
                           std::to_string(arg) + ")",
                       code);
        };
    }
    lumox_cap_set_callback_on_error(dev, on_capture_error);
    capture_thread = std::thread([this] { capture_loop(); });
    http_thread = std::thread([this] {
        http.listen_after_bind();
        http_done = true;
    });
    started = true;
    return true;
}

void ViewServer::Impl::stop() {
    if (!started) return;
    {
        std::lock_guard lock(state_mutex);
        if (quit) return;
        quit = true;
    }
    state_cv.notify_all();
    {
        // Under the lock, so that no frame request misses the wake-up between check and wait.
        std::lock_guard lock(frame_mutex);
    }
    frame_cv.notify_all();
    {
        // A capture stopped under a waiting poll wakes it.
        std::lock_guard lock(dev_mutex);
        if (lumox_cap_is_ongoing(dev)) lumox_cap_stop(dev);
    }
    if (capture_thread.joinable()) capture_thread.join();
    // A stop that comes before the listening thread has entered its loop finds nothing to stop,
    // and the loop would then run for ever: wait until it runs (or has already given up).
    while (!http.is_running() && !http_done)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    http.stop();
    if (http_thread.joinable()) http_thread.join();
    lumox_cap_set_callback_on_error(dev, nullptr);
    std::lock_guard lock(g_servers_mutex);
    g_error_sinks.erase(dev);
}

void ViewServer::Impl::note_error(const std::string &text, int32_t code) {
    std::lock_guard lock(counters_mutex);
    ++counters.errors[code];
    counters.last_error = text;
}

// Waits until quit or a capture request, at most timeout. False on quit.
bool ViewServer::Impl::wait_state(std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_mutex);
    state_cv.wait_for(lock, timeout, [&] { return quit || restart; });
    return !quit;
}

void ViewServer::Impl::capture_loop() {
    std::vector<uint8_t> raw(8u << 20);
    std::vector<float> dist;
    std::vector<float> gray;
    int last_index = -1;
    double window_cpu = process_cpu_ms();
    uint64_t window_frames = 0;
    double window_decode_ms = 0;
    double window_start = wall_ms();
    std::unique_ptr<ViewRecorder> recorder;
    for (;;) {
        bool want = false;
        bool again = false;
        auto record = RecordRequest::kNone;
        {
            std::unique_lock lock(state_mutex);
            if (!capturing && !want_capture)
                state_cv.wait(lock, [&] {
                    return quit || want_capture || record_request != RecordRequest::kNone;
                });
            if (quit) break;
            want = want_capture;
            again = std::exchange(restart, false);
            record = std::exchange(record_request, RecordRequest::kNone);
        }
        if (record == RecordRequest::kStart && !recorder) start_recording(&recorder);
        if (record == RecordRequest::kStop && recorder) stop_recording(&recorder, "");
        if (capturing && (!want || again)) {
            std::lock_guard lock(dev_mutex);
            lumox_cap_stop(dev);
            capturing = false;
        }
        if (!capturing && want) {
            bool streaming = false;
            {
                std::lock_guard lock(dev_mutex);
                if (quit) break;
                streaming = lumox_cap_set_frame_buffer(
                                dev, nullptr, options.buffered_frames * LUMOX_FRAME_BUF_UNIT) &&
                            lumox_cap_start(dev);
            }
            if (!streaming) {
                note_error("the camera did not start streaming", LUMOX_ERR_CAP_UNKNOWN);
                if (!wait_state(kRestartDelay)) break;
                continue;
            }
            capturing = true;
            last_index = -1;
            std::lock_guard lock(counters_mutex);
            ++counters.capture_starts;
            counters.arrivals.clear();
        }
        if (!capturing) continue;

        lumox_frame_info info{};
        const int32_t r =
            lumox_cap_get_frames(dev, 1, raw.data(), static_cast<uint32_t>(raw.size()), &info);
        const double arrival = wall_ms();
        if (r == 0) {
            std::lock_guard lock(counters_mutex);
            ++counters.empty_polls;
            continue;
        }
        if (r < 0) {
            {
                std::lock_guard lock(state_mutex);
                if (quit) break;
            }
            if (r != LUMOX_CAP_NOT_CAPTURING)
                note_error(std::string("capture ended: ") + error_text(r) + " (" +
                               lumox_error_name(r) + ")",
                           r);
            {
                std::lock_guard lock(dev_mutex);
                lumox_cap_stop(dev);
                capturing = false;
            }
            if (r != LUMOX_CAP_NOT_CAPTURING && options.reconnect && reconnect()) continue;
            if (!wait_state(kRestartDelay)) break;
            continue;
        }

        lx_raw_frame_info rawinfo{};
        lumox_cap_stats stream{};
        bool decoded = false;
        const auto t0 = std::chrono::steady_clock::now();
        {
            std::lock_guard lock(dev_mutex);
            lumox_cap_get_raw_info(dev, &rawinfo);
            lumox_cap_get_stats(dev, &stream);
            const uint32_t n = info.width * info.height;
            const uint32_t len =
                std::min<uint32_t>(info.frame_size, static_cast<uint32_t>(raw.size()));
            if (n > 0 && n <= (1u << 22)) {
                dist.resize(n);
                gray.resize(n);
                decoded = lumox_frame_get_distance(dev, dist.data(), n, raw.data(), len, &info) > 0;
                if (decoded &&
                    lumox_frame_get_gray(dev, gray.data(), n, raw.data(), len, &info) <= 0)
                    std::fill(gray.begin(), gray.end(), 0.0f);
            }
        }
        const auto decode_us =
            static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                      std::chrono::steady_clock::now() - t0)
                                      .count());
        publish(info, rawinfo, dist, gray, decoded, arrival, decode_us);
        if (recorder) {
            std::string why;
            const auto size = std::min<size_t>(info.frame_size, raw.size());
            const auto wall_ns = static_cast<int64_t>(arrival * 1e6);
            const auto mono_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count();
            if (recorder->append(info, rawinfo, raw.data(), size, mono_ns, wall_ns, &why)) {
                std::lock_guard lock(counters_mutex);
                ++counters.recorded;
            } else {
                stop_recording(&recorder, why);
            }
        }

        ++window_frames;
        window_decode_ms += decode_us / 1000.0;
        std::lock_guard lock(counters_mutex);
        Counters &c = counters;
        ++c.frames;
        if (last_index >= 0) {
            const int gap = (info.frame_idx - last_index - 1) & 0xFFFF;
            if (gap < 1000) c.index_gaps += static_cast<uint64_t>(gap);
        }
        last_index = info.frame_idx;
        c.arrivals.push_back(arrival);
        while (c.arrivals.size() > 2 && arrival - c.arrivals.front() > 2000) c.arrivals.pop_front();
        c.temp_sensor = rawinfo.temp_sensor;
        c.temp_board = rawinfo.temp_ib;
        c.width = info.width;
        c.height = info.height;
        c.stream = stream;
        if (arrival - window_start >= 2000) {
            const double cpu = process_cpu_ms();
            c.cpu_ms_per_frame = (cpu - window_cpu) / static_cast<double>(window_frames);
            c.decode_ms = window_decode_ms / static_cast<double>(window_frames);
            window_cpu = cpu;
            window_frames = 0;
            window_decode_ms = 0;
            window_start = arrival;
        }
    }
    if (recorder) stop_recording(&recorder, "");
    std::lock_guard lock(dev_mutex);
    if (capturing) lumox_cap_stop(dev);
    capturing = false;
}

// Capture thread, after the capture failed: waits for the camera to come back and reopens it
// with the filters and parameters the page set. A recording in progress goes on into its file.
bool ViewServer::Impl::reconnect() {
    {
        std::lock_guard lock(counters_mutex);
        counters.camera_state = "waiting";
    }
    const auto start = std::chrono::steady_clock::now();
    const bool back = options.reconnect(
        dev, [this] { return quit.load(); }, &dev_mutex);
    if (back) {
        std::lock_guard lock(dev_mutex);
        // Opening alone leaves a camera that corrects on the host without its per-pixel table:
        // the best correction first, as at the start, then what the page changed.
        lumox_correction_state correction{};
        lumox_dev_use_best_correction(dev, &correction);
        for (auto &[id, s] : filters) {
            if (!s.touched || !s.accepted) continue;
            if (!s.enabled) {
                lumox_filter_disable(dev, id);
                continue;
            }
            const FilterSpec *filter = nullptr;
            for (const FilterSpec &f : kFilters)
                if (f.id == id) filter = &f;
            uint8_t u8 = static_cast<uint8_t>(s.value);
            uint16_t u16 = static_cast<uint16_t>(s.value);
            void *p = !filter || filter->arg_size == 0 ? nullptr
                      : filter->arg_size == 1          ? static_cast<void *>(&u8)
                                                       : static_cast<void *>(&u16);
            lumox_filter_enable(dev, id, p, filter ? filter->arg_size : 0);
        }
        for (auto &[id, item] : set_params) lumox_param_batch_set(dev, &item, 1);
    }
    std::lock_guard lock(counters_mutex);
    counters.camera_state = back ? "connected" : "lost";
    if (back) {
        ++counters.reconnects;
        counters.last_gap_s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    return back;
}

// Capture thread: the camera stops streaming while the recorder describes it; the loop starts
// it again.
void ViewServer::Impl::start_recording(std::unique_ptr<ViewRecorder> *recorder) {
    std::string why;
    {
        std::lock_guard lock(dev_mutex);
        if (capturing) lumox_cap_stop(dev);
        capturing = false;
        std::vector<std::string> switches;
        for (const FilterSpec &f : kFilters) {
            const FilterState &st = filters[f.id];
            if (!st.touched || !st.accepted) continue;
            const std::string id = std::to_string(f.id) + "=";
            switches.push_back(id + (!st.enabled  ? "off"
                                     : f.arg_size ? std::to_string(st.value)
                                                  : "on"));
        }
        *recorder = options.recorder(dev, switches, &why);
    }
    std::lock_guard lock(counters_mutex);
    counters.recording = *recorder != nullptr;
    counters.record_error = *recorder ? "" : why;
    if (*recorder) {
        counters.record_path = (*recorder)->path();
        counters.recorded = 0;
    }
}

// Capture thread: closes the recording; why is the reason when a frame could not be written.
void ViewServer::Impl::stop_recording(std::unique_ptr<ViewRecorder> *recorder,
                                      const std::string &why) {
    std::string close_error;
    const bool closed = (*recorder)->close(&close_error);
    recorder->reset();
    std::lock_guard lock(counters_mutex);
    counters.recording = false;
    counters.record_error = !why.empty() ? why : closed ? "" : close_error;
}

void ViewServer::Impl::publish(const lumox_frame_info &info, const lx_raw_frame_info &raw,
                               const std::vector<float> &dist, const std::vector<float> &gray,
                               bool decoded, double arrival, uint32_t decode_us) {
    const uint32_t n = decoded ? info.width * info.height : 0;
    auto msg = std::make_shared<std::string>();
    msg->resize(sizeof(ViewFrameHeader) + 4 * static_cast<size_t>(n));
    ViewFrameHeader h{};
    h.magic = kViewFrameMagic;
    h.header_size = sizeof h;
    h.frame_idx = info.frame_idx;
    h.format = info.frame_format;
    h.width = decoded ? static_cast<uint16_t>(info.width) : 0;
    h.height = decoded ? static_cast<uint16_t>(info.height) : 0;
    h.temp_sensor = raw.temp_sensor;
    h.temp_board = raw.temp_ib;
    h.arrival_ms = arrival;
    h.decode_us = decode_us;
    auto *px = reinterpret_cast<uint8_t *>(msg->data()) + sizeof h;
    for (uint32_t i = 0; i < n; ++i) {
        // Metres to millimetres, rounded: the library's codes 65.3/65.4/65.5 m stay 65300...
        const float mm = dist[i] * 1000.0f + 0.5f;
        const auto d = static_cast<uint16_t>(mm <= 0 ? 0 : mm >= 65535.0f ? 65535 : mm);
        const float gv = gray[i] + 0.5f;
        const auto g = static_cast<uint16_t>(gv <= 0 ? 0 : gv >= 65535.0f ? 65535 : gv);
        px[2 * i] = static_cast<uint8_t>(d);
        px[2 * i + 1] = static_cast<uint8_t>(d >> 8);
        px[2 * n + 2 * i] = static_cast<uint8_t>(g);
        px[2 * n + 2 * i + 1] = static_cast<uint8_t>(g >> 8);
    }
    {
        std::lock_guard lock(frame_mutex);
        h.seq = ++latest_seq;
        h.ready_ms = wall_ms();
        std::memcpy(msg->data(), &h, sizeof h);
        latest = std::move(msg);
    }
    frame_cv.notify_all();
}

std::string ViewServer::Impl::palette_json() {
    lx_cmap map{};
    Json j;
    j.begin().num("steps", kPaletteSteps).begin("colors", '[');
    if (lx_cmap_init(&map, 30000)) {
        lx_cmap_set_range(&map, 0, static_cast<int32_t>(kPaletteSteps));
        for (uint32_t i = 0; i < kPaletteSteps; ++i)
            j.num(nullptr, lx_cmap_get_color(&map, static_cast<int32_t>(i + 1)));
        lx_cmap_uninit(&map);
    }
    j.end(']');
    // Codes of pixels without a distance.
    j.begin("codes").num("65300", 0);
    return j.num("65400", 0x8000FF).num("65500", 0xFF0EA9).end().end().text();
}

std::string ViewServer::Impl::rays(uint32_t w, uint32_t h) {
    const size_t n = static_cast<size_t>(w) * h;
    std::string out(12 * n, '\0');
    std::vector<float> unit(n, 1.0f);
    std::vector<float> xyz(3 * n);
    int32_t points = 0;
    {
        // Each pixel's own ray through the lens: the points the library gives at one metre.
        std::lock_guard lock(dev_mutex);
        points =
            lumox_frame_get_points(dev, xyz.data(), static_cast<uint32_t>(xyz.size()), unit.data(),
                                   static_cast<uint32_t>(n), w, h, LUMOX_POINTS_ORGANIZED);
    }
    if (points != static_cast<int32_t>(n)) {
        // No lens parameters for this image size: a plain pinhole with a 90-degree view.
        const float f = static_cast<float>(w) / 2.0f;
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                const float rx = (static_cast<float>(x) + 0.5f - w / 2.0f) / f;
                const float ry = (static_cast<float>(y) + 0.5f - h / 2.0f) / f;
                const float norm = std::sqrt(rx * rx + ry * ry + 1.0f);
                float *p = &xyz[3 * (static_cast<size_t>(y) * w + x)];
                p[0] = rx / norm;
                p[1] = ry / norm;
                p[2] = 1.0f / norm;
            }
        }
    }
    std::memcpy(out.data(), xyz.data(), out.size());
    return out;
}

std::string ViewServer::Impl::stats_json() {
    Json j;
    j.begin();
    {
        std::lock_guard lock(counters_mutex);
        const Counters &c = counters;
        double fps = 0;
        if (c.arrivals.size() > 1 && wall_ms() - c.arrivals.back() < 2000)
            fps = static_cast<double>(c.arrivals.size() - 1) /
                  ((c.arrivals.back() - c.arrivals.front()) / 1000.0);
        j.boolean("capturing", capturing).num("frames", static_cast<double>(c.frames));
        j.num("fps", fps).num("width", c.width).num("height", c.height);
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
            j.begin().str("name", lumox_error_name(code)).str("why", error_text(code));
            j.num("count", static_cast<double>(count)).end();
        }
        j.end(']').str("last_error", c.last_error);
        j.begin("recording").boolean("available", static_cast<bool>(options.recorder));
        j.boolean("active", c.recording).str("path", c.record_path);
        j.num("frames", static_cast<double>(c.recorded)).str("error", c.record_error).end();
        j.begin("temperature")
            .num("sensor", c.temp_sensor / 10.0)
            .num("board", c.temp_board / 10.0);
    }
    bool present = true;  // false while the camera is away: it is not asked then
    {
        std::lock_guard counted(counters_mutex);
        present = counters.camera_state == "connected";
    }
    std::lock_guard lock(dev_mutex);
    lumox_param_item items[4] = {};
    items[0].param_id = LUMOX_PARAM_FRAME_RATE;
    items[1].param_id = LUMOX_PARAM_INTG_TIME;
    items[2].param_id = LUMOX_PARAM_TEMPERATURE;
    items[3].param_id = LUMOX_PARAM_CALIB_INFO;
    const bool read = present && lumox_param_batch_get(dev, items, 4) != 0;
    auto le = [](const lumox_param_item &it, size_t at, size_t bytes) {
        uint32_t v = 0;
        for (size_t i = 0; i < bytes && at + i < it.param_val_len && at + i < LUMOX_PARAM_VAL_MAX;
             ++i)
            v |= static_cast<uint32_t>(it.param_val[at + i]) << (8 * i);
        return v;
    };
    j.begin("readings", '[');
    if (read) {
        for (size_t k = 0; k + 1 < items[2].param_val_len && k + 1 < LUMOX_PARAM_VAL_MAX; k += 2)
            j.num(nullptr, static_cast<int16_t>(le(items[2], k, 2)) / 10.0);
    }
    j.end(']').end();

    j.begin("settings");
    if (read) {
        j.num("frame_rate", le(items[0], 0, 4)).num("integration_time", le(items[1], 0, 2));
    } else {
        j.null("frame_rate").null("integration_time");
    }
    if (present && g_lx_dev == dev) {
        // The modulation clock as the sensor holds it: divider (register 133) and the control
        // word that tells 36 MHz from the divided clock (register 128).
        uint32_t regs[6] = {};
        const bool regs_read = lumox_reg_batch_read(dev, 1, 128, regs, 6) != 0;
        j.num("modulation_khz", configGetModulationFrequency());
        j.num("modulation_index", configGetModFreqMode());
        if (regs_read) {
            j.num("modulation_divider", regs[5] & 0x1F).num("modulation_control", regs[0]);
        }
        j.begin("modulation_choices", '[');
        const uint16_t *freqs = apiGetModulationFrequencies();
        const int count = configGetModFreqCount();
        for (int i = 0; freqs && i < count; ++i) j.num(nullptr, freqs[i]);
        j.end(']');
    }
    j.end();

    j.begin("filters", '[');
    for (const FilterSpec &f : kFilters) {
        const FilterState &s = filters[f.id];
        j.begin().num("id", f.id).str("name", f.name).num("arg_size", f.arg_size);
        j.num("max", static_cast<double>(f.max_value)).boolean("enabled", s.enabled);
        j.num("value", static_cast<double>(s.value)).boolean("touched", s.touched);
        j.boolean("accepted", s.accepted).end();
    }
    j.end(']');

    j.begin("calibration");
    if (read) {
        j.boolean("camera_valid", items[3].param_val[0] == 1);
        j.num("camera_version", le(items[3], 3, 4)).num("camera_size", le(items[3], 7, 4));
    }
    j.str("path", dev->calib_path ? dev->calib_path : "");
    lumox_correction_state c{};
    if (present && lumox_dev_get_correction(dev, &c)) {
        static const char *const kKinds[] = {"default", "linear", "host", "firmware"};
        j.str("correction", kKinds[c.correction >= 0 && c.correction <= 3 ? c.correction : 0]);
        j.str("reason", c.reason);
        j.boolean("files", c.files_present).boolean("files_match", c.files_match);
        j.boolean("drnu", c.correction == LUMOX_CORRECTION_HOST ||
                              c.correction == LUMOX_CORRECTION_FIRMWARE);
    } else {
        j.boolean("drnu", filters[FILTER_DRNU].enabled && filters[FILTER_DRNU].accepted);
    }
    j.boolean("undistort",
              filters[FILTER_LENS_UNDISTORT].enabled && filters[FILTER_LENS_UNDISTORT].accepted);
    j.end();

    const lumox_drv *drv = present ? lumox_dev_get_drv(dev) : nullptr;
    j.begin("camera").str("product", std::string(dev->product, strnlen(dev->product, 32)));
    j.str("driver", drv && drv->name ? drv->name : "-");
    j.str("location", std::to_string(dev->bus) + ":" + std::to_string(dev->port));
    j.str("recording", options.recording);
    {
        std::lock_guard counted(counters_mutex);
        j.str("state", counters.camera_state)
            .str("serial", std::string(dev->id2, strnlen(dev->id2, sizeof dev->id2)));
        j.num("reconnects", static_cast<double>(counters.reconnects));
        j.num("last_gap_s", counters.last_gap_s);
    }
    j.end();
    return j.end().text();
}

// Applies one control and reads its value back from the camera.
std::string ViewServer::Impl::control(const std::string &name, const std::string &value,
                                      int *status) {
    Json j;
    j.begin().str("name", name);
    auto refuse = [&](const std::string &why) {
        *status = 400;
        return j.boolean("ok", false).str("error", why).end().text();
    };
    long long v = 0;
    const bool numeric = parse_long(value, &v);

    if (name == "record") {
        if (!options.recorder) return refuse("recording is not available here");
        if (!numeric) return refuse("record needs 1 or 0");
        {
            std::lock_guard lock(state_mutex);
            record_request = v ? RecordRequest::kStart : RecordRequest::kStop;
        }
        state_cv.notify_all();
        return j.boolean("ok", true).end().text();
    }
    if (name == "capture") {
        if (!numeric) return refuse("capture needs 1 or 0");
        {
            std::lock_guard lock(state_mutex);
            want_capture = v != 0;
        }
        state_cv.notify_all();
        return j.boolean("ok", true).boolean("read_back", v != 0).end().text();
    }

    std::lock_guard lock(dev_mutex);
    if (name == "frame_rate" || name == "integration_time") {
        const bool rate = name == "frame_rate";
        if (!numeric || v < 1 || v > (rate ? 1000 : 65535))
            return refuse(rate ? "frame rate: 1 to 1000 frames/s" : "integration time: 1 to 65535");
        lumox_param_item item{};
        item.param_id = rate ? LUMOX_PARAM_FRAME_RATE : LUMOX_PARAM_INTG_TIME;
        item.param_val_len = rate ? 4 : 2;
        for (int i = 0; i < item.param_val_len; ++i)
            item.param_val[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
        // A command that a busy host could not complete in time is tried once more: setting a
        // parameter twice does no harm, and the page would otherwise show a refusal.
        bool set = false;
        for (int attempt = 0; attempt < 2 && !set; ++attempt)
            set = lumox_param_batch_set(dev, &item, 1) != 0;
        if (!set) return refuse("the camera did not take the value (the library log says why)");
        set_params[item.param_id] = item;
        lumox_param_item back{};
        back.param_id = item.param_id;
        bool read = false;
        for (int attempt = 0; attempt < 2 && !read; ++attempt)
            read = lumox_param_batch_get(dev, &back, 1) != 0;
        if (!read) return refuse("the camera did not answer");
        uint32_t got = 0;
        for (int i = 0; i < std::min<int>(back.param_val_len, 4); ++i)
            got |= static_cast<uint32_t>(back.param_val[i]) << (8 * i);
        if (rate) {
            // The capture times its transfers by the rate it read at start: start it again.
            std::lock_guard state(state_mutex);
            restart = capturing;
        }
        state_cv.notify_all();
        return j.boolean("ok", true).num("read_back", got).end().text();
    }
    if (name == "modulation") {
        if (g_lx_dev != dev) return refuse("this camera's driver has no modulation setting");
        if (!numeric || v < 0 || v >= configGetModFreqCount())
            return refuse("modulation: a frequency index from 0 to " +
                          std::to_string(configGetModFreqCount() - 1));
        if (apiSetModulationFrequency(static_cast<int>(v), 32) != 0)
            return refuse("the sensor refused the frequency");
        uint32_t divider = 0;
        const bool read = lumox_reg_batch_read(dev, 1, 133, &divider, 1) != 0;
        j.boolean("ok", true).num("read_back", configGetModulationFrequency());
        if (read) j.num("divider", divider & 0x1F);
        return j.end().text();
    }
    if (name.rfind("filter_", 0) == 0) {
        long long id = -1;
        parse_long(name.substr(7), &id);
        const FilterSpec *filter = nullptr;
        for (const FilterSpec &f : kFilters)
            if (static_cast<long long>(f.id) == id) filter = &f;
        if (!filter) return refuse("no such filter");
        FilterState &s = filters[filter->id];
        int32_t r = 0;
        if (value == "off") {
            r = lumox_filter_disable(dev, filter->id);
            if (r == 1) s.enabled = false;
        } else {
            long long arg = s.value;
            if (value != "on") {
                if (!numeric || v < 0 || v > filter->max_value)
                    return refuse("value from 0 to " + std::to_string(filter->max_value));
                arg = v;
            }
            uint8_t u8 = static_cast<uint8_t>(arg);
            uint16_t u16 = static_cast<uint16_t>(arg);
            void *p = filter->arg_size == 1   ? static_cast<void *>(&u8)
                      : filter->arg_size == 2 ? static_cast<void *>(&u16)
                                              : nullptr;
            r = lumox_filter_enable(dev, filter->id, p, filter->arg_size);
            if (r == 1) {
                s.enabled = true;
                s.value = arg;
            }
        }
        s.touched = true;
        s.accepted = r == 1;
        j.boolean("ok", r == 1).boolean("enabled", s.enabled);
        j.num("value", static_cast<double>(s.value));
        if (r != 1) {
            *status = 409;
            lumox_correction_state c{};
            j.str("error", filter->id == FILTER_DRNU && lumox_dev_get_correction(dev, &c)
                               ? std::string("refused; in force: ") + c.reason
                               : std::string("the driver refused the switch"));
        }
        return j.end().text();
    }
    return refuse("unknown control");
}

void ViewServer::Impl::routes() {
    for (size_t i = 0; i < kViewAssetCount; ++i) {
        const ViewAsset &a = kViewAssets[i];
        auto serve = [&a](const httplib::Request &, httplib::Response &res) {
            res.set_header("Cache-Control", "no-cache");
            res.set_content(reinterpret_cast<const char *>(a.data), a.size, a.type);
        };
        http.Get(a.path, serve);
        if (std::strcmp(a.path, "/index.html") == 0) http.Get("/", serve);
    }
    http.Get("/frame", [this](const httplib::Request &req, httplib::Response &res) {
        long long after = 0;
        parse_long(req.get_param_value("after"), &after);
        std::shared_ptr<const std::string> msg;
        {
            // Any other sequence number than the page's last one is news (the page may have
            // outlived an earlier server).
            std::unique_lock lock(frame_mutex);
            auto news = [&] { return latest && latest_seq != static_cast<uint32_t>(after); };
            frame_cv.wait_for(lock, kFrameWait, [&] { return news() || quit; });
            if (news()) msg = latest;
        }
        res.set_header("Cache-Control", "no-store");
        if (!msg) {
            res.status = 204;
            return;
        }
        res.set_content_provider(msg->size(), "application/octet-stream",
                                 [msg](size_t offset, size_t length, httplib::DataSink &sink) {
                                     return sink.write(msg->data() + offset, length);
                                 });
    });
    http.Get("/rays", [this](const httplib::Request &req, httplib::Response &res) {
        long long w = 0;
        long long h = 0;
        if (!parse_long(req.get_param_value("w"), &w) ||
            !parse_long(req.get_param_value("h"), &h) || w <= 0 || h <= 0 || w > 2048 || h > 2048) {
            res.status = 400;
            res.set_content("w and h: 1 to 2048 pixels\n", "text/plain");
            return;
        }
        res.set_content(rays(static_cast<uint32_t>(w), static_cast<uint32_t>(h)),
                        "application/octet-stream");
    });
    http.Get("/palette", [this](const httplib::Request &, httplib::Response &res) {
        res.set_content(palette_json(), "application/json");
    });
    http.Get("/stats", [this](const httplib::Request &, httplib::Response &res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(stats_json(), "application/json");
    });
    http.Post("/control", [this](const httplib::Request &req, httplib::Response &res) {
        // Another site open in the same browser could post here too; a request with this header
        // can only come from the page itself (browsers ask first for such cross-site requests,
        // and the server answers no such question).
        if (req.get_header_value("X-Lumox-View") != "1") {
            res.status = 403;
            res.set_content("controls take the X-Lumox-View header\n", "text/plain");
            return;
        }
        int status = 200;
        const std::string body =
            control(req.get_param_value("name"), req.get_param_value("value"), &status);
        res.status = status;
        res.set_content(body, "application/json");
    });
}

ViewServer::ViewServer(lumox_dev_t *dev, ViewOptions options)
    : impl_(std::make_unique<Impl>(dev, std::move(options))) {}

ViewServer::~ViewServer() { stop(); }

bool ViewServer::start(std::string *error) { return impl_->start(error); }

int ViewServer::port() const { return impl_->bound_port; }

void ViewServer::stop() { impl_->stop(); }

}  // namespace lumox_cli
