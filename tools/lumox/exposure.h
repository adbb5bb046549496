// The exposure of one run: --integration-time US and --frame-rate N on the streaming commands,
// written to the camera after the open (the camera forgets a parameter set by an earlier run
// when it is opened again) and read back.
#pragma once

#include "args.h"
#include "lumox/lumox.h"

namespace lumox_cli {

struct Exposure {
    long long integration_us = 0;  // 0: leave the camera's
    long long frame_rate = 0;      // 0: leave the camera's
};

// The two options (a value out of range is a usage error).
Exposure parse_exposure(const Args &args);

// Writes what the run asked for and reads it back, printing what is in force. False, with the
// reason printed, when the camera refuses a value or reads back another.
bool apply_exposure(lumox_dev_t *dev, const Exposure &exposure);

}  // namespace lumox_cli
