// The camera the viewer serves, with the lock that serialises every library call on it except
// the capture thread's poll (so that a control never runs inside a frame's decoding).
#pragma once

#include <mutex>

#include "lumox/lumox.h"

namespace lumox_cli {

struct ViewDevice {
    explicit ViewDevice(lumox_dev_t *d) : dev(d) {}
    lumox_dev_t *const dev;
    std::mutex mutex;
};

}  // namespace lumox_cli
