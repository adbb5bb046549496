// The viewer's server facing clients that are not its page: bodies refused before they are read,
// requests that do not name the server, numbers that are not plain decimals, unknown controls,
// oversized or too many heavy requests, clients that send their request a byte now and then,
// too many connections, and a stop that does not wait for any of them.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "evk_camera_fixture.h"
#include "view_server.h"

namespace lumox::test {
namespace {

using namespace std::chrono_literals;
using lumox_cli::ViewLimits;
using lumox_cli::ViewOptions;
using lumox_cli::ViewServer;

// A connection that sends what it is told, as a browser or a hostile client would.
class RawConnection {
  public:
    explicit RawConnection(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~RawConnection() { close(fd_); }
    bool connected() const { return connected_; }
    bool send_text(const std::string &text) {
        return send(fd_, text.data(), text.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(text.size());
    }
    // What the server sends until it closes the connection; empty when it does not close it
    // within `wait`.
    std::string until_closed(std::chrono::milliseconds wait = 30s) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + wait;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
            char buf[4096];
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return got.empty() ? std::string("(closed)") : got;
            got.append(buf, static_cast<size_t>(n));
        }
    }
    // Whether the server has closed the connection (without waiting).
    bool closed_now() {
        char c;
        const ssize_t n = recv(fd_, &c, 1, MSG_DONTWAIT | MSG_PEEK);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }

  private:
    int fd_;
    bool connected_ = false;
};

class ViewServerLimitsTest : public EvkCameraTest {
  protected:
    void start(const ViewLimits &limits = {}) {
        ViewOptions options;
        options.port = 0;
        options.limits = limits;
        server_ = std::make_unique<ViewServer>(&dev_, options);
        std::string error;
        ASSERT_TRUE(server_->start(&error)) << error;
        port_ = server_->port();
        client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
        client_->set_read_timeout(30, 0);
    }
    void TearDown() override {
        client_.reset();
        server_.reset();
        EvkCameraTest::TearDown();
    }

    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

    // The status line of the answer to a raw request, and whether the server then closed.
    std::string status_of(const std::string &request) {
        RawConnection c(port_);
        EXPECT_TRUE(c.connected() && c.send_text(request));
        const std::string answer = c.until_closed();
        return answer.substr(0, answer.find("\r\n"));
    }

    std::string post(const std::string &name, const std::string &value, int *status) {
        auto res = client_->Post("/control?name=" + name + "&value=" + value,
                                 httplib::Headers{{"X-Lumox-View", "1"}});
        EXPECT_TRUE(res);
        *status = res ? res->status : 0;
        return res ? res->body : std::string();
    }

    std::string stats() {
        auto res = client_->Get("/stats");
        return res && res->status == 200 ? res->body : std::string();
    }

