#include "calibration_cache.h"

#include <cstdlib>

#include "probe.h"

namespace lumox_cli {

std::string calibration_cache_dir(const std::string &serial) {
    std::string root;
    const char *xdg = std::getenv("XDG_CACHE_HOME");
    const char *home = std::getenv("HOME");
    if (xdg && xdg[0] == '/')  // a relative one is to be ignored
        root = xdg;
    else if (home && home[0])
        root = std::string(home) + "/.cache";
    else
        return {};
    std::string name;
    for (const char c : serial) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        name += plain ? c : '_';
    }
    if (name.empty() || name == "." || name == "..") name = "unknown";
    return root + "/lumox/" + name + "/";
}

std::string camera_cache_dir(const std::optional<DeviceLocation> &where) {
    const std::optional<lumox_ll_dev> record = transport_find(where);
    if (!record) return {};
    std::optional<std::vector<uint8_t>> serial;
    {
        TransportProbe probe(*record);
        serial = probe.param(LUMOX_PARAM_ID2);
    }
    if (!serial) return {};
    std::string text(serial->begin(), serial->end());
    text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
    return calibration_cache_dir(text);
}

}  // namespace lumox_cli
