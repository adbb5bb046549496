// lumox publish end to end: two publishers on the two cameras of `lumox-vcam --cameras 2`, one
// subscriber (this test) on a loopback-only DDS domain. Checks the topics, types, encodings, sizes
// and stamps of what arrives, the camera model and points against the library's own answers for
// the same camera, the diagnostics and the static transform, and that a publisher stopped by
// SIGTERM ends cleanly. Leaves one serialized sample of each kind, with what DDS decoded from it,
// in the directory of --samples for the independent decoding test (decode_test.js).
//
// PublishAcrossAnUnplug: one publisher on a camera that the virtual bus pulls out and plugs back
// in while it publishes.
//
// Run under lumox-vcam (--cameras 2 for PublishE2E, an unplug schedule for PublishAcrossAnUnplug)
// with LUMOX_CLI naming the lumox program.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lumox/lumox.h"
#include "ros2/node.h"
#include "ros2_msgs.h"

namespace {

namespace ros2 = lumox::ros2;
using Clock = std::chrono::steady_clock;

std::string g_samples_dir;

uint64_t fnv1a(const uint8_t *p, size_t n) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
    return h;
}

// A small JSON writer for the expected values of the decode test.
class Json {
  public:
    Json &key(const char *k) {
        sep();
        out_ += '"' + std::string(k) + "\":";
        fresh_ = true;
        return *this;
    }
    Json &str(const char *v) {
        sep();
        out_ += '"';
        for (const char *c = v; *c; ++c) {
            if (*c == '"' || *c == '\\') out_ += '\\';
            out_ += *c;
        }
        out_ += '"';
        return *this;
    }
    Json &num(double v) {
        sep();
        char t[40];
        if (std::isnan(v)) {
            std::snprintf(t, sizeof t, "\"NaN\"");
        } else {
            std::snprintf(t, sizeof t, "%.17g", v);
        }
        out_ += t;
        return *this;
    }
    Json &bytes(const uint8_t *p, size_t n) {
        char t[40];
        std::snprintf(t, sizeof t, "%016llx", static_cast<unsigned long long>(fnv1a(p, n)));
        return open('{').key("length").num(static_cast<double>(n)).key("fnv1a").str(t).close('}');
    }
    Json &open(char c) {
        sep();
        out_ += c;
        fresh_ = true;
        return *this;
    }
    Json &close(char c) {
        out_ += c;
        fresh_ = false;
        return *this;
    }
    const std::string &text() const { return out_; }

  private:
    void sep() {
        if (!fresh_ && !out_.empty()) out_ += ',';
        fresh_ = false;
    }
    std::string out_;
    bool fresh_ = true;
};

void header_json(Json &j, const std_msgs_msg_dds__Header_ &h) {
    j.key("header").open('{').key("stamp").open('{');
    j.key("sec").num(h.stamp.sec).key("nanosec").num(h.stamp.nanosec).close('}');
    j.key("frame_id").str(h.frame_id).close('}');
}

std::string image_json(const sensor_msgs_msg_dds__Image_ &m) {
    Json j;
    j.open('{');
    header_json(j, m.header);
    j.key("height").num(m.height).key("width").num(m.width).key("encoding").str(m.encoding);
    j.key("is_bigendian").num(m.is_bigendian).key("step").num(m.step);
    j.key("data").bytes(m.data._buffer, m.data._length);
    return j.close('}').text();
}

std::string info_json(const sensor_msgs_msg_dds__CameraInfo_ &m) {
    Json j;
    j.open('{');
    header_json(j, m.header);
    j.key("height").num(m.height).key("width").num(m.width);
    j.key("distortion_model").str(m.distortion_model);
    j.key("d").open('[');
    for (uint32_t i = 0; i < m.d._length; ++i) j.num(m.d._buffer[i]);
    j.close(']');
    auto arr = [&](const char *k, const double *v, int n) {
        j.key(k).open('[');
        for (int i = 0; i < n; ++i) j.num(v[i]);
        j.close(']');
    };
    arr("k", m.k, 9);
    arr("r", m.r, 9);
    arr("p", m.p, 12);
    j.key("binning_x").num(m.binning_x).key("binning_y").num(m.binning_y);
    j.key("roi").open('{').key("x_offset").num(m.roi.x_offset).key("y_offset").num(m.roi.y_offset);
    j.key("height").num(m.roi.height).key("width").num(m.roi.width);
    j.key("do_rectify").num(m.roi.do_rectify).close('}');
    return j.close('}').text();
}

