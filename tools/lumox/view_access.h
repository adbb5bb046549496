// Which requests the viewer's server answers. The Host header must name the address served (or a
// localhost name when the server listens there): a page of another site whose DNS name was made
// to point at this machine sends its own name. No request carries a body. Controls take the
// page's header "X-Lumox-View: 1". A refusal is answered before any body is read, and ends the
// connection. Requests that cost memory or wait long take a slot; none left: 503.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include <httplib.h>

#include "view_connections.h"
#include "view_limits.h"

namespace lumox_cli {

// Whether a Host header ("name", "name:port", "[v6]:port"; no port: 80) names the server bound
// to `bind` on `port`.
bool host_names_server(const std::string &host, const std::string &bind, int port);

// Checks every request before it is routed, and tells the tracker when requests begin and end.
void install_access_rules(httplib::Server &http, ConnectionTracker &connections,
                          const std::string &bind, int port, const ViewLimits &limits);

// At most `max` requests of one kind at once.
class RequestSlots {
  public:
    explicit RequestSlots(size_t max) : max_(max) {}
    bool take();
    void give_back() { --used_; }
    size_t in_use() const { return used_; }

  private:
    const size_t max_;
    std::atomic<size_t> used_{0};
};

}  // namespace lumox_cli
