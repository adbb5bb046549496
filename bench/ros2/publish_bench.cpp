// lumox publish measured: cameras (each `lumox-vcam -- lumox publish`, 20 frames/s, 320 x 240)
// publishing depth, camera info and amplitude, with and without the organised point cloud, to a
// subscriber in this process. Per frame: the latency from the library handing the frame over (the
// messages' stamp) to the subscriber holding all of the frame's messages, median and p95; the
// publishing thread's CPU time (the publishers' own diagnostics) and the whole publisher process's;
// camera frames lost and publications dropped. In the same run a bare Cyclone DDS writer process
// sends messages of the same sizes at the same rate to the same subscriber: our latency over its
// latency is the overhead.
//
// DDS stays on the loopback interface without multicast (ros2/cyclonedds-loopback.xml).
// Run: build/bench/lumox_ros2_bench [--benchmark_filter=...]

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "ros2/node.h"
#include "ros2_msgs.h"

namespace {

namespace ros2 = lumox::ros2;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 20;
constexpr auto kMeasure = std::chrono::seconds(10);

int64_t wall_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t stamp_ns(const std_msgs_msg_dds__Header_ &h) {
    return static_cast<int64_t>(h.stamp.sec) * 1000000000 + h.stamp.nanosec;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

// Clock ticks of user and system time of a process.
long long cpu_ticks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const size_t paren = text.rfind(')');
    if (paren == std::string::npos) return 0;
    std::istringstream rest(text.substr(paren + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoll(field);
        if (i == 15) stime = std::stoll(field);
    }
    return utime + stime;
}

pid_t child_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    pid_t child = -1;
    in >> child;
    return child;
}

// Subscribes to the cameras' topics and keeps, per frame (camera, stamp), how many of its
// messages arrived and when the last did.
class Subscriber {
  public:
    Subscriber(const ros2::Node &node, int cameras, bool points, const std::string &prefix) {
        std::string error;
        for (int c = 0; c < cameras; ++c) {
            const std::string ns = prefix + std::to_string(c);
            add(node, c, ns + "/depth/image_raw", &sensor_msgs_msg_dds__Image__desc);
            add(node, c, ns + "/depth/camera_info", &sensor_msgs_msg_dds__CameraInfo__desc);
            add(node, c, ns + "/amplitude/image_raw", &sensor_msgs_msg_dds__Image__desc);
            if (points) add(node, c, ns + "/points", &sensor_msgs_msg_dds__PointCloud2__desc);
        }
        per_frame_ = points ? 4 : 3;
        waitset_ = dds_create_waitset(node.participant());
        for (auto &r : readers_)
            dds_waitset_attach(waitset_,
                               dds_create_readcondition(r.reader->entity(), DDS_ANY_STATE), 0);
    }
    ~Subscriber() { dds_delete(waitset_); }

    // Takes what arrives until the deadline; counting only while measuring.
    void run_until(Clock::time_point deadline, bool measuring) {
        while (Clock::now() < deadline) {
            dds_waitset_wait(waitset_, nullptr, 0, DDS_MSECS(50));
            for (auto &r : readers_) {
                r.reader->take([&](const std::vector<uint8_t> &, const void *sample) {
                    const int64_t now = wall_ns();
                    // Every message type here starts with its header.
                    const auto &h = *static_cast<const std_msgs_msg_dds__Header_ *>(sample);
                    ++received_;
                    if (!measuring) return;
                    Frame &f = frames_[{r.camera, stamp_ns(h)}];
                    ++f.messages;
                    f.last = std::max(f.last, now);
                });
            }
        }
    }
    bool receiving() const { return received_ > 0; }
    // Latencies (ms) of the frames whose messages all arrived; frames seen in part.
    std::vector<double> latencies(size_t *partial) const {
        std::vector<double> out;
        *partial = 0;
        for (const auto &[key, f] : frames_) {
            if (f.messages == per_frame_) {
                out.push_back((f.last - key.second) / 1e6);
            } else {
                ++*partial;
            }
        }
        return out;
    }

