#include "view_routes.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "view_assets.h"
#include "view_capture.h"
#include "view_controls.h"
#include "view_frames.h"
#include "view_lookups.h"
#include "view_stats.h"

namespace lumox_cli {
namespace {

// The largest image the sensor streams; a larger one only when the camera sends it.
constexpr long long kSensorWidth = 320;
constexpr long long kSensorHeight = 240;

// A slot of `slots` for this request, given back when the request's handler returns.
class Slot {
  public:
    explicit Slot(RequestSlots &slots) : slots_(slots), taken_(slots.take()) {}
    ~Slot() {
        if (taken_) slots_.give_back();
    }
    Slot(const Slot &) = delete;
    Slot &operator=(const Slot &) = delete;
    // False: none was free; the answer says to come back.
    bool taken(httplib::Response &res) const {
        if (taken_) return true;
        res.status = 503;
        res.set_header("Retry-After", "1");
        res.set_content("busy: too many such requests at once\n", "text/plain");
        return false;
    }

  private:
    RequestSlots &slots_;
    const bool taken_;
};

void serve_assets(httplib::Server &http) {
    for (size_t i = 0; i < kViewAssetCount; ++i) {
        const ViewAsset &a = kViewAssets[i];
        auto serve = [&a](const httplib::Request &, httplib::Response &res) {
            res.set_header("Cache-Control", "no-cache");
            res.set_content(reinterpret_cast<const char *>(a.data), a.size, a.type);
        };
        http.Get(a.path, serve);
        if (std::strcmp(a.path, "/index.html") == 0) http.Get("/", serve);
    }
}

void serve_frame(const ViewParts &p, const httplib::Request &req, httplib::Response &res) {
    const Slot slot(p.frame_waiters);
    if (!slot.taken(res)) return;
    long long after = 0;
    parse_decimal(req.get_param_value("after"), &after);
    std::shared_ptr<const std::string> msg =
        p.frames.wait_newer(static_cast<uint32_t>(after), p.options.limits.frame_wait);
    res.set_header("Cache-Control", "no-store");
    if (!msg) {
        res.status = 204;
        return;
    }
    res.set_content_provider(msg->size(), "application/octet-stream",
                             [msg](size_t offset, size_t length, httplib::DataSink &sink) {
                                 return sink.write(msg->data() + offset, length);
                             });
}

void serve_rays(const ViewParts &p, const httplib::Request &req, httplib::Response &res) {
    const ViewCounters c = p.stats.snapshot();
    const long long max_w = std::max<long long>(kSensorWidth, c.width);
    const long long max_h = std::max<long long>(kSensorHeight, c.height);
    long long w = 0;
    long long h = 0;
    if (!parse_decimal(req.get_param_value("w"), &w) ||
        !parse_decimal(req.get_param_value("h"), &h) || w <= 0 || h <= 0 || w > max_w ||
        h > max_h) {
        res.status = 400;
        res.set_content("w and h: 1 to " + std::to_string(max_w) + " by 1 to " +
                            std::to_string(max_h) + " pixels\n",
                        "text/plain");
        return;
    }
    const Slot slot(p.ray_requests);
    if (!slot.taken(res)) return;
    res.set_content(ray_table(p.device, static_cast<uint32_t>(w), static_cast<uint32_t>(h)),
                    "application/octet-stream");
}

void serve_stats(const ViewParts &p, httplib::Response &res) {
    StatsSources sources{p.device.dev,
                         &p.device.mutex,
                         &p.controls,
                         p.capture.capturing(),
                         static_cast<bool>(p.options.recorder),
                         &p.options.recording};
    sources.connections = p.connections.connections();
    sources.frame_waiters = p.frame_waiters.in_use();
    sources.ray_requests = p.ray_requests.in_use();
    res.set_header("Cache-Control", "no-store");
    res.set_content(stats_json(p.stats, sources), "application/json");
}

// record and capture go to the capture worker; the others reach the camera.
ControlAnswer control(const ViewParts &p, const std::string &name, const std::string &value) {
    Json j;
    j.begin().str("name", name);
    auto refuse = [&](const std::string &why) {
        return ControlAnswer{400, j.boolean("ok", false).str("error", why).end().text(), false};
    };
    long long v = 0;
    const bool numeric = parse_decimal(value, &v);
    if (name == "record") {
        if (!p.options.recorder) return refuse("recording is not available here");
        if (!numeric) return refuse("record needs 1 or 0");
        p.capture.request_record(v != 0);
        return {200, j.boolean("ok", true).end().text(), false};
    }
    if (name == "capture") {
        if (!numeric) return refuse("capture needs 1 or 0");
        p.capture.request_capture(v != 0);
        return {200, j.boolean("ok", true).boolean("read_back", v != 0).end().text(), false};
    }
    ControlAnswer answer;
    {
        std::lock_guard lock(p.device.mutex);
        answer = p.controls.apply(name, value);
    }
    if (answer.restart_capture) p.capture.restart_if_capturing();
    return answer;
}

// The access rules let only requests with the page's header through.
void serve_control(const ViewParts &p, const httplib::Request &req, httplib::Response &res) {
    const ControlAnswer answer =
        control(p, req.get_param_value("name"), req.get_param_value("value"));
    res.status = answer.status;
    res.set_content(answer.body, "application/json");
}

}  // namespace

void install_routes(httplib::Server &http, const ViewParts &parts) {
    serve_assets(http);
    const ViewParts p = parts;
    http.Get("/frame", [p](const httplib::Request &req, httplib::Response &res) {
        serve_frame(p, req, res);
    });
    http.Get("/rays",
             [p](const httplib::Request &req, httplib::Response &res) { serve_rays(p, req, res); });
    http.Get("/palette", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(palette_json(), "application/json");
    });
    http.Get("/stats",
             [p](const httplib::Request &, httplib::Response &res) { serve_stats(p, res); });
    http.Post("/control", [p](const httplib::Request &req, httplib::Response &res) {
        serve_control(p, req, res);
    });
}

}  // namespace lumox_cli