    std::unique_ptr<ViewServer> server_;
    std::unique_ptr<httplib::Client> client_;
    int port_ = 0;
};

TEST_F(ViewServerLimitsTest, RefusalsComeBeforeTheBodyIsReadAndEndTheConnection) {
    start();
    const std::string control = "POST /control?name=frame_rate&value=5 HTTP/1.1\r\nHost: " + host();
    // 300 MB announced, a little sent: the answer comes without the rest being waited for.
    EXPECT_EQ(
        status_of(control + "\r\nContent-Type: text/plain\r\nContent-Length: 300000000\r\n\r\n" +
                  std::string(1000, 'x')),
        "HTTP/1.1 403 Forbidden");
    const std::string with_header = control + "\r\nX-Lumox-View: 1\r\n";
    EXPECT_EQ(status_of(with_header + "Content-Length: 300000000\r\n\r\n"),
              "HTTP/1.1 413 Payload Too Large");
    EXPECT_EQ(status_of(with_header + "Transfer-Encoding: chunked\r\n\r\nfffffff\r\n"),
              "HTTP/1.1 413 Payload Too Large");
    EXPECT_EQ(camera().param(vcam::kParamFrameRate)[0], 20);
}

TEST_F(ViewServerLimitsTest, OnlyRequestsNamingTheServedAddressAreAnswered) {
    start();
    const std::string port = std::to_string(port_);
    auto get_stats = [&](const std::string &host_line) {
        return status_of("GET /stats HTTP/1.1\r\n" + host_line + "Connection: close\r\n\r\n");
    };
    for (const std::string &ok :
         {"127.0.0.1:" + port, "localhost:" + port, "LocalHost.:" + port, "[::1]:" + port})
        EXPECT_EQ(get_stats("Host: " + ok + "\r\n"), "HTTP/1.1 200 OK") << ok;
    // A rebound DNS name, another port, no port (80), no Host at all.
    for (const std::string &bad : {"Host: attacker.example:" + port + "\r\n",
                                   "Host: localhost:" + std::to_string(port_ + 1) + "\r\n",
                                   std::string("Host: localhost\r\n"), std::string()})
        EXPECT_EQ(get_stats(bad), "HTTP/1.1 403 Forbidden") << bad;
    // Pressing Record or changing the camera from such a page is refused as well.
    EXPECT_EQ(
        status_of("POST /control?name=frame_rate&value=5 HTTP/1.1\r\nHost: attacker.example:" +
                  port + "\r\nX-Lumox-View: 1\r\n\r\n"),
        "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(camera().param(vcam::kParamFrameRate)[0], 20);
}

TEST_F(ViewServerLimitsTest, NumbersAreDecimalAndUnknownControlsAreRefused) {
    start();
    int status = 0;
    EXPECT_NE(post("frame_rate", "010", &status).find("\"read_back\":10"), std::string::npos);
    EXPECT_EQ(camera().param(vcam::kParamFrameRate)[0], 10);
    for (const char *v : {"0x10", "+5", "%205", "5%20", "1e1", "99999999999999999999"}) {
        post("frame_rate", v, &status);
        EXPECT_EQ(status, 400) << v;
    }
    EXPECT_EQ(camera().param(vcam::kParamFrameRate)[0], 10);
    for (const char *name : {"filter_zz", "filter_", "filter_0x1", "filter_-0", "volume"}) {
        const std::string answer = post(name, "on", &status);
        EXPECT_EQ(status, 400) << name;
        EXPECT_NE(answer.find("unknown control '" + std::string(name) + "'"), std::string::npos)
            << answer;
    }
    // Lens undistortion (filter 0) was not switched by any of them.
    EXPECT_NE(stats().find("{\"id\":0,\"name\":\"lens undistortion\",\"arg_size\":0,\"max\":0,"
                           "\"enabled\":false,\"value\":0,\"touched\":false"),
              std::string::npos)
        << stats();
}

TEST_F(ViewServerLimitsTest, RaysAreBoundedAndHeavyRequestsTakeASlot) {
    ViewLimits limits;
    limits.frame_waiters = 2;
    limits.frame_wait = 60s;  // ended by the frame that comes, or by the stop
    start(limits);
    for (const char *size : {"w=2048&h=2048", "w=321&h=240", "w=320&h=241", "w=0x140&h=240"})
        EXPECT_EQ(client_->Get(std::string("/rays?") + size)->status, 400) << size;
    EXPECT_EQ(client_->Get("/rays?w=320&h=240")->body.size(), 12u * 320 * 240);

    // With the capture stopped, two pages wait for a frame; a third is told to come back.
    int status = 0;
    post("capture", "0", &status);
    ASSERT_TRUE(wait_until([&] { return stats().find("\"capturing\":false") != std::string::npos; },
                           std::chrono::seconds(30)));
    const auto latest = client_->Get("/frame?after=0");
    ASSERT_TRUE(latest && latest->status == 200);
    lumox_cli::ViewFrameHeader h{};
    std::memcpy(&h, latest->body.data(), sizeof h);
    const std::string wait = "/frame?after=" + std::to_string(h.seq);
    std::atomic<int> answered{0};
    std::vector<std::thread> pages;
    for (int i = 0; i < 2; ++i)
        pages.emplace_back([&] {
            httplib::Client page("127.0.0.1", port_);
            page.set_read_timeout(60, 0);
            if (auto r = page.Get(wait.c_str()); r && r->status == 200) ++answered;
        });
    ASSERT_TRUE(wait_until([&] { return stats().find("\"frame_waiters\":2") != std::string::npos; },
                           std::chrono::seconds(30)))
        << stats();
    const auto third = client_->Get(wait.c_str());
    ASSERT_TRUE(third);
    EXPECT_EQ(third->status, 503);
    post("capture", "1", &status);
    for (std::thread &t : pages) t.join();
    EXPECT_EQ(answered, 2);
}

// Connections that send the start of a request and then nothing.
std::vector<std::unique_ptr<RawConnection>> slow_clients(int port, int count) {
    std::vector<std::unique_ptr<RawConnection>> out;
    for (int i = 0; i < count; ++i) {
        out.push_back(std::make_unique<RawConnection>(port));
        out.back()->send_text("GET /stats HTTP/1.1\r\nHo");
    }
    return out;
}

TEST_F(ViewServerLimitsTest, SlowClientsAreCutLooseAndThePageIsServed) {
    ViewLimits limits;
    limits.workers = 4;
    limits.read_timeout = 60s;  // a byte now and then would keep a read going for ever
    limits.request_deadline = 300ms;
    start(limits);
    auto slow = slow_clients(port_, 12);
    EXPECT_NE(stats().find("\"capturing\""), std::string::npos);
    for (auto &c : slow) EXPECT_FALSE(c->until_closed(20s).empty());
}

TEST_F(ViewServerLimitsTest, ConnectionsBeyondTheLimitAreClosedAtOnce) {
    ViewLimits limits;
    limits.workers = 4;
    limits.max_connections = 8;
    limits.read_timeout = 60s;
    limits.request_deadline = 60s;
    start(limits);
    auto slow = slow_clients(port_, 12);
    auto closed = [&] {
        int n = 0;
        for (auto &c : slow) n += c->closed_now();
        return n;
    };
    ASSERT_TRUE(wait_until([&] { return closed() >= 4; }, std::chrono::seconds(30)));
    EXPECT_EQ(closed(), 4);
}

TEST_F(ViewServerLimitsTest, StopDoesNotWaitForSlowClients) {
    ViewLimits limits;
    limits.read_timeout = 60s;
    limits.request_deadline = 60s;
    start(limits);
    auto slow = slow_clients(port_, 10);
    ASSERT_FALSE(stats().empty());
    const auto t0 = std::chrono::steady_clock::now();
    server_->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
    for (auto &c : slow) EXPECT_TRUE(c->closed_now());
}

}  // namespace
}  // namespace lumox::test