  private:
    struct Frame {
        int messages = 0;
        int64_t last = 0;
    };
    struct Sub {
        int camera;
        std::unique_ptr<ros2::Reader> reader;
    };
    void add(const ros2::Node &node, int camera, const std::string &topic,
             const dds_topic_descriptor_t *type) {
        std::string error;
        auto r = ros2::Reader::create(node, topic, type, ros2::default_qos(), &error);
        if (!r) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        readers_.push_back({camera, std::move(r)});
    }
    std::vector<Sub> readers_;
    dds_entity_t waitset_ = 0;
    int per_frame_ = 3;
    uint64_t received_ = 0;
    std::map<std::pair<int, int64_t>, Frame> frames_;
};

// The publishers' own diagnostics: publishing CPU per frame, frames lost, publications dropped.
class DiagnosticsReader {
  public:
    explicit DiagnosticsReader(const ros2::Node &node) {
        std::string error;
        reader_ = ros2::Reader::create(node, "/diagnostics",
                                       &diagnostic_msgs_msg_dds__DiagnosticArray__desc,
                                       ros2::default_qos(), &error);
    }
    void take(bool measuring) {
        reader_->take([&](const std::vector<uint8_t> &, const void *sample) {
            const auto &m = *static_cast<const diagnostic_msgs_msg_dds__DiagnosticArray_ *>(sample);
            for (uint32_t s = 0; s < m.status._length; ++s) {
                const auto &st = m.status._buffer[s];
                std::map<std::string, std::string> v;
                for (uint32_t k = 0; k < st.values._length; ++k)
                    v[st.values._buffer[k].key] = st.values._buffer[k].value;
                last_[st.name] = v;
                if (measuring && std::stod(v["frame rate measured (frames/s)"]) > 0) {
                    cpu_ms_.push_back(std::stod(v["publishing CPU per frame (ms)"]));
                    written_ms_.push_back(std::stod(v["frame handed over to written (ms)"]));
                }
            }
        });
    }
    static double mean(const std::vector<double> &v) {
        double sum = 0;
        for (double c : v) sum += c;
        return v.empty() ? 0 : sum / static_cast<double>(v.size());
    }
    double cpu_ms() const { return mean(cpu_ms_); }
    double written_ms() const { return mean(written_ms_); }
    double total(const char *key) const {
        double sum = 0;
        for (const auto &[name, v] : last_)
            if (v.count(key)) sum += std::stod(v.at(key));
        return sum;
    }
    size_t publishers() const { return last_.size(); }

