// The live viewer's server against a virtual camera, through HTTP as the page uses it: the page
// and live frames, the statistics with the frames lost and why, and controls that reach the
// camera and answer with the value read back.

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

#include <httplib.h>

#include "evk_camera_fixture.h"
#include "view_server.h"

namespace lumox::test {
namespace {

using lumox_cli::ViewFrameHeader;
using lumox_cli::ViewOptions;
using lumox_cli::ViewServer;

class ViewServerTest : public EvkCameraTest {
  protected:
    ViewServerTest() { view_options_.port = 0; }

    void SetUp() override {
        EvkCameraTest::SetUp();
        server_ = std::make_unique<ViewServer>(&dev_, view_options_);
        std::string error;
        ASSERT_TRUE(server_->start(&error)) << error;
        client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
        // A loaded host (or a sanitizer build, which decodes a frame in seconds while the
        // device is held) answers late: the wait ends as soon as the answer is there.
        client_->set_read_timeout(30, 0);
    }
    void TearDown() override {
        client_.reset();
        server_.reset();
        EvkCameraTest::TearDown();
    }

    // The next frame after `after`: its header, and the message's size.
    ViewFrameHeader frame(uint32_t after, size_t *size = nullptr) {
        ViewFrameHeader h{};
        auto res = client_->Get(("/frame?after=" + std::to_string(after)).c_str());
        EXPECT_TRUE(res);
        if (!res || res->status != 200 || res->body.size() < sizeof h) return h;
        std::memcpy(&h, res->body.data(), sizeof h);
        if (size) *size = res->body.size();
        last_body_ = res->body;
        return h;
    }

    std::string post(const std::string &name, const std::string &value, int *status = nullptr) {
        auto res = client_->Post("/control?name=" + name + "&value=" + value,
                                 httplib::Headers{{"X-Lumox-View", "1"}});
        EXPECT_TRUE(res);
        if (!res) return {};
        if (status) *status = res->status;
        return res->body;
    }

    std::string stats() {
        auto res = client_->Get("/stats");
        EXPECT_TRUE(res && res->status == 200);
        return res ? res->body : std::string();
    }

    // Waits until cond holds, at most 30 s: on a loaded host the server's state comes late.
    static bool eventually(const std::function<bool()> &cond) {
        return wait_until(cond, std::chrono::seconds(30));
    }

    ViewOptions view_options_;
    std::unique_ptr<ViewServer> server_;
    std::unique_ptr<httplib::Client> client_;
    std::string last_body_;
};

TEST_F(ViewServerTest, ServesThePageAndLiveFramesWithTheirLosses) {
    auto page = client_->Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("<canvas id=\"cloud\""), std::string::npos);
    for (const char *asset : {"/viewer.js", "/pointcloud.js", "/viewer.css"}) {
        auto res = client_->Get(asset);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200) << asset;
    }

    size_t size = 0;
    const ViewFrameHeader first = frame(0, &size);
    ASSERT_EQ(first.magic, lumox_cli::kViewFrameMagic);
    ASSERT_EQ(first.width, 320);
    ASSERT_EQ(first.height, 240);
    EXPECT_EQ(size, sizeof first + 4u * 320 * 240);
    EXPECT_LE(first.arrival_ms, first.ready_ms);
    const ViewFrameHeader next = frame(first.seq);
    EXPECT_GT(next.seq, first.seq);
    EXPECT_NE(next.frame_idx, first.frame_idx);

    // One corrupted segment costs a frame: the statistics say so and why.
    camera().fault_stream(vcam::StreamFault::kCorruptData, 1);
    ASSERT_TRUE(eventually([&] { return stats().find("\"discarded\":0,") == std::string::npos; }));
    const std::string s = stats();
    EXPECT_NE(s.find("\"capturing\":true"), std::string::npos) << s;
    EXPECT_NE(s.find("\"product\":\"LXC660-E2-2.0.3\""), std::string::npos) << s;
    EXPECT_NE(s.find("\"frame_rate\":20"), std::string::npos) << s;

    auto rays = client_->Get("/rays?w=320&h=240");
    ASSERT_TRUE(rays);
    ASSERT_EQ(rays->body.size(), 12u * 320 * 240);
    float centre[3];
    std::memcpy(centre, rays->body.data() + 12 * (120 * 320 + 160), sizeof centre);
    EXPECT_NEAR(centre[0] * centre[0] + centre[1] * centre[1] + centre[2] * centre[2], 1.0f, 1e-3f);
    EXPECT_GT(centre[2], 0.99f);  // the middle of the image looks straight ahead
    EXPECT_EQ(client_->Get("/rays?w=0&h=240")->status, 400);
}