std::string cloud_json(const sensor_msgs_msg_dds__PointCloud2_ &m) {
    Json j;
    j.open('{');
    header_json(j, m.header);
    j.key("height").num(m.height).key("width").num(m.width).key("fields").open('[');
    for (uint32_t i = 0; i < m.fields._length; ++i) {
        const auto &f = m.fields._buffer[i];
        j.open('{').key("name").str(f.name).key("offset").num(f.offset);
        j.key("datatype").num(f.datatype).key("count").num(f.count).close('}');
    }
    j.close(']').key("is_bigendian").num(m.is_bigendian).key("point_step").num(m.point_step);
    j.key("row_step").num(m.row_step).key("data").bytes(m.data._buffer, m.data._length);
    j.key("is_dense").num(m.is_dense);
    return j.close('}').text();
}

std::string diagnostics_json(const diagnostic_msgs_msg_dds__DiagnosticArray_ &m) {
    Json j;
    j.open('{');
    header_json(j, m.header);
    j.key("status").open('[');
    for (uint32_t i = 0; i < m.status._length; ++i) {
        const auto &s = m.status._buffer[i];
        j.open('{').key("level").num(s.level).key("name").str(s.name);
        j.key("message").str(s.message).key("hardware_id").str(s.hardware_id);
        j.key("values").open('[');
        for (uint32_t k = 0; k < s.values._length; ++k)
            j.open('{')
                .key("key")
                .str(s.values._buffer[k].key)
                .key("value")
                .str(s.values._buffer[k].value)
                .close('}');
        j.close(']').close('}');
    }
    return j.close(']').close('}').text();
}

std::string tf_json(const tf2_msgs_msg_dds__TFMessage_ &m) {
    Json j;
    j.open('{').key("transforms").open('[');
    for (uint32_t i = 0; i < m.transforms._length; ++i) {
        const auto &t = m.transforms._buffer[i];
        j.open('{');
        header_json(j, t.header);
        j.key("child_frame_id").str(t.child_frame_id).key("transform").open('{');
        const auto &tr = t.transform.translation;
        const auto &r = t.transform.rotation;
        j.key("translation").open('{').key("x").num(tr.x).key("y").num(tr.y).key("z").num(tr.z);
        j.close('}').key("rotation").open('{').key("x").num(r.x).key("y").num(r.y);
        j.key("z").num(r.z).key("w").num(r.w).close('}').close('}').close('}');
    }
    return j.close(']').close('}').text();
}

std::set<std::string> g_saved;

// Leaves a sample for decode_test.js: NAME.cdr (the bytes off the wire), NAME.json (what DDS
// decoded from them) and the ROS type in NAME.type.
void save_sample(const std::string &name, const char *ros_type, const std::vector<uint8_t> &cdr,
                 const std::string &json) {
    if (g_samples_dir.empty() || !g_saved.insert(name).second) return;
    std::ofstream(g_samples_dir + "/" + name + ".cdr", std::ios::binary)
        .write(reinterpret_cast<const char *>(cdr.data()),
               static_cast<std::streamsize>(cdr.size()));
    std::ofstream(g_samples_dir + "/" + name + ".json") << json;
    std::ofstream(g_samples_dir + "/" + name + ".type") << ros_type;
}

int64_t stamp_ns(const std_msgs_msg_dds__Header_ &h) {
    return static_cast<int64_t>(h.stamp.sec) * 1000000000 + h.stamp.nanosec;
}

// What arrived on one camera's topics, by stamp.
struct Received {
    std::map<int64_t, std::vector<float>> depth32;     // 32FC1 metres
    std::map<int64_t, std::vector<uint16_t>> depth16;  // 16UC1 millimetres
    std::map<int64_t, std::vector<uint16_t>> amplitude;
    std::map<int64_t, std::vector<float>> points;              // x y z intensity per point
    std::map<int64_t, sensor_msgs_msg_dds__CameraInfo_> info;  // pointers cleared
    std::map<int64_t, uint32_t> cloud_width, cloud_height;
    uint32_t width = 0, height = 0;
    std::vector<std::string> diagnostics_keys;
    std::map<std::string, std::string> last_diagnostics;
    int diagnostics = 0;
    double rate = 0;  // the last non-zero frame rate the diagnostics measured
};

