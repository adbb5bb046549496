#include "view_access.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include <arpa/inet.h>

#include "view_controls.h"

namespace lumox_cli {
namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool is_ipv4(const std::string &name, in_addr *a = nullptr) {
    in_addr tmp{};
    return inet_pton(AF_INET, name.c_str(), a ? a : &tmp) == 1;
}

bool is_ipv6(const std::string &name) {
    in6_addr a{};
    return inet_pton(AF_INET6, name.c_str(), &a) == 1;
}

bool is_loopback(const std::string &name) {
    in_addr a{};
    if (is_ipv4(name, &a)) return (ntohl(a.s_addr) >> 24) == 127;
    return name == "localhost" || name == "::1";
}

bool is_localhost_name(const std::string &name) {
    return name == "localhost" || name == "127.0.0.1" || name == "::1";
}

// Splits "name:port" or "[v6]:port" into name and port (80 when absent). False when malformed.
bool split_host(const std::string &host, std::string *name, long long *port) {
    std::string port_text;
    if (!host.empty() && host[0] == '[') {
        const size_t close = host.find(']');
        if (close == std::string::npos) return false;
        *name = host.substr(1, close - 1);
        const std::string rest = host.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return false;
        if (!rest.empty()) port_text = rest.substr(1);
    } else {
        const size_t colon = host.find(':');
        if (colon != std::string::npos && host.find(':', colon + 1) != std::string::npos)
            return false;  // an IPv6 address without brackets
        *name = host.substr(0, colon);
        if (colon != std::string::npos) port_text = host.substr(colon + 1);
    }
    if (!name->empty() && name->back() == '.') name->pop_back();
    *port = 80;
    return !name->empty() && (port_text.empty() || parse_decimal(port_text, port));
}

struct Refusal {
    int status;
    const char *reason;
    std::string text;
};

std::optional<Refusal> refusal(const httplib::Request &req, const std::string &bind, int port,
                               const ViewLimits &limits) {
    if (!host_names_server(req.get_header_value("Host"), bind, port))
        return Refusal{403, "Forbidden", "the Host header does not name this server\n"};
    // Another site open in the same browser could post here too; a request with this header can
    // only come from the page itself (browsers ask first for such cross-site requests, and the
    // server answers no such question).
    if (req.method == "POST" && req.get_header_value("X-Lumox-View") != "1")
        return Refusal{403, "Forbidden", "controls take the X-Lumox-View header\n"};
    long long length = 0;
    const std::string length_text = req.get_header_value("Content-Length");
    if (req.has_header("Transfer-Encoding") ||
        (!length_text.empty() && (!parse_decimal(length_text, &length) || length < 0 ||
                                  static_cast<unsigned long long>(length) > limits.max_body)))
        return Refusal{413, "Payload Too Large", "requests here carry no body\n"};
    return std::nullopt;
}

std::string http_response(const Refusal &r) {
    return "HTTP/1.1 " + std::to_string(r.status) + " " + r.reason +
           "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(r.text.size()) +
           "\r\nConnection: close\r\n\r\n" + r.text;
}

}  // namespace

bool host_names_server(const std::string &host, const std::string &bind, int port) {
    std::string name;
    long long host_port = 0;
    if (!split_host(lower(host), &name, &host_port) || host_port != port) return false;
    std::string served = lower(bind);
    if (served.size() > 2 && served.front() == '[' && served.back() == ']')
        served = served.substr(1, served.size() - 2);
    if (name == served) return true;
    const bool any = served == "0.0.0.0" || served == "::";
    if ((any || is_loopback(served)) && is_localhost_name(name)) return true;
    // Listening everywhere, the server is reached by any of the machine's addresses; a name
    // other than localhost may be another site's.
    return any && (is_ipv4(name) || is_ipv6(name));
}

void install_access_rules(httplib::Server &http, ConnectionTracker &connections,
                          const std::string &bind, int port, const ViewLimits &limits) {
    http.set_payload_max_length(limits.max_body);
    http.set_pre_routing_handler([&connections, bind, port, limits](const httplib::Request &req,
                                                                    httplib::Response &res) {
        const std::optional<Refusal> no = refusal(req, bind, port, limits);
        if (!no) {
            connections.request_begins(req.remote_addr, req.remote_port);
            return httplib::Server::HandlerResponse::Unhandled;
        }
        // Answered here, and the connection ended, so that no byte of a body is read.
        if (!connections.answer_and_close(req.remote_addr, req.remote_port, http_response(*no))) {
            res.status = no->status;
            res.set_header("Connection", "close");
            res.set_content(no->text, "text/plain");
        }
        return httplib::Server::HandlerResponse::Handled;
    });
    http.set_post_routing_handler([&connections](const httplib::Request &req, httplib::Response &) {
        connections.request_ends(req.remote_addr, req.remote_port);
    });
}

bool RequestSlots::take() {
    size_t used = used_.load();
    do {
        if (used >= max_) return false;
    } while (!used_.compare_exchange_weak(used, used + 1));
    return true;
}

}  // namespace lumox_cli
