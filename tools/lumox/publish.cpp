// lumox publish: captures, decodes and publishes the camera's frames as ROS 2 topics over DDS
// until SIGINT or SIGTERM. With --reconnect-timeout it keeps running across an unplug: the
// diagnostics report the camera gone, and the camera with the same serial is reopened with the
// same settings when it returns.
//
// Two threads: the capture thread (this command's) polls the camera and hands each frame to the
// publishing thread through a one-frame slot; the publishing thread decodes it with the library
// and writes the messages. A reliable DDS write can wait for slow readers: only the publishing
// thread ever waits, and a frame it has no time for is a dropped publication, not a lost camera
// frame.

#include "publish.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "capture_loop.h"
#include "command.h"
#include "correction.h"
#include "filters.h"
#include "exposure.h"
#include "reconnect.h"
#include "ros2/names.h"
#include "session.h"

namespace lumox_cli {

namespace ros2 = lumox::ros2;

bool FrameSlot::offer(RawFrame *frame) {
    bool replaced = false;
    {
        std::lock_guard lock(mutex_);
        replaced = full_;
        std::swap(*frame, slot_);
        full_ = true;
    }
    cv_.notify_one();
    return replaced;
}

void FrameSlot::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    cv_.notify_all();
}

bool FrameSlot::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

void FrameSlot::wake() {
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    cv_.notify_all();
}

bool FrameSlot::take_wake() {
    std::lock_guard lock(mutex_);
    return std::exchange(woken_, false);
}

PublishSettings parse_publish_settings(const Args &args) {
    PublishSettings s;
    if (args.has("--namespace")) {
        const std::string ns = args.value("--namespace");
        if (ns.empty()) throw UsageError("--namespace needs a ROS namespace such as /front_camera");
        s.ros_namespace = ros2::ros_namespace(ns);
    }
    if (args.has("--frame-id")) {
        s.frame_id = args.value("--frame-id");
        if (s.frame_id.empty()) throw UsageError("--frame-id needs a frame name");
    }
    const std::string qos = args.value("--qos", "reliable");
    if (qos != "reliable" && qos != "sensor-data")
        throw UsageError("--qos takes reliable or sensor-data, not '" + qos + "'");
    s.sensor_data_qos = qos == "sensor-data";
    if (args.has("--domain"))
        s.domain = static_cast<uint32_t>(parse_int(args.value("--domain"), 0, 232, "--domain"));
    const std::string enc = args.value("--depth-encoding", "16UC1");
    if (enc == "16UC1") {
        s.encoding = ros2::DepthEncoding::kMillimetres16;
    } else if (enc == "32FC1") {
        s.encoding = ros2::DepthEncoding::kMetres32;
    } else {
        throw UsageError("--depth-encoding takes 16UC1 or 32FC1, not '" + enc + "'");
    }
    const std::string points = args.value("--points", "organized");
    if (points == "organized") {
        s.points = ros2::PointLayout::kOrganized;
    } else if (points == "dense") {
        s.points = ros2::PointLayout::kDense;
    } else if (points == "off") {
        s.points = ros2::PointLayout::kOff;
    } else {
        throw UsageError("--points takes organized, dense or off, not '" + points + "'");
    }
    return s;
}

namespace {

// The library's geometry for one frame size: its camera model and each pixel's point. The one
// place that asks the library for 3D; the publisher never computes rays itself.
class Geometry {
  public:
    explicit Geometry(lumox_dev_t *dev) : dev_(dev) {}

