#include "ros2/names.h"

namespace lumox::ros2 {

namespace {

bool name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

std::string ros_namespace(std::string_view text) {
    std::string out;
    std::string token;
    auto flush = [&] {
        if (token.empty()) return;
        out += '/';
        if (token[0] >= '0' && token[0] <= '9') out += '_';
        out += token;
        token.clear();
    };
    for (char c : text) {
        if (c == '/') {
            flush();
        } else {
            token += name_char(c) ? c : '_';
        }
    }
    flush();
    return out.empty() ? "/" : out;
}

std::string ros_topic(std::string_view ns, std::string_view name) {
    std::string out(ns);
    if (out.empty() || out.back() != '/') out += '/';
    out += name;
    return out;
}

std::string dds_topic(std::string_view ros_topic) { return "rt" + std::string(ros_topic); }

std::string frame_id(std::string_view ns, std::string_view suffix) {
    std::string out;
    for (char c : ns) {
        if (c == '/' && out.empty()) continue;
        out += c == '/' ? '_' : c;
    }
    return out + std::string(suffix);
}

}  // namespace lumox::ros2