TEST_F(ViewServerTest, ControlsReachTheCameraAndAnswerWithTheValueReadBack) {
    const std::string rate = post("frame_rate", "10");
    EXPECT_NE(rate.find("\"read_back\":10"), std::string::npos) << rate;
    EXPECT_EQ(camera().param(vcam::kParamFrameRate)[0], 10);
    const std::string intg_time = post("integration_time", "900");
    EXPECT_NE(intg_time.find("\"read_back\":900"), std::string::npos) << intg_time;
    const auto intg = camera().param(vcam::kParamIntgTime);
    ASSERT_GE(intg.size(), 2u);
    EXPECT_EQ(intg[0] | intg[1] << 8, 900);

    // Index 1 is 24 MHz: the sensor's divider becomes 0 (index 2, 12 MHz, has 1).
    EXPECT_NE(post("modulation", "1").find("\"read_back\":24000"), std::string::npos);
    EXPECT_EQ(camera().reg(1, 133) & 0x1F, 0u);
    EXPECT_TRUE(
        eventually([&] { return stats().find("\"modulation_khz\":24000") != std::string::npos; }));

    // Filters answer with the driver's verdict; DRNU needs a calibration this camera lacks.
    EXPECT_NE(post("filter_4", "120").find("\"ok\":true,\"enabled\":true,\"value\":120"),
              std::string::npos);
    int refused = 0;
    EXPECT_NE(post("filter_1", "on", &refused).find("the camera stores no calibration"),
              std::string::npos);
    EXPECT_EQ(refused, 409);
    EXPECT_NE(post("filter_2", "off").find("\"ok\":true"), std::string::npos);

    // The frame rate is in force after the capture restarted for it.
    uint32_t seq = frame(0).seq;
    for (int i = 0; i < 3; ++i) seq = frame(seq).seq;
    EXPECT_TRUE(eventually([&] { return stats().find("\"frame_rate\":10") != std::string::npos; }))
        << stats();

    int status = 0;
    for (const auto &[name, value] : {std::pair{"frame_rate", "fast"},
                                      {"frame_rate", "0"},
                                      {"integration_time", "70000"},
                                      {"modulation", "7"},
                                      {"filter_3", "on"},
                                      {"filter_4", "-1"},
                                      {"volume", "11"}}) {
        post(name, value, &status);
        EXPECT_EQ(status, 400) << name << "=" << value;
    }
    // Without the page's header (a form on another site): refused, nothing changed.
    auto forged = client_->Post("/control?name=frame_rate&value=5");
    ASSERT_TRUE(forged);
    EXPECT_EQ(forged->status, 403);
    EXPECT_EQ(camera().param(vcam::kParamFrameRate)[0], 10);
}

TEST_F(ViewServerTest, StopAndStartTheCapture) {
    ASSERT_TRUE(eventually([&] { return camera().capturing(); }));
    EXPECT_NE(post("capture", "0").find("\"ok\":true"), std::string::npos);
    ASSERT_TRUE(eventually([&] { return !camera().capturing(); }));
    ASSERT_TRUE(
        eventually([&] { return stats().find("\"capturing\":false") != std::string::npos; }));
    post("capture", "1");
    ASSERT_TRUE(eventually([&] { return camera().capturing(); }));
    const uint32_t seq = frame(0).seq;
    EXPECT_GT(frame(seq).seq, seq);
}

// What the server hands a recorder, kept for the test to look at.
struct Recorded {
    std::atomic<int> made{0};
    std::atomic<bool> capturing_when_made{false};
    std::atomic<int> frames{0};
    std::atomic<bool> sizes_right{true};
    std::atomic<bool> closed{false};
    std::vector<std::string> filters;  // written before the frames, read after
};

class FakeRecorder : public lumox_cli::ViewRecorder {
  public:
    explicit FakeRecorder(Recorded *r) : r_(r) {}
    bool append(const lumox_frame_info &info, const lx_raw_frame_info &raw, const uint8_t *,
                size_t size, int64_t, int64_t wall_ns, std::string *) override {
        if (size != info.frame_size || raw.frlen != info.frame_size || wall_ns <= 0)
            r_->sizes_right = false;
        ++r_->frames;
        return true;
    }
    bool close(std::string *) override {
        r_->closed = true;
        return true;
    }
    const std::string &path() const override { return path_; }

