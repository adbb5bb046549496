// What the viewer's server grants one client: connections, time to send a request, bodies and
// the requests that cost memory or wait long. Tests shorten the times.
#pragma once

#include <chrono>
#include <cstddef>

namespace lumox_cli {

struct ViewLimits {
    size_t workers = 16;          // connections served at once; a page keeps two or three
    size_t max_connections = 32;  // served and waiting; beyond, a connection is closed at once
    // From the start of a connection, or the end of its last answer, until its next request has
    // arrived; longer, and the connection is ended. A browser sends its request at once; idle
    // keep-alive connections end sooner, on the 2 s keep-alive time-out. Clients that hold every
    // worker keep the page waiting this long at most per round of workers.
    std::chrono::milliseconds request_deadline{3000};
    std::chrono::milliseconds read_timeout{5000};   // one read of a request
    std::chrono::milliseconds write_timeout{5000};  // one write of an answer
    size_t max_body = 1024;  // bytes; no route takes a body, the page sends none
    // /frame waits this long for a frame newer than the page's, at most frame_waiters at once.
    std::chrono::milliseconds frame_wait{2000};
    size_t frame_waiters = 8;
    size_t ray_requests = 2;  // /rays computed at once
};

}  // namespace lumox_cli
