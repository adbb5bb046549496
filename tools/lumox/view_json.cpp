#include "view_json.h"

#include <cmath>
#include <cstdio>

namespace lumox_cli {

Json &Json::begin(const char *key, char bracket) {
    sep(key);
    out_ += bracket;
    first_ = true;
    return *this;
}

Json &Json::end(char bracket) {
    out_ += bracket;
    first_ = false;
    return *this;
}

Json &Json::num(const char *key, double v) {
    sep(key);
    if (!std::isfinite(v)) {
        out_ += "null";
    } else {
        char cell[32];
        std::snprintf(cell, sizeof cell, "%.10g", v);
        out_ += cell;
    }
    return *this;
}

Json &Json::boolean(const char *key, bool v) {
    sep(key);
    out_ += v ? "true" : "false";
    return *this;
}

Json &Json::null(const char *key) {
    sep(key);
    out_ += "null";
    return *this;
}

Json &Json::str(const char *key, const std::string &v) {
    sep(key);
    quote(v);
    return *this;
}

void Json::sep(const char *key) {
    if (!first_) out_ += ',';
    first_ = false;
    if (key) {
        quote(key);
        out_ += ':';
    }
}

void Json::quote(const std::string &v) {
    out_ += '"';
    for (const char c : v) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out_ += '\\';
            out_ += c;
        } else if (u < 0x20) {
            char cell[8];
            std::snprintf(cell, sizeof cell, "\\u%04x", u);
            out_ += cell;
        } else {
            out_ += c;
        }
    }
    out_ += '"';
}

}  // namespace lumox_cli