  private:
    Recorded *r_;
    std::string path_ = "take1.h5";
};

class ViewRecordTest : public ViewServerTest {
  protected:
    ViewRecordTest() {
        view_options_.recorder = [this](lumox_dev_t *, const std::vector<std::string> &filters,
                                        std::string *) {
            recorded_.filters = filters;
            recorded_.capturing_when_made = camera().capturing();
            ++recorded_.made;
            return std::make_unique<FakeRecorder>(&recorded_);
        };
    }
    Recorded recorded_;
};

TEST_F(ViewRecordTest, RecordButtonRecordsTheRawFramesUntilStopped) {
    EXPECT_NE(stats().find("\"recording\":{\"available\":true,\"active\":false"),
              std::string::npos);
    post("filter_4", "80");
    post("filter_2", "off");
    post("record", "1");
    ASSERT_TRUE(eventually([&] { return recorded_.frames >= 5; }));
    EXPECT_EQ(recorded_.filters, (std::vector<std::string>{"2=off", "4=80"}));
    EXPECT_FALSE(recorded_.capturing_when_made);  // described while the camera stood still
    EXPECT_TRUE(recorded_.sizes_right);
    EXPECT_NE(stats().find("\"active\":true,\"path\":\"take1.h5\""), std::string::npos);
    post("record", "1");  // already recording: the same recording goes on
    post("record", "0");
    ASSERT_TRUE(eventually([&] { return recorded_.closed.load(); }));
    const int frames = recorded_.frames;
    uint32_t seq = frame(0).seq;
    seq = frame(seq).seq;
    frame(seq);
    EXPECT_EQ(recorded_.frames, frames);
    EXPECT_EQ(recorded_.made, 1);
}

TEST_F(ViewServerTest, WithoutARecorderThereIsNoRecordButton) {
    EXPECT_NE(stats().find("\"recording\":{\"available\":false"), std::string::npos);
    int status = 0;
    post("record", "1", &status);
    EXPECT_EQ(status, 400);
}

TEST_F(ViewServerTest, ABoundPortIsReportedNotTaken) {
    ViewOptions options;
    options.port = server_->port();
    ViewServer second(&dev_, options);
    std::string error;
    EXPECT_FALSE(second.start(&error));
    EXPECT_NE(error.find(std::to_string(server_->port())), std::string::npos) << error;
}

// A viewer whose camera is pulled out and plugged back in: the reconnect (what `lumox view
// --reconnect-timeout` does with the hot-plug events) closes the camera, waits for it and
// reopens it by serial.
class ViewReconnectTest : public ViewServerTest {
  protected:
    ViewReconnectTest() {
        view_options_.reconnect = [this](lumox_dev_t *dev, const std::function<bool()> &stop,
                                         std::mutex *dev_mutex) {
            {
                std::lock_guard lock(*dev_mutex);
                lumox_dev_close(dev);
            }
            if (!eventually([&] { return stop() || replugged_.load(); }) || stop()) return false;
            std::lock_guard lock(*dev_mutex);
            return lumox_dev_open_serial(dev, "VC00001") != nullptr;
        };
    }
    std::atomic<bool> replugged_{false};
};

TEST_F(ViewReconnectTest, TheViewerWaitsForItsCameraAndShowsItsFramesAgain) {
    const ViewFrameHeader before = frame(0);
    ASSERT_EQ(before.magic, lumox_cli::kViewFrameMagic);
    EXPECT_NE(stats().find("\"state\":\"connected\",\"serial\":\"VC00001\""), std::string::npos);
    unplug();
    ASSERT_TRUE(eventually([&] {
        return stats().find("\"state\":\"waiting\"") != std::string::npos;
    })) << stats();
    replug();
    replugged_ = true;
    ASSERT_TRUE(eventually([&] { return stats().find("\"reconnects\":1,") != std::string::npos; }))
        << stats();
    const std::string s = stats();
    EXPECT_NE(s.find("\"state\":\"connected\""), std::string::npos) << s;
    EXPECT_EQ(s.find("\"last_gap_s\":0}"), std::string::npos) << s;  // the gap is reported
    const uint32_t latest = frame(0).seq;
    const ViewFrameHeader after = frame(latest);
    EXPECT_GT(after.seq, latest) << "frames again after the replug";
    EXPECT_EQ(after.width, 320);
}

}  // namespace
}  // namespace lumox::test