    // The camera model of width x height frames (cached per size); false when the library has
    // none for this size.
    bool model(uint32_t width, uint32_t height, ros2::CameraModel *out) {
        if (width != model_.width || height != model_.height) {
            model_ = {};
            model_.width = width;
            model_.height = height;
            lumox_intrinsics in{};
            model_ok_ = lumox_dev_get_intrinsics(dev_, width, height, &in) == 1;
            if (model_ok_) {
                model_.binning_x = in.binning_x;
                model_.binning_y = in.binning_y;
                model_.fx = in.fx;
                model_.fy = in.fy;
                model_.cx = in.cx;
                model_.cy = in.cy;
                model_.distortion_model.assign(
                    in.distortion_model, strnlen(in.distortion_model, sizeof in.distortion_model));
                for (int i = 0; i < 5; ++i) model_.d[i] = in.d[i];
            }
        }
        *out = model_;
        return model_ok_;
    }

    // Every pixel's point (x right, y down, z forward, metres; NaN without a distance) into xyz.
    bool points(const std::vector<float> &dist, uint32_t width, uint32_t height,
                std::vector<float> *xyz) {
        xyz->resize(3 * dist.size());
        return lumox_frame_get_points(dev_, xyz->data(), static_cast<uint32_t>(xyz->size()),
                                      dist.data(), static_cast<uint32_t>(dist.size()), width,
                                      height, LUMOX_POINTS_ORGANIZED) >= 0;
    }

  private:
    lumox_dev_t *dev_;
    ros2::CameraModel model_;
    bool model_ok_ = false;
};

struct Writers {
    std::unique_ptr<ros2::Writer> depth, info, amplitude, points, diagnostics, tf_static;
};

bool make_writers(const ros2::Node &node, const std::string &ns, const PublishSettings &s,
                  Writers *w, std::string *error) {
    const ros2::TopicQos q = s.sensor_data_qos ? ros2::sensor_data_qos() : ros2::default_qos();
    w->depth = ros2::Writer::create(node, ros2::ros_topic(ns, "depth/image_raw"),
                                    &sensor_msgs_msg_dds__Image__desc, q, error);
    if (!w->depth) return false;
    w->info = ros2::Writer::create(node, ros2::ros_topic(ns, "depth/camera_info"),
                                   &sensor_msgs_msg_dds__CameraInfo__desc, q, error);
    if (!w->info) return false;
    w->amplitude = ros2::Writer::create(node, ros2::ros_topic(ns, "amplitude/image_raw"),
                                        &sensor_msgs_msg_dds__Image__desc, q, error);
    if (!w->amplitude) return false;
    if (s.points != ros2::PointLayout::kOff) {
        w->points = ros2::Writer::create(node, ros2::ros_topic(ns, "points"),
                                         &sensor_msgs_msg_dds__PointCloud2__desc, q, error);
        if (!w->points) return false;
    }
    // Diagnostics keep ROS's default profile whatever --qos says: they are small and rare.
    w->diagnostics =
        ros2::Writer::create(node, "/diagnostics", &diagnostic_msgs_msg_dds__DiagnosticArray__desc,
                             ros2::default_qos(), error);
    if (!w->diagnostics) return false;
    w->tf_static = ros2::Writer::create(node, "/tf_static", &tf2_msgs_msg_dds__TFMessage__desc,
                                        ros2::static_transform_qos(), error);
    return static_cast<bool>(w->tf_static);
}

int64_t thread_cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// A second thread for the amplitude image: it fills and writes that message while the publishing
// thread writes the others, so that with two cores the subscriber holds a frame's messages sooner
// (each image takes a few hundred microseconds to write). The publishing thread waits for it
// before it goes on to the next frame.
class AmplitudeWriter {
  public:
    explicit AmplitudeWriter(ros2::Writer *writer) : writer_(writer), thread_([this] { run(); }) {}
    AmplitudeWriter(const AmplitudeWriter &) = delete;
    AmplitudeWriter &operator=(const AmplitudeWriter &) = delete;
    ~AmplitudeWriter() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

    // Starts on the amplitudes (width x height floats at amp, read until finish returns).
    void start(const ros2::Header &header, const float *amp, uint32_t width, uint32_t height) {
        {
            std::lock_guard lock(mutex_);
            header_ = header;
            amp_ = amp;
            width_ = width;
            height_ = height;
            pending_ = true;
        }
        cv_.notify_all();
    }