  private:
    std::unique_ptr<ros2::Reader> reader_;
    std::map<std::string, std::map<std::string, std::string>> last_;
    std::vector<double> cpu_ms_, written_ms_;
};

pid_t spawn(const std::vector<std::string> &args) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
        std::vector<char *> argv;
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void stop(pid_t pid) {
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
}

uint32_t g_domain = 0;
uint32_t next_domain() { return g_domain = 1 + (static_cast<uint32_t>(getpid()) + g_domain) % 200; }

// The bare pair's writer side, in a process of its own as the publishers are: per camera and
// frame period, messages of the sizes lumox publish sends, stamped when the period starts.
[[noreturn]] void bare_writer(uint32_t domain, int cameras, bool points, double seconds) {
    std::string error;
    auto node = ros2::Node::create(domain, &error);
    std::vector<std::vector<std::unique_ptr<ros2::Writer>>> writers(cameras);
    const char *names[] = {"depth", "info", "amplitude", "points"};
    // 16UC1 depth and amplitude, a CameraInfo's worth, 16-byte points of 320 x 240 pixels.
    const uint32_t sizes[] = {153600, 384, 153600, 1228800};
    const int per_frame = points ? 4 : 3;
    for (int c = 0; c < cameras; ++c)
        for (int k = 0; k < per_frame; ++k)
            writers[c].push_back(ros2::Writer::create(
                *node, "/bare/cam" + std::to_string(c) + "/" + names[k],
                &sensor_msgs_msg_dds__Image__desc, ros2::default_qos(), &error));
    std::vector<uint8_t> data(sizes[3]);
    std::string frame_id = "bare", encoding = "16UC1";
    sensor_msgs_msg_dds__Image_ msg{};
    msg.header.frame_id = frame_id.data();
    msg.encoding = encoding.data();
    msg.data._buffer = data.data();
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    auto next = Clock::now();
    while (Clock::now() < end) {
        const int64_t t = wall_ns();
        msg.header.stamp.sec = static_cast<int32_t>(t / 1000000000);
        msg.header.stamp.nanosec = static_cast<uint32_t>(t % 1000000000);
        for (int c = 0; c < cameras; ++c) {
            for (int k = 0; k < per_frame; ++k) {
                msg.data._length = msg.data._maximum = sizes[k];
                writers[c][k]->write(&msg);
            }
        }
        next += std::chrono::milliseconds(1000 / kRate);
        std::this_thread::sleep_until(next);
    }
    writers.clear();
    node.reset();
    _exit(0);
}

// Latencies of the bare pair: a subscriber like the one above on the bare topics.
std::vector<double> bare_latencies(int cameras, bool points) {
    const uint32_t domain = next_domain();
    std::string error;
    auto node = ros2::Node::create(domain, &error);
    std::vector<std::unique_ptr<ros2::Reader>> readers;
    std::vector<int> camera_of;
    const char *names[] = {"depth", "info", "amplitude", "points"};
    const int per_frame = points ? 4 : 3;
    for (int c = 0; c < cameras; ++c)
        for (int k = 0; k < per_frame; ++k) {
            readers.push_back(ros2::Reader::create(
                *node, "/bare/cam" + std::to_string(c) + "/" + names[k],
                &sensor_msgs_msg_dds__Image__desc, ros2::default_qos(), &error));
            camera_of.push_back(c);
        }
    const dds_entity_t ws = dds_create_waitset(node->participant());
    for (auto &r : readers)
        dds_waitset_attach(ws, dds_create_readcondition(r->entity(), DDS_ANY_STATE), 0);
    const double warmup = 2.0, seconds = warmup + std::chrono::duration<double>(kMeasure).count();
    // A process of its own, started afresh: DDS does not survive a fork.
    const pid_t writer =
        spawn({"/proc/self/exe", "--bare-writer", std::to_string(domain), std::to_string(cameras),
               points ? "1" : "0", std::to_string(seconds)});
    std::map<std::pair<int, int64_t>, std::pair<int, int64_t>> frames;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds + 1.0);
    while (Clock::now() < end) {
        dds_waitset_wait(ws, nullptr, 0, DDS_MSECS(50));
        const bool measuring = Clock::now() > start + std::chrono::duration<double>(warmup);
        for (size_t i = 0; i < readers.size(); ++i) {
            readers[i]->take([&](const std::vector<uint8_t> &, const void *sample) {
                const int64_t now = wall_ns();
                if (!measuring) return;
                const auto &h = *static_cast<const std_msgs_msg_dds__Header_ *>(sample);
                auto &f = frames[{camera_of[i], stamp_ns(h)}];
                ++f.first;
                f.second = std::max(f.second, now);
            });
        }
    }
    int status = 0;
    waitpid(writer, &status, 0);
    dds_delete(ws);
    std::vector<double> out;
    for (const auto &[key, f] : frames)
        if (f.first == per_frame) out.push_back((f.second - key.second) / 1e6);
    return out;
}

