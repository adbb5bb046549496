#include "view_server.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <utility>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <httplib.h>

#include "view_access.h"
#include "view_capture.h"
#include "view_connections.h"
#include "view_controls.h"
#include "view_device.h"
#include "view_frames.h"
#include "view_routes.h"
#include "view_stats.h"

namespace lumox_cli {

struct ViewServer::Impl {
    Impl(lumox_dev_t *d, ViewOptions o)
        : device(d),
          options(std::move(o)),
          controls(d),
          capture(device, controls, stats, frames, options),
          frame_waiters(options.limits.frame_waiters),
          ray_requests(options.limits.ray_requests) {}

    bool start(std::string *error);
    void stop();
    bool bind(std::string *error);
    void configure();

    ViewDevice device;
    ViewOptions options;
    ViewControls controls;  // under device.mutex
    ViewStats stats;
    LatestFrameSlot frames;
    ViewCapture capture;
    RequestSlots frame_waiters;
    RequestSlots ray_requests;
    // Made once the port is known; outlives the HTTP server's pool, which reports to it.
    std::optional<ConnectionTracker> connections;
    httplib::Server http;
    int bound_port = 0;
    bool started = false;
    bool stopped = false;
    std::thread http_thread;
    std::atomic<bool> http_done{false};
};

bool ViewServer::Impl::bind(std::string *error) {
    if (options.bind.empty()) {
        *error = "no address to listen on (127.0.0.1: this machine only)";
        return false;
    }
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
    if (bound_port > 0) return true;
    *error = "cannot listen on " + options.bind + ":" + std::to_string(options.port);
    return false;
}

// The limits on clients, and the routes behind the access rules.
void ViewServer::Impl::configure() {
    const ViewLimits &limits = options.limits;
    connections.emplace(bound_port, limits);
    http.new_task_queue = [this] { return connections->make_pool(); };
    http.set_keep_alive_max_count(100000);
    http.set_keep_alive_timeout(2);
    http.set_read_timeout(limits.read_timeout);
    http.set_write_timeout(limits.write_timeout);
    install_access_rules(http, *connections, options.bind, bound_port, limits);
    install_routes(http, ViewParts{device, controls, stats, capture, frames, options, *connections,
                                   frame_waiters, ray_requests});
}

bool ViewServer::Impl::start(std::string *error) {
    if (!bind(error)) return false;
    configure();
    capture.start();
    http_thread = std::thread([this] {
        http.listen_after_bind();
        http_done = true;
    });
    started = true;
    return true;
}

void ViewServer::Impl::stop() {
    if (!started || stopped) return;
    stopped = true;
    frames.wake_all();
    capture.stop();
    // A stop that comes before the listening thread has entered its loop finds nothing to stop,
    // and the loop would then run for ever: wait until it runs (or has already given up).
    while (!http.is_running() && !http_done)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    http.stop();
    // The pool waits for its connections: a client in the middle of sending its request would
    // hold it until its read timed out.
    connections->close_all();
    if (http_thread.joinable()) http_thread.join();
}

ViewServer::ViewServer(lumox_dev_t *dev, ViewOptions options)
    : impl_(std::make_unique<Impl>(dev, std::move(options))) {}

ViewServer::~ViewServer() { stop(); }

bool ViewServer::start(std::string *error) { return impl_->start(error); }

int ViewServer::port() const { return impl_->bound_port; }

void ViewServer::stop() { impl_->stop(); }

}  // namespace lumox_cli
