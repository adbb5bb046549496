// The viewer's JSON answers: an output-only writer of objects and arrays of numbers, booleans
// and strings (non-finite numbers become null).
#pragma once

#include <string>

namespace lumox_cli {

class Json {
  public:
    // Opens an object ('{') or array ('['), under key when inside an object.
    Json &begin(const char *key = nullptr, char bracket = '{');
    Json &end(char bracket = '}');
    Json &num(const char *key, double v);
    Json &boolean(const char *key, bool v);
    Json &null(const char *key);
    Json &str(const char *key, const std::string &v);
    const std::string &text() const { return out_; }

  private:
    void sep(const char *key);
    void quote(const std::string &v);
    std::string out_;
    bool first_ = true;
};

}  // namespace lumox_cli