void BM_Publish(benchmark::State &state) {
    const int cameras = static_cast<int>(state.range(0));
    const bool points = state.range(1) != 0;
    for (auto _ : state) {
        const uint32_t domain = next_domain();
        std::string error;
        auto node = ros2::Node::create(domain, &error);
        Subscriber sub(*node, cameras, points, "/bench/cam");
        DiagnosticsReader diagnostics(*node);
        std::vector<pid_t> vcams;
        for (int c = 0; c < cameras; ++c)
            vcams.push_back(
                spawn({LUMOX_VCAM_PATH, "--fps", std::to_string(kRate), "--", LUMOX_CLI_PATH,
                       "publish", "--namespace", "/bench/cam" + std::to_string(c), "--domain",
                       std::to_string(domain), "--points", points ? "organized" : "off", "--calib",
                       "/tmp/lumox_ros2_bench_calib" + std::to_string(c)}));
        // Warm-up: until frames flow from every camera and a little longer.
        const auto warm_deadline = Clock::now() + std::chrono::seconds(60);
        while (Clock::now() < warm_deadline &&
               (!sub.receiving() || diagnostics.publishers() < static_cast<size_t>(cameras))) {
            sub.run_until(Clock::now() + std::chrono::milliseconds(200), false);
            diagnostics.take(false);
        }
        sub.run_until(Clock::now() + std::chrono::seconds(2), false);
        diagnostics.take(false);
        const double overflowed_before = diagnostics.total("frames lost: frame buffer full");
        const double incomplete_before =
            diagnostics.total("frames lost: incomplete or undescribable");
        const double dropped_before = diagnostics.total("publications dropped: publisher busy");
        const double published_before = diagnostics.total("frames published");
        std::vector<pid_t> publishers;
        long long ticks_before = 0;
        for (pid_t v : vcams) {
            publishers.push_back(child_of(v));
            ticks_before += cpu_ticks(publishers.back());
        }
        const auto t0 = Clock::now();
        const auto end = t0 + kMeasure;
        while (Clock::now() < end) {
            sub.run_until(std::min(end, Clock::now() + std::chrono::milliseconds(200)), true);
            diagnostics.take(true);
        }
        long long ticks = -ticks_before;
        for (pid_t p : publishers) ticks += cpu_ticks(p);
        sub.run_until(Clock::now() + std::chrono::milliseconds(1200), false);
        diagnostics.take(false);
        for (pid_t v : vcams) stop(v);

        size_t partial = 0;
        const std::vector<double> lat = sub.latencies(&partial);
        const double published = diagnostics.total("frames published") - published_before;
        const double seconds = std::chrono::duration<double>(kMeasure).count();
        const std::vector<double> bare = bare_latencies(cameras, points);
        state.SetIterationTime(seconds);
        const double period_ms = 1000.0 / kRate;
        state.counters["frames"] = static_cast<double>(lat.size());
        state.counters["partial"] = static_cast<double>(partial);
        state.counters["lat_med_ms"] = percentile(lat, 0.5);
        state.counters["lat_p95_ms"] = percentile(lat, 0.95);
        state.counters["bare_med_ms"] = percentile(bare, 0.5);
        state.counters["bare_p95_ms"] = percentile(bare, 0.95);
        state.counters["ratio_med"] = percentile(lat, 0.5) / std::max(1e-9, percentile(bare, 0.5));
        state.counters["ratio_p95"] =
            percentile(lat, 0.95) / std::max(1e-9, percentile(bare, 0.95));
        state.counters["pub_cpu_ms"] = diagnostics.cpu_ms();
        state.counters["written_ms"] = diagnostics.written_ms();
        state.counters["pub_cpu_pct"] = 100.0 * diagnostics.cpu_ms() / period_ms;
        state.counters["proc_cpu_ms"] =
            published > 0 ? 1000.0 * static_cast<double>(ticks) / sysconf(_SC_CLK_TCK) / published
                          : 0;
        state.counters["lost_full"] =
            diagnostics.total("frames lost: frame buffer full") - overflowed_before;
        state.counters["lost_incomplete"] =
            diagnostics.total("frames lost: incomplete or undescribable") - incomplete_before;
        state.counters["fps"] = published / seconds / cameras;
        state.counters["dropped"] =
            diagnostics.total("publications dropped: publisher busy") - dropped_before;
    }
}

}  // namespace

BENCHMARK(BM_Publish)
    ->ArgNames({"cameras", "points"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({4, 0})
    ->Args({4, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

int main(int argc, char **argv) {
    setenv("CYCLONEDDS_URI", "file://" LUMOX_DDS_CONFIG, 1);
    if (argc == 6 && std::strcmp(argv[1], "--bare-writer") == 0)
        bare_writer(static_cast<uint32_t>(std::atoi(argv[2])), std::atoi(argv[3]),
                    std::atoi(argv[4]) != 0, std::atof(argv[5]));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