    // Waits for the message started last: whether DDS took it; *cpu_ns gains the thread's time.
    bool finish(int64_t *cpu_ns) {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return !pending_; });
        *cpu_ns += cpu_ns_;
        return ok_;
    }

  private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return stop_ || pending_; });
            if (!pending_) return;
            lock.unlock();
            const int64_t cpu0 = thread_cpu_ns();
            message_.fill_amplitude(header_, amp_, width_, height_);
            const bool ok = writer_->write(message_.sample());
            const int64_t cpu = thread_cpu_ns() - cpu0;
            lock.lock();
            ok_ = ok;
            cpu_ns_ = cpu;
            pending_ = false;
            cv_.notify_all();
        }
    }

    ros2::Writer *writer_;
    ros2::ImageMessage message_;
    std::mutex mutex_;
    std::condition_variable cv_;
    // The job: written under mutex_ while no job is pending, read by the thread while one is.
    ros2::Header header_;
    const float *amp_ = nullptr;
    uint32_t width_ = 0, height_ = 0;
    bool pending_ = false, stop_ = false, ok_ = true;
    int64_t cpu_ns_ = 0;
    std::thread thread_;  // last: starts once the rest is there
};

std::string fixed(double v, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

enum class CameraState { kStreaming, kStopped, kLeft };

// What the diagnostics report beside the frames. The capture thread writes it when the camera
// opens, stops streaming, leaves and comes back; the publishing thread reads a copy.
struct CameraFacts {
    std::string ns;
    std::string serial;
    std::string correction;
    uint32_t frame_rate_set = 0;
    CameraState state = CameraState::kStreaming;
    long long reconnect_timeout_s = 0;
    uint32_t reconnects = 0;
    double last_gap_s = 0;
};

class SharedFacts {
  public:
    CameraFacts get() const {
        std::lock_guard lock(mutex_);
        return facts_;
    }
    template <typename F>
    void update(F &&change) {
        std::lock_guard lock(mutex_);
        change(facts_);
    }

  private:
    mutable std::mutex mutex_;
    CameraFacts facts_;
};

const char *state_text(CameraState s) {
    switch (s) {
        case CameraState::kStreaming:
            return "streaming";
        case CameraState::kStopped:
            return "stopped streaming";
        case CameraState::kLeft:
            return "unplugged";
    }
    return "";
}

// The publishing thread: decodes each frame the slot hands over, writes its messages, and once
// a second the diagnostics.
class Publisher {
  public:
    // Calls on dev hold dev_mutex: the capture thread closes and reopens the camera across an
    // unplug.
    Publisher(lumox_dev_t *dev, std::mutex *dev_mutex, const PublishSettings &s,
              const SharedFacts &facts, Writers *writers, FrameSlot *slot,
              const std::atomic<uint32_t> *dropped)
        : dev_(dev),
          dev_mutex_(dev_mutex),
          settings_(s),
          facts_(facts),
          w_(writers),
          slot_(slot),
          dropped_(dropped),
          geometry_(dev),
          amplitude_writer_(writers->amplitude.get()) {}

    void run() {
        using clock = std::chrono::steady_clock;
        auto next_diagnostics = clock::now() + std::chrono::seconds(1);
        RawFrame frame;
        for (;;) {
            if (slot_->take(&frame, next_diagnostics)) publish(frame);
            // The camera left, stopped or came back: said at once, beside the report each
            // second (an absence shorter than a second would otherwise go unreported).
            if (slot_->take_wake()) publish_diagnostics();
            if (clock::now() >= next_diagnostics) {
                publish_diagnostics();
                next_diagnostics += std::chrono::seconds(1);
                if (next_diagnostics < clock::now())
                    next_diagnostics = clock::now() + std::chrono::seconds(1);
            }
            if (slot_->closed()) {
                if (slot_->take(&frame, clock::now())) publish(frame);
                break;
            }
        }
    }

  private:
    void publish(const RawFrame &f) {
        const int64_t cpu0 = thread_cpu_ns();
        const uint32_t w = f.info.width, h = f.info.height;
        const uint32_t n = w * h;
        const ros2::Header header{f.wall_ns, settings_.frame_id};
        dist_.resize(n);
        amp_.resize(n);
        const auto raw_len = static_cast<uint32_t>(f.bytes.size());
        // The library's calls hold dev_mutex (the camera is open while they run); the writes,
        // which can wait for readers, do not. Distances and amplitudes come from one decode; a
        // frame that gives no amplitudes still has its depth image published.
        ros2::CameraModel model;
        bool have_model = false, have_amp = true;
        {
            std::lock_guard lock(*dev_mutex_);
            if (lumox_frame_get_distance_gray(dev_, dist_.data(), amp_.data(), n, f.bytes.data(),
                                              raw_len, &f.info) <= 0) {
                have_amp = false;
                if (lumox_frame_get_distance(dev_, dist_.data(), n, f.bytes.data(), raw_len,
                                             &f.info) <= 0) {
                    ++undecodable_;
                    return;
                }
            }
            have_model = geometry_.model(w, h, &model);
        }
        if (have_amp) amplitude_writer_.start(header, amp_.data(), w, h);
        bool ok = true;
        depth_.fill_depth(header, dist_.data(), w, h, settings_.encoding);
        ok &= w_->depth->write(depth_.sample());
        if (have_model) {
            info_.fill(header, model);
            ok &= w_->info->write(info_.sample());
        }
        bool have_points = false;
        if (w_->points && have_model) {
            std::lock_guard lock(*dev_mutex_);
            have_points = geometry_.points(dist_, w, h, &xyz_);
        }
        if (have_points) {
            cloud_.fill(header, xyz_.data(), have_amp ? amp_.data() : nullptr, w, h,
                        settings_.points);
            ok &= w_->points->write(cloud_.sample());
        }
        if (have_amp) {
            int64_t side_cpu_ns = 0;
            ok &= amplitude_writer_.finish(&side_cpu_ns);
            cpu_ns_ += side_cpu_ns;
        }
        if (!ok) ++write_failures_;
        ++published_;
        in_process_ns_ += wall_now() - f.wall_ns;
        // The frame's facts for the diagnostics, without its bytes.
        last_.info = f.info;
        last_.raw = f.raw;
        last_.stats = f.stats;
        last_.wall_ns = f.wall_ns;
        last_.steady_ns = f.steady_ns;
        have_last_ = true;
        cpu_ns_ += thread_cpu_ns() - cpu0;
    }

    void publish_diagnostics() {
        const CameraFacts facts = facts_.get();
        ros2::DiagnosticStatus st;
        st.name = "lumox publish: " + facts.ns;
        st.hardware_id = facts.serial;
        const lumox_cap_stats &s = last_.stats;
        const uint32_t dropped = dropped_->load();
        // The measured rate: frames the stream received since the last report over the time.
        double rate = 0;
        if (have_last_ && have_previous_ && last_.steady_ns > previous_.steady_ns)
            rate = (s.frames_received - previous_.stats.frames_received) * 1e9 /
                   static_cast<double>(last_.steady_ns - previous_.steady_ns);
        const uint64_t frames = published_ - published_before_;
        const bool losing = s.frames_discarded + s.frames_overflowed > lost_before_ ||
                            dropped > dropped_before_ || write_failures_ > failures_before_;
        st.level = !have_last_ ? 1 : losing ? 1 : 0;
        st.message = !have_last_ ? "no frame yet"
                     : losing    ? "frames or publications lost in the last second"
                                 : "publishing";
        if (facts.state != CameraState::kStreaming) {
            st.level = 2;
            st.message = std::string("camera ") + state_text(facts.state) + ": waiting up to " +
                         std::to_string(facts.reconnect_timeout_s) + " s for " + facts.serial;
        }
        auto add = [&](const char *key, std::string value) {
            st.values.emplace_back(key, std::move(value));
        };
        add("frame rate measured (frames/s)", fixed(rate, 2));
        add("camera", state_text(facts.state));
        add("reconnects", std::to_string(facts.reconnects));
        add("last reconnect gap (s)", fixed(facts.last_gap_s, 1));
        add("frame rate set (frames/s)", std::to_string(facts.frame_rate_set));
        add("frames received", std::to_string(s.frames_received));
        add("frames lost: incomplete or undescribable", std::to_string(s.frames_discarded));
        add("frames lost: frame buffer full", std::to_string(s.frames_overflowed));
        add("frames not decoded", std::to_string(undecodable_));
        add("frames published", std::to_string(published_));
        add("publications dropped: publisher busy", std::to_string(dropped));
        add("publications failed: DDS write", std::to_string(write_failures_));
        add("publishing CPU per frame (ms)", fixed(frames ? cpu_ns_ / 1e6 / frames : 0.0, 3));
        add("frame handed over to written (ms)",
            fixed(frames ? in_process_ns_ / 1e6 / frames : 0.0, 3));
        add("sensor temperature (C)", fixed(last_.raw.temp_sensor / 10.0, 1));
        add("illumination temperature (C)", fixed(last_.raw.temp_ib / 10.0, 1));
        add("correction", facts.correction);
        diagnostics_.fill({wall_now(), ""}, st);
        if (!w_->diagnostics->write(diagnostics_.sample())) ++write_failures_;
        if (have_last_) {
            previous_ = last_;
            have_previous_ = true;
        }
        published_before_ = published_;
        lost_before_ = s.frames_discarded + s.frames_overflowed;
        dropped_before_ = dropped;
        failures_before_ = write_failures_;
        cpu_ns_ = 0;
        in_process_ns_ = 0;
    }

    static int64_t wall_now() { return nanoseconds(std::chrono::system_clock::now()); }

    lumox_dev_t *dev_;
    std::mutex *dev_mutex_;
    const PublishSettings &settings_;
    const SharedFacts &facts_;
    Writers *w_;
    FrameSlot *slot_;
    const std::atomic<uint32_t> *dropped_;
    Geometry geometry_;
    AmplitudeWriter amplitude_writer_;
    std::vector<float> dist_, amp_, xyz_;
    ros2::ImageMessage depth_;
    ros2::CameraInfoMessage info_;
    ros2::PointCloudMessage cloud_;
    ros2::DiagnosticsMessage diagnostics_;
    RawFrame last_, previous_;
    bool have_last_ = false, have_previous_ = false;
    uint64_t published_ = 0, published_before_ = 0, undecodable_ = 0;
    uint64_t write_failures_ = 0, failures_before_ = 0;
    uint64_t lost_before_ = 0, dropped_before_ = 0;
    int64_t cpu_ns_ = 0;
    int64_t in_process_ns_ = 0;  // frames' time from hand-over to their last write, summed
};

uint32_t frame_rate_of(lumox_dev_t *dev) {
    lumox_param_item item{};
    item.param_id = LUMOX_PARAM_FRAME_RATE;
    if (!lumox_param_batch_get(dev, &item, 1)) return 0;
    uint32_t v = 0;
    for (int i = 0; i < 4 && i < item.param_val_len; ++i)
        v |= static_cast<uint32_t>(item.param_val[i]) << (8 * i);
    return v;
}

// Sets the camera up for publishing: the correction, the filters and the exposure of the command
// line. Run after the open and again after every reconnect (the camera forgets them when
// unplugged, and opening alone leaves a camera that corrects on the host without its table).
// False, with the reason printed, when the camera refuses a setting.
bool set_up_camera(lumox_dev_t *dev, const std::vector<FilterSetting> &filters,
                   const std::vector<std::string> &filter_texts, const Exposure &exposure) {
    use_calibration(dev);
    for (size_t i = 0; i < filters.size(); ++i)
        if (!apply_filter(dev, filters[i], filter_texts[i])) return false;
    return apply_exposure(dev, exposure);
}

lumox_cap_stats operator+(lumox_cap_stats a, const lumox_cap_stats &b) {
    a.frames_received += b.frames_received;
    a.frames_queued += b.frames_queued;
    a.frames_discarded += b.frames_discarded;
    a.frames_overflowed += b.frames_overflowed;
    a.bytes_dropped += b.bytes_dropped;
    return a;  // frames_ready: the current stream's
}

// How the camera is set up at open and again after every reopen.
struct CameraSetup {
    std::vector<std::string> filter_texts;
    std::vector<FilterSetting> filters;
    Exposure exposure;
    bool apply(lumox_dev_t *dev) const {
        return set_up_camera(dev, filters, filter_texts, exposure);
    }
};

// The DDS participant with the topic writers and the static transform; prints what it publishes.
// Null with *error set when DDS refuses.
std::unique_ptr<ros2::Node> start_node(uint32_t domain, const PublishSettings &settings,
                                       const SharedFacts &facts, Writers *writers,
                                       std::string *error) {
    std::unique_ptr<ros2::Node> node = ros2::Node::create(domain, error);
    if (!node) return nullptr;
    if (!make_writers(*node, settings.ros_namespace, settings, writers, error)) return nullptr;
    ros2::StaticTransformMessage tf;
    tf.fill(nanoseconds(std::chrono::system_clock::now()),
            ros2::frame_id(settings.ros_namespace, "_link"), settings.frame_id);
    if (!writers->tf_static->write(tf.sample())) {
        *error = "cannot publish /tf_static";
        return nullptr;
    }
    std::printf("lumox publish: %s on DDS domain %u (%s QoS), frame %s; correction %s\n",
                settings.ros_namespace.c_str(), domain,
                settings.sensor_data_qos ? "sensor-data" : "reliable", settings.frame_id.c_str(),
                facts.get().correction.c_str());
    std::fflush(stdout);
    return node;
}

// Captures until SIGINT or SIGTERM, offering every frame to the publishing thread through the
// slot. With --reconnect-timeout a failed capture waits for the camera to come back, sets it up as
// before and goes on; the stream's counters start again with each reopen, the diagnostics count on
// across them. Returns the last stretch's summary; *frames counts every stretch's frames.
CaptureSummary capture_until_stopped(lumox_dev_t *dev, std::mutex &dev_mutex,
                                     Reconnector &reconnector, const CameraSetup &setup,
                                     SharedFacts &facts, FrameSlot &slot,
                                     std::atomic<uint32_t> &dropped, long *frames) {
    CaptureSettings capture;
    capture.frames = LONG_MAX;
    // A second of frames (20 at the least): room for a capture thread that a busy host keeps
    // waiting, or that waits for the camera's answer to a parameter read (the sensor temperature,
    // every 10 s). Half a second lost frames with four cameras and their points on two cores.
    capture.buffered_frames = std::clamp<uint32_t>(frame_rate_of(dev), 20, 200);
    // A publisher is a service: a camera that falls silent for a moment (a busy host, a stalled
    // bus) does not end it; three time-outs in a row (about 6 s) do.
    capture.silent_polls = 3;
    capture.stop = StopOnSignal::requested;
    lumox_cap_stats earlier{};
    RawFrame spare;
    const FrameSink sink = [&](const CapturedFrame &frame) {
        spare.bytes.assign(frame.data, frame.data + frame.size);
        spare.info = frame.info;
        lumox_cap_get_raw_info(dev, &spare.raw);
        lumox_cap_get_stats(dev, &spare.stats);
        spare.stats = spare.stats + earlier;
        spare.wall_ns = nanoseconds(frame.wall);
        spare.steady_ns = nanoseconds(frame.arrival);
        if (slot.offer(&spare)) dropped.fetch_add(1);
        return true;
    };
    CaptureSummary summary;
    for (;;) {
        summary = run_capture(dev, capture, sink);
        *frames += summary.frames;
        earlier = summary.stats + earlier;
        if (!summary.failed || !reconnector.enabled()) return summary;
        facts.update([](CameraFacts &f) { f.state = CameraState::kStopped; });
        slot.wake();
        if (!reconnector.reconnect(dev, StopOnSignal::requested, &dev_mutex)) return summary;
        bool ready = false;
        {
            std::lock_guard lock(dev_mutex);
            ready = setup.apply(dev);
            facts.update([&](CameraFacts &f) {
                f.state = CameraState::kStreaming;
                f.correction = describe(correction_in_force(dev));
                f.frame_rate_set = frame_rate_of(dev);
                ++f.reconnects;
                f.last_gap_s = reconnector.gap_seconds();
            });
        }
        slot.wake();
        if (!ready) return summary;
        std::printf("lumox publish: camera %s back after %.1f s; correction %s; publishing on\n",
                    reconnector.serial().c_str(), reconnector.gap_seconds(),
                    facts.get().correction.c_str());
        std::fflush(stdout);
    }
}

}  // namespace

