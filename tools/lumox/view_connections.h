// The viewer's connections: the HTTP server's worker pool, which knows the socket of each
// connection it serves. That lets it refuse connections beyond a limit, end a connection whose
// request does not arrive in time (a client that sends a byte now and then would otherwise hold a
// worker for as long as it likes), answer a refused request and close the connection without
// reading what the client still sends, and end every connection at once when the server stops.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "view_limits.h"

namespace lumox_cli {

// Every connection accepted on one port, from its acceptance until its worker is done with it.
// Request handlers mark the requests by the client's address and port (what httplib tells them).
class ConnectionTracker {
  public:
    ConnectionTracker(int port, const ViewLimits &limits);
    ~ConnectionTracker();
    ConnectionTracker(const ConnectionTracker &) = delete;
    ConnectionTracker &operator=(const ConnectionTracker &) = delete;

    // The worker pool for httplib::Server::new_task_queue (owned by the server).
    httplib::TaskQueue *make_pool();

    void request_begins(const std::string &addr, int port);
    void request_ends(const std::string &addr, int port);
    // Sends `response` (a whole HTTP response) on the connection and ends it, so that nothing
    // more is read from it. False when the connection is not known (the caller answers).
    bool answer_and_close(const std::string &addr, int port, const std::string &response);
    // Ends every connection now, and every one accepted from now on.
    void close_all();
    size_t connections() const;

  private:
    class Pool;
    struct Connection {
        std::string addr;
        int port = 0;
        bool running = false;     // a worker serves it
        bool in_request = false;  // its handler runs
        std::chrono::steady_clock::time_point since;
    };

    int adopt_new_socket();  // the socket accepted last, or -1
    bool admit(int fd);      // false: over the limit or closing, the socket was shut
    void started(int fd);
    void finished(int fd, const std::string &addr, int port);
    Connection *find(const std::string &addr, int port);
    void watch();
    static void shut_if_same(int fd, const Connection &c);

    const int port_;
    const ViewLimits limits_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::map<int, Connection> connections_;  // by socket
    bool closing_ = false;
    bool quit_ = false;
    std::thread watchdog_;
};

}  // namespace lumox_cli