struct Publisher {
    pid_t pid = -1;
    std::string log;
};

Publisher start_publisher(const std::vector<std::string> &args, const std::string &log,
                          const char *ros_domain) {
    Publisher p;
    p.log = log;
    p.pid = fork();
    if (p.pid == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        if (ros_domain) setenv("ROS_DOMAIN_ID", ros_domain, 1);
        // The library's own log beside the publisher's output, for a failure's message.
        std::vector<std::string> all = args;
        all.insert(all.begin() + 2, {"--log", log + ".library"});
        std::vector<char *> argv;
        for (const std::string &a : all) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return p;
}

// Exit status after SIGTERM, or -1 when it did not end within the time.
int stop_publisher(Publisher &p) {
    kill(p.pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (Clock::now() < deadline) {
        const pid_t r = waitpid(p.pid, &status, WNOHANG);
        if (r == p.pid) {
            p.pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        usleep(20000);
    }
    kill(p.pid, SIGKILL);
    waitpid(p.pid, &status, 0);
    p.pid = -1;
    return -1;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// What a publisher said, with the errors and warnings of its library log.
std::string said(const Publisher &p) {
    std::string text = read_file(p.log);
    std::ifstream in(p.log + ".library");
    int kept = 0;
    for (std::string line; std::getline(in, line) && kept < 30;) {
        if (line.find("[ERR]") != std::string::npos || line.find("[WRN]") != std::string::npos) {
            text += "  library: " + line + "\n";
            ++kept;
        }
    }
    return text;
}

class PublishE2E : public ::testing::Test {
  protected:
    void TearDown() override {
        for (Publisher *p : {&a_, &b_})
            if (p->pid > 0) stop_publisher(*p);
    }
    Publisher a_, b_;
};

TEST_F(PublishE2E, TwoCamerasOnTheBusAsRos2Topics) {
    const char *cli = std::getenv("LUMOX_CLI");
    ASSERT_TRUE(cli) << "LUMOX_CLI names the lumox program";
    // A domain of this run's own, so that runs side by side do not hear each other.
    const uint32_t domain = 1 + static_cast<uint32_t>(getpid()) % 200;
    const std::string dir = g_samples_dir.empty() ? "." : g_samples_dir;

    // The two cameras: where they are and camera A's serial (read before the publishers hold
    // them).
    lumox_init("/dev/null");
    lumox_dev_t list[4] = {};
    ASSERT_EQ(lumox_dev_list(list, 4), 2);
    lumox_dev_t cam_a = list[0], cam_b = list[1];
    lumox_path_cfg((dir + "/").c_str());
    ASSERT_TRUE(lumox_dev_open(&cam_a));
    const std::string serial(cam_a.id2, strnlen(cam_a.id2, sizeof cam_a.id2));
    lumox_dev_close(&cam_a);
    ASSERT_FALSE(serial.empty());
    const std::string ns_a = "/lumox/" + serial;  // the vcam's serials are valid ROS tokens
    const std::string frame_a = "lumox_" + serial + "_optical_frame";
    auto where = [](const lumox_dev_t &d) {
        return std::to_string(d.bus) + ":" + std::to_string(d.port);
    };

    // A, chosen by serial: default namespace, 32FC1, organised points, reliable, the domain from
    // ROS_DOMAIN_ID. B, chosen by bus and port: its own namespace and frame id, 16UC1, dense
    // points, best effort, --domain.
    a_ = start_publisher({cli, "publish", "--serial", serial, "--depth-encoding", "32FC1",
                          "--calib", dir + "/calib_a"},
                         dir + "/publisher_a.log", std::to_string(domain).c_str());
    b_ = start_publisher({cli, "publish", "--device", where(cam_b), "--namespace", "/cam_b",
                          "--frame-id", "cam_b_depth", "--qos", "sensor-data", "--points", "dense",
                          "--domain", std::to_string(domain), "--calib", dir + "/calib_b"},
                         dir + "/publisher_b.log", nullptr);

    std::string error;
    auto node = ros2::Node::create(domain, &error);
    ASSERT_TRUE(node) << error;
    const ros2::TopicQos reliable = ros2::default_qos();
    const ros2::TopicQos best_effort = ros2::sensor_data_qos();
    ros2::TopicQos tf_qos = ros2::static_transform_qos();
    tf_qos.depth = 10;
    struct Sub {
        std::string name;  // sample file prefix
        int camera;        // 0: A, 1: B, -1: shared topic
        std::unique_ptr<ros2::Reader> reader;
    };
    std::vector<Sub> subs;
    auto sub = [&](const std::string &name, int camera, const std::string &topic,
                   const dds_topic_descriptor_t *type, const ros2::TopicQos &q) {
        auto r = ros2::Reader::create(*node, topic, type, q, &error);
        ASSERT_TRUE(r) << error;
        subs.push_back({name, camera, std::move(r)});
    };
    for (int c = 0; c < 2; ++c) {
        const std::string ns = c == 0 ? ns_a : "/cam_b";
        const ros2::TopicQos &q = c == 0 ? reliable : best_effort;
        sub("depth", c, ns + "/depth/image_raw", &sensor_msgs_msg_dds__Image__desc, q);
        sub("camera_info", c, ns + "/depth/camera_info", &sensor_msgs_msg_dds__CameraInfo__desc, q);
        sub("amplitude", c, ns + "/amplitude/image_raw", &sensor_msgs_msg_dds__Image__desc, q);
        sub("points", c, ns + "/points", &sensor_msgs_msg_dds__PointCloud2__desc, q);
    }
    sub("diagnostics", -1, "/diagnostics", &diagnostic_msgs_msg_dds__DiagnosticArray__desc,
        reliable);
    sub("tf_static", -1, "/tf_static", &tf2_msgs_msg_dds__TFMessage__desc, tf_qos);

    dds_entity_t waitset = dds_create_waitset(node->participant());
    for (Sub &s : subs) {
        const dds_entity_t cond = dds_create_readcondition(s.reader->entity(), DDS_ANY_STATE);
        dds_waitset_attach(waitset, cond, 0);
    }

    Received got[2];
    std::map<std::string, std::string> tf_children;  // child frame -> parent
    std::vector<double> tf_rotation;
    std::set<std::string> diag_names;
    auto enough = [&] {
        for (const Received &r : got) {
            if (r.points.size() < 3 || r.info.size() < 3 || r.amplitude.size() < 3 ||
                r.diagnostics < 2 || r.rate == 0)
                return false;
        }
        return tf_children.size() >= 2;
    };
    auto take_all = [&] {
        for (Sub &s : subs) {
            s.reader->take([&](const std::vector<uint8_t> &cdr, const void *sample) {
                // CDR, little-endian: ROS 2 reads only this representation.
                ASSERT_GE(cdr.size(), 4u);
                EXPECT_EQ(cdr[0], 0x00);
                EXPECT_EQ(cdr[1], 0x01);
                const std::string suffix = s.camera == 1 ? "_b" : "";
                if (s.name == "depth" || s.name == "amplitude") {
                    const auto &m = *static_cast<const sensor_msgs_msg_dds__Image_ *>(sample);
                    Received &r = got[s.camera];
                    r.width = m.width;
                    r.height = m.height;
                    EXPECT_EQ(m.header.frame_id, std::string(s.camera ? "cam_b_depth" : frame_a));
                    EXPECT_EQ(m.is_bigendian, 0);
                    const int64_t t = stamp_ns(m.header);
                    const bool f32 = s.name == "depth" && s.camera == 0;
                    EXPECT_STREQ(m.encoding, f32 ? "32FC1" : "16UC1");
                    EXPECT_EQ(m.step, m.width * (f32 ? 4 : 2));
                    ASSERT_EQ(m.data._length, m.step * m.height);
                    if (f32) {
                        std::vector<float> v(m.width * m.height);
                        std::memcpy(v.data(), m.data._buffer, m.data._length);
                        r.depth32[t] = v;
                    } else {
                        std::vector<uint16_t> v(m.width * m.height);
                        std::memcpy(v.data(), m.data._buffer, m.data._length);
                        (s.name == "depth" ? r.depth16 : r.amplitude)[t] = v;
                    }
                    save_sample(s.name + suffix, "sensor_msgs/msg/Image", cdr, image_json(m));
                } else if (s.name == "camera_info") {
                    auto m = *static_cast<const sensor_msgs_msg_dds__CameraInfo_ *>(sample);
                    save_sample(s.name + suffix, "sensor_msgs/msg/CameraInfo", cdr, info_json(m));
                    EXPECT_STREQ(m.distortion_model, "plumb_bob");
                    EXPECT_EQ(m.d._length, 5u);
                    m.header.frame_id = nullptr;
                    m.distortion_model = nullptr;
                    m.d = {};
                    got[s.camera].info[stamp_ns(m.header)] = m;
                } else if (s.name == "points") {
                    const auto &m = *static_cast<const sensor_msgs_msg_dds__PointCloud2_ *>(sample);
                    Received &r = got[s.camera];
                    save_sample(s.name + suffix, "sensor_msgs/msg/PointCloud2", cdr, cloud_json(m));
                    ASSERT_EQ(m.fields._length, 4u);
                    const char *names[] = {"x", "y", "z", "intensity"};
                    for (uint32_t i = 0; i < 4; ++i) {
                        EXPECT_STREQ(m.fields._buffer[i].name, names[i]);
                        EXPECT_EQ(m.fields._buffer[i].offset, 4 * i);
                        EXPECT_EQ(m.fields._buffer[i].datatype, 7);  // FLOAT32
                        EXPECT_EQ(m.fields._buffer[i].count, 1u);
                    }
                    EXPECT_EQ(m.point_step, 16u);
                    EXPECT_EQ(m.row_step, 16u * m.width);
                    ASSERT_EQ(m.data._length, m.row_step * m.height);
                    EXPECT_EQ(m.is_dense, s.camera == 1);
                    std::vector<float> v(m.data._length / 4);
                    std::memcpy(v.data(), m.data._buffer, m.data._length);
                    const int64_t t = stamp_ns(m.header);
                    r.points[t] = v;
                    r.cloud_width[t] = m.width;
                    r.cloud_height[t] = m.height;
                } else if (s.name == "diagnostics") {
                    const auto &m =
                        *static_cast<const diagnostic_msgs_msg_dds__DiagnosticArray_ *>(sample);
                    ASSERT_EQ(m.status._length, 1u);
                    const auto &st = m.status._buffer[0];
                    const int c = std::strstr(st.name, "/cam_b") ? 1 : 0;
                    diag_names.insert(st.name);
                    Received &r = got[c];
                    if (c == 0)
                        save_sample("diagnostics", "diagnostic_msgs/msg/DiagnosticArray", cdr,
                                    diagnostics_json(m));
                    ++r.diagnostics;
                    r.diagnostics_keys.clear();
                    for (uint32_t k = 0; k < st.values._length; ++k) {
                        r.diagnostics_keys.push_back(st.values._buffer[k].key);
                        r.last_diagnostics[st.values._buffer[k].key] = st.values._buffer[k].value;
                    }
                    // The first reports of a run come before two frames have been timed.
                    const double rate =
                        std::stod(r.last_diagnostics["frame rate measured (frames/s)"]);
                    if (rate > 0) r.rate = rate;
                    if (c == 0) {
                        EXPECT_EQ(std::string(st.hardware_id), serial);
                    }
                } else if (s.name == "tf_static") {
                    const auto &m = *static_cast<const tf2_msgs_msg_dds__TFMessage_ *>(sample);
                    ASSERT_EQ(m.transforms._length, 1u);
                    const auto &t = m.transforms._buffer[0];
                    save_sample("tf_static", "tf2_msgs/msg/TFMessage", cdr, tf_json(m));
                    tf_children[t.child_frame_id] = t.header.frame_id;
                    const auto &q = t.transform.rotation;
                    tf_rotation = {q.x, q.y, q.z, q.w};
                }
            });
        }
    };
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (!enough() && Clock::now() < deadline) {
        dds_waitset_wait(waitset, nullptr, 0, DDS_MSECS(200));
        take_all();
    }
    ASSERT_TRUE(enough()) << "publisher A said:\n" << said(a_) << "publisher B said:\n" << said(b_);

    // Every frame's messages carry one stamp: the points' stamps are depth, info and amplitude
    // stamps too (a frame's messages can only be missing at the ends of the run).
    for (int c = 0; c < 2; ++c) {
        const Received &r = got[c];
        int common = 0;
        for (const auto &[t, amp] : r.amplitude) {
            const bool depth = c == 0 ? r.depth32.count(t) > 0 : r.depth16.count(t) > 0;
            if (depth && r.info.count(t) && r.points.count(t)) ++common;
        }
        EXPECT_GE(common, 2) << "camera " << c;
        // Stamps are the host's wall clock of this run.
        const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        EXPECT_LT(std::llabs(now - r.amplitude.begin()->first), 120ll * 1000000000);
    }
    // B: the dense cloud holds exactly the pixels with a distance in the depth image, each
    // intensity the amplitude image's value.
    for (const auto &[t, pts] : got[1].points) {
        if (!got[1].depth16.count(t) || !got[1].amplitude.count(t)) continue;
        const auto &mm = got[1].depth16.at(t);
        const auto &amp = got[1].amplitude.at(t);
        EXPECT_EQ(got[1].cloud_height.at(t), 1u);
        size_t valid = 0, at = 0;
        for (size_t i = 0; i < mm.size(); ++i) {
            if (mm[i] == 0) continue;
            ++valid;
            if (4 * at + 3 < pts.size()) {
                EXPECT_FALSE(std::isnan(pts[4 * at + 2]));
                EXPECT_EQ(std::lround(pts[4 * at + 3]), amp[i]) << "pixel " << i;
            }
            ++at;
        }
        EXPECT_EQ(valid, got[1].cloud_width.at(t));
        EXPECT_GT(valid, mm.size() / 2);
    }
    // Diagnostics: one status per camera with the counters; no frame arrives incomplete.
    EXPECT_TRUE(diag_names.count("lumox publish: " + ns_a));
    EXPECT_TRUE(diag_names.count("lumox publish: /cam_b"));
    for (const Received &r : got) {
        // A capture thread that a starved host does not run for a few frame periods loses
        // frames to the full buffer: reported, not asserted away.
        EXPECT_GE(std::stol(r.last_diagnostics.at("frames lost: frame buffer full")), 0);
        EXPECT_EQ(r.last_diagnostics.at("frames lost: incomplete or undescribable"), "0");
        EXPECT_EQ(r.last_diagnostics.at("frame rate set (frames/s)"), "20");
        // The virtual cameras render on this host: a busy one slows them below the rate set.
        EXPECT_LT(r.rate, 30.0);
        EXPECT_NE(r.last_diagnostics.at("correction"), "");
        EXPECT_NE(r.last_diagnostics.at("sensor temperature (C)"), "0.0");
    }
    // The static transforms: each optical frame under its camera's body frame, REP-103.
    EXPECT_EQ(tf_children[frame_a], "lumox_" + serial + "_link");
    EXPECT_EQ(tf_children["cam_b_depth"], "cam_b_link");
    EXPECT_EQ(tf_rotation, (std::vector<double>{-0.5, 0.5, -0.5, 0.5}));

    // Stopping publisher A ends it cleanly, and its writers leave the bus.
    EXPECT_EQ(stop_publisher(a_), 0) << read_file(a_.log);
    const auto gone = Clock::now() + std::chrono::seconds(10);
    while (subs[0].reader->matched() != 0 && Clock::now() < gone)
        dds_waitset_wait(waitset, nullptr, 0, DDS_MSECS(100));
    EXPECT_EQ(subs[0].reader->matched(), 0u);
    take_all();

    // The camera is free again: its camera model and points, asked of the library here, are
    // what A published for the same frame.
    ASSERT_TRUE(lumox_dev_open(&cam_a));
    const Received &a = got[0];
    lumox_intrinsics in{};
    ASSERT_EQ(lumox_dev_get_intrinsics(&cam_a, a.width, a.height, &in), 1);
    const auto &info = a.info.begin()->second;
    EXPECT_EQ(info.width, a.width * in.binning_x);
    EXPECT_EQ(info.height, a.height * in.binning_y);
    EXPECT_EQ(info.binning_x, in.binning_x);
    EXPECT_EQ(info.binning_y, in.binning_y);
    const double bx = in.binning_x, by = in.binning_y;
    const double k[9] = {in.fx * bx, 0, in.cx * bx, 0, in.fy * by, in.cy * by, 0, 0, 1};
    for (int i = 0; i < 9; ++i) EXPECT_DOUBLE_EQ(info.k[i], k[i]) << "k[" << i << "]";
    const double p[12] = {in.fx * bx, 0, in.cx * bx, 0, 0, in.fy * by, in.cy * by, 0, 0, 0, 1, 0};
    for (int i = 0; i < 12; ++i) EXPECT_DOUBLE_EQ(info.p[i], p[i]) << "p[" << i << "]";
    for (int i = 0; i < 9; ++i) EXPECT_EQ(info.r[i], i % 4 == 0 ? 1.0 : 0.0);
    int compared = 0;
    for (const auto &[t, pts] : a.points) {
        if (!a.depth32.count(t) || !a.amplitude.count(t)) continue;
        std::vector<float> dist = a.depth32.at(t);
        std::vector<float> xyz(3 * dist.size());
        ASSERT_EQ(lumox_frame_get_points(&cam_a, xyz.data(), static_cast<uint32_t>(xyz.size()),
                                         dist.data(), static_cast<uint32_t>(dist.size()), a.width,
                                         a.height, LUMOX_POINTS_ORGANIZED),
                  static_cast<int32_t>(dist.size()));
        ASSERT_EQ(pts.size(), 4 * dist.size());
        EXPECT_EQ(a.cloud_height.at(t), a.height);
        const auto &amp = a.amplitude.at(t);
        for (size_t i = 0; i < dist.size(); ++i) {
            for (int c = 0; c < 3; ++c) {
                const float want = xyz[3 * i + c], have = pts[4 * i + c];
                ASSERT_TRUE(want == have || (std::isnan(want) && std::isnan(have)))
                    << "pixel " << i << " axis " << c << ": " << have << " != " << want;
            }
            EXPECT_EQ(std::lround(pts[4 * i + 3]), amp[i]);
        }
        ++compared;
    }
    EXPECT_GE(compared, 1);
    lumox_dev_close(&cam_a);
    lumox_uninit();

    EXPECT_EQ(stop_publisher(b_), 0) << read_file(b_.log);
    dds_delete(waitset);
}

// The diagnostics of one report, by key.
struct Report {
    int64_t stamp = 0;
    int level = 0;
    std::string message;
    std::map<std::string, std::string> values;
};

// A camera on firmware 1.9 (its per-pixel table on the host) is pulled out and plugged back in
// while it publishes: the diagnostics say it is gone and that the publisher waits, the depth
// images stop and go on, and the reopened camera has the settings of the command line again (its
// frame rate and the per-pixel correction, which opening alone leaves off).
TEST(PublishAcrossAnUnplug, ReportsTheDepartureAndGoesOnWithTheSameSettings) {
    const char *cli = std::getenv("LUMOX_CLI");
    ASSERT_TRUE(cli) << "LUMOX_CLI names the lumox program";
    // Domains of their own, apart from PublishE2E's.
    const uint32_t domain = 201 + static_cast<uint32_t>(getpid()) % 32;
    const std::string dir = g_samples_dir.empty() ? "." : g_samples_dir;
    mkdir(dir.c_str(), 0755);
    Publisher p = start_publisher({cli, "publish", "--serial", "VC00001", "--frame-rate", "10",
                                   "--points", "off", "--reconnect-timeout", "30", "--domain",
                                   std::to_string(domain), "--calib", dir + "/calib_unplug"},
                                  dir + "/publisher_unplug.log", nullptr);

    std::string error;
    auto node = ros2::Node::create(domain, &error);
    ASSERT_TRUE(node) << error;
    auto depth =
        ros2::Reader::create(*node, "/lumox/VC00001/depth/image_raw",
                             &sensor_msgs_msg_dds__Image__desc, ros2::default_qos(), &error);
    ASSERT_TRUE(depth) << error;
    auto diagnostics =
        ros2::Reader::create(*node, "/diagnostics", &diagnostic_msgs_msg_dds__DiagnosticArray__desc,
                             ros2::default_qos(), &error);
    ASSERT_TRUE(diagnostics) << error;
    dds_entity_t waitset = dds_create_waitset(node->participant());
    for (const auto *r : {depth.get(), diagnostics.get()})
        dds_waitset_attach(waitset, dds_create_readcondition(r->entity(), DDS_ANY_STATE), 0);

    std::vector<int64_t> frames;  // depth image stamps
    std::vector<Report> reports;
    // The first report of the camera gone. A loaded host can stall the stream before the unplug:
    // the publisher then reopens the camera too, so reconnects are counted from this report on.
    auto gone = [&]() -> const Report * {
        for (const Report &r : reports)
            if (r.values.at("camera") == "unplugged") return &r;
        return nullptr;
    };
    auto back = [&] {
        const Report *g = gone();
        return g && reports.back().values["camera"] == "streaming" &&
               std::stoi(reports.back().values["reconnects"]) >
                   std::stoi(g->values.at("reconnects")) &&
               frames.size() > 3 && frames.back() > reports.back().stamp;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (!back() && Clock::now() < deadline) {
        dds_waitset_wait(waitset, nullptr, 0, DDS_MSECS(200));
        depth->take([&](const std::vector<uint8_t> &, const void *sample) {
            frames.push_back(
                stamp_ns(static_cast<const sensor_msgs_msg_dds__Image_ *>(sample)->header));
        });
        diagnostics->take([&](const std::vector<uint8_t> &, const void *sample) {
            const auto &m = *static_cast<const diagnostic_msgs_msg_dds__DiagnosticArray_ *>(sample);
            ASSERT_EQ(m.status._length, 1u);
            const auto &st = m.status._buffer[0];
            Report r{stamp_ns(m.header), st.level, st.message, {}};
            for (uint32_t k = 0; k < st.values._length; ++k)
                r.values[st.values._buffer[k].key] = st.values._buffer[k].value;
            reports.push_back(r);
        });
    }
    ASSERT_TRUE(back()) << read_file(p.log);

    // Reports while streaming, then while waiting for the camera (an error), then streaming again.
    const Report *departure = gone();
    const Report *before = nullptr;
    for (const Report &r : reports) {
        if (&r == departure) break;
        if (r.values.at("camera") == "streaming" && r.values.at("frames received") != "0")
            before = &r;
    }
    ASSERT_TRUE(before && departure) << read_file(p.log);
    const Report &after = reports.back();
    EXPECT_EQ(departure->level, 2);
    EXPECT_EQ(departure->message, "camera unplugged: waiting up to 30 s for VC00001");
    EXPECT_EQ(after.level == 2, false) << after.message;
    EXPECT_GT(std::stod(after.values.at("last reconnect gap (s)")), 0.0);
    // The counters go on across the reopen, which starts the stream's own again.
    EXPECT_GT(std::stol(after.values.at("frames received")),
              std::stol(before->values.at("frames received")));
    // The same settings: the frame rate asked for (a camera plugged in again starts at 20) and
    // the per-pixel correction on the host.
    EXPECT_EQ(after.values.at("frame rate set (frames/s)"), "10");
    EXPECT_EQ(after.values.at("correction"), before->values.at("correction"));
    EXPECT_NE(after.values.at("correction").find("per-pixel table on the host"), std::string::npos)
        << after.values.at("correction");

    // Depth images before the departure and after the return, with the gap between.
    const auto first_after = std::upper_bound(frames.begin(), frames.end(), departure->stamp);
    ASSERT_NE(first_after, frames.begin());
    ASSERT_NE(first_after, frames.end());
    EXPECT_GT(*first_after - *(first_after - 1), 500ll * 1000000);

    EXPECT_EQ(stop_publisher(p), 0) << read_file(p.log);
    const std::string log = read_file(p.log);
    EXPECT_NE(log.find("camera VC00001 left (1:1)"), std::string::npos) << log;
    EXPECT_NE(log.find("lumox publish: camera VC00001 back after"), std::string::npos) << log;
    dds_delete(waitset);
}

}  // namespace

int main(int argc, char **argv) {
    // Every DDS participant of this test and of the publishers it starts stays on the loopback
    // interface, without multicast.
    setenv("CYCLONEDDS_URI", "file://" LUMOX_DDS_CONFIG, 1);
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--samples") g_samples_dir = argv[i + 1];
    return RUN_ALL_TESTS();
}
