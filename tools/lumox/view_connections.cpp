#include "view_connections.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include <dirent.h>
#include <netdb.h>
#include <sys/socket.h>
#include <netinet/in.h>

namespace lumox_cli {
namespace {

// The numeric address and port of a socket's end, as httplib reports the client's.
bool endpoint(int fd, bool peer, std::string *addr, int *port) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    auto *sa = reinterpret_cast<sockaddr *>(&ss);
    if ((peer ? getpeername(fd, sa, &len) : getsockname(fd, sa, &len)) != 0) return false;
    if (ss.ss_family == AF_INET)
        *port = ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
    else if (ss.ss_family == AF_INET6)
        *port = ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
    else
        return false;
    if (!addr) return true;
    char host[NI_MAXHOST];
    if (getnameinfo(sa, len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) return false;
    *addr = host;
    return true;
}

}  // namespace

// The socket may have been closed by its worker and its number reused since it was seen.
void ConnectionTracker::shut_if_same(int fd, const Connection &c) {
    std::string addr;
    int peer = 0;
    if (endpoint(fd, true, &addr, &peer) && addr == c.addr && peer == c.port)
        ::shutdown(fd, SHUT_RDWR);
}

// httplib's pool with each job tied to its connection's socket.
class ConnectionTracker::Pool : public httplib::TaskQueue {
  public:
    Pool(ConnectionTracker &tracker, size_t workers) : tracker_(tracker) {
        for (size_t i = 0; i < std::max<size_t>(workers, 1); ++i)
            threads_.emplace_back([this] { work(); });
    }
    ~Pool() override { shutdown(); }

    // On the listening thread, right after the connection was accepted.
    void enqueue(std::function<void()> fn) override {
        Job job{tracker_.adopt_new_socket(), {}, 0, std::move(fn)};
        if (job.fd >= 0) {
            std::lock_guard lock(tracker_.mutex_);
            const Connection &c = tracker_.connections_[job.fd];
            job.addr = c.addr;
            job.port = c.port;
        }
        if (job.fd >= 0) tracker_.admit(job.fd);
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        cv_.notify_one();
    }

    // Runs what is queued (each job closes its socket), then ends the workers.
    void shutdown() override {
        {
            std::lock_guard lock(mutex_);
            if (done_) return;
            done_ = true;
        }
        cv_.notify_all();
        for (std::thread &t : threads_) t.join();
    }

  private:
    struct Job {
        int fd;
        std::string addr;
        int port;
        std::function<void()> fn;
    };

    void work() {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [&] { return done_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            if (job.fd >= 0) tracker_.started(job.fd);
            job.fn();
            if (job.fd >= 0) tracker_.finished(job.fd, job.addr, job.port);
        }
    }

    ConnectionTracker &tracker_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Job> jobs_;
    bool done_ = false;
};

ConnectionTracker::ConnectionTracker(int port, const ViewLimits &limits)
    : port_(port), limits_(limits), watchdog_([this] { watch(); }) {}

ConnectionTracker::~ConnectionTracker() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    cv_.notify_all();
    watchdog_.join();
}

httplib::TaskQueue *ConnectionTracker::make_pool() { return new Pool(*this, limits_.workers); }

// httplib does not tell which socket a job serves: the one accepted last is the connected
// socket on this port that is not known yet (only the listening thread accepts, and it hands
// each connection over before it accepts the next).
int ConnectionTracker::adopt_new_socket() {
    DIR *dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    int found = -1;
    std::lock_guard lock(mutex_);
    while (dirent *e = readdir(dir)) {
        char *end = nullptr;
        const long fd = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || fd < 0 || fd == dirfd(dir)) continue;
        std::string addr;
        int local = 0;
        int peer = 0;
        if (!endpoint(static_cast<int>(fd), false, nullptr, &local) || local != port_ ||
            !endpoint(static_cast<int>(fd), true, &addr, &peer))
            continue;
        const auto it = connections_.find(static_cast<int>(fd));
        if (it != connections_.end() && it->second.addr == addr && it->second.port == peer)
            continue;
        Connection c;
        c.addr = addr;
        c.port = peer;
        c.since = std::chrono::steady_clock::now();
        connections_[static_cast<int>(fd)] = c;
        found = static_cast<int>(fd);
        break;
    }
    closedir(dir);
    return found;
}

bool ConnectionTracker::admit(int fd) {
    std::lock_guard lock(mutex_);
    if (!closing_ && connections_.size() <= limits_.max_connections) return true;
    // Its worker finds it ended and closes it; the client sees the connection close at once.
    ::shutdown(fd, SHUT_RDWR);
    return false;
}

void ConnectionTracker::started(int fd) {
    std::lock_guard lock(mutex_);
    const auto it = connections_.find(fd);
    if (it == connections_.end()) return;
    it->second.running = true;
    it->second.since = std::chrono::steady_clock::now();
}

void ConnectionTracker::finished(int fd, const std::string &addr, int port) {
    std::lock_guard lock(mutex_);
    const auto it = connections_.find(fd);
    if (it != connections_.end() && it->second.addr == addr && it->second.port == port)
        connections_.erase(it);
}

ConnectionTracker::Connection *ConnectionTracker::find(const std::string &addr, int port) {
    for (auto &[fd, c] : connections_)
        if (c.port == port && c.addr == addr) return &c;
    return nullptr;
}

void ConnectionTracker::request_begins(const std::string &addr, int port) {
    std::lock_guard lock(mutex_);
    if (Connection *c = find(addr, port)) c->in_request = true;
}

void ConnectionTracker::request_ends(const std::string &addr, int port) {
    std::lock_guard lock(mutex_);
    if (Connection *c = find(addr, port)) {
        c->in_request = false;
        c->since = std::chrono::steady_clock::now();
    }
}

bool ConnectionTracker::answer_and_close(const std::string &addr, int port,
                                         const std::string &response) {
    std::lock_guard lock(mutex_);
    for (auto &[fd, c] : connections_) {
        if (c.port != port || c.addr != addr) continue;
        size_t sent = 0;
        while (sent < response.size()) {
            const ssize_t n =
                send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        ::shutdown(fd, SHUT_RDWR);
        return true;
    }
    return false;
}

void ConnectionTracker::close_all() {
    std::lock_guard lock(mutex_);
    closing_ = true;
    for (const auto &[fd, c] : connections_) shut_if_same(fd, c);
}

size_t ConnectionTracker::connections() const {
    std::lock_guard lock(mutex_);
    return connections_.size();
}

// Ends the connections whose request is overdue.
void ConnectionTracker::watch() {
    const auto period = std::clamp(limits_.request_deadline / 4, std::chrono::milliseconds(10),
                                   std::chrono::milliseconds(250));
    std::unique_lock lock(mutex_);
    while (!cv_.wait_for(lock, period, [&] { return quit_; })) {
        const auto now = std::chrono::steady_clock::now();
        for (auto &[fd, c] : connections_) {
            if (!c.running || c.in_request || now - c.since <= limits_.request_deadline) continue;
            shut_if_same(fd, c);
            c.in_request = true;  // ended: not looked at again
        }
    }
}

}  // namespace lumox_cli