int cmd_publish(const Args &args) {
    PublishSettings settings = parse_publish_settings(args);
    CameraSetup setup;
    setup.exposure = parse_exposure(args);
    Reconnector reconnector(args);  // --reconnect-timeout checked before the camera is opened
    setup.filter_texts = args.values("--filter");
    for (const std::string &f : setup.filter_texts) setup.filters.push_back(parse_filter(f));
    uint32_t domain = 0;
    std::string error;
    if (settings.domain) {
        domain = *settings.domain;
    } else if (!ros2::domain_from_environment(&domain, &error)) {
        return fail("%s", error.c_str());
    }

    Session session(args);
    if (!use_calibration_dir(args.value("--calib"))) return kExitFailure;
    lumox_dev_t *dev = session.open();
    if (!dev || !setup.apply(dev)) return kExitFailure;
    reconnector.watch(dev);

    SharedFacts facts;
    facts.update([&](CameraFacts &f) {
        f.serial = record_field(dev->id2, sizeof dev->id2);
        f.correction = describe(correction_in_force(dev));
        f.frame_rate_set = frame_rate_of(dev);
        f.reconnect_timeout_s = reconnector.timeout_seconds();
        if (settings.ros_namespace.empty())
            settings.ros_namespace = ros2::ros_namespace("/lumox/" + f.serial);
        f.ns = settings.ros_namespace;
    });
    if (settings.frame_id.empty())
        settings.frame_id = ros2::frame_id(settings.ros_namespace, "_optical_frame");
    Writers writers;
    const std::unique_ptr<ros2::Node> node = start_node(domain, settings, facts, &writers, &error);
    if (!node) return fail("%s", error.c_str());

    FrameSlot slot;
    std::atomic<uint32_t> dropped{0};
    std::mutex dev_mutex;
    Publisher publisher(dev, &dev_mutex, settings, facts, &writers, &slot, &dropped);
    std::thread publishing([&] { publisher.run(); });
    StopOnSignal stop_on_signal;
    reconnector.on_departure([&] {
        facts.update([](CameraFacts &f) { f.state = CameraState::kLeft; });
        slot.wake();
    });
    long frames = 0;
    const CaptureSummary summary =
        capture_until_stopped(dev, dev_mutex, reconnector, setup, facts, slot, dropped, &frames);
    slot.close();
    publishing.join();
    std::printf("lumox publish: stopped after %ld frames (%u publications dropped)\n", frames,
                dropped.load());
    // Stopped while waiting for the camera: an end asked for, as after a capture stopped by the
    // signal (a service manager stopping a waiting publisher sees a clean end).
    return summary.failed && !StopOnSignal::requested() ? kExitFailure : kExitOk;
}

}  // namespace lumox_cli
