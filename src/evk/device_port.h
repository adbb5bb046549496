// How the evaluation-kit code reaches the device it serves. Every register, parameter, reset and
// capture call of src/evk goes through the port below; by default the port forwards to the public
// lumox_* device calls, and tests install a port of their own (a register file in memory with a
// write log) so that the configuration code runs without a camera.
#pragma once

#include <cstdint>

#include "lumox/evk.h"

namespace lumox::evk {

// What the frame fetch learns about one captured frame.
struct FetchedFrame {
    uint32_t index;
    uint32_t width;
    uint32_t height;
    uint32_t size;  // bytes
};

// Largest parameter value a camera reports.
constexpr unsigned kParamValueMax = 18;

struct DevicePort {
    // Sensor register space (register target 1), one 8-bit value per 32-bit word. True on success.
    bool (*reg_read)(lumox_dev_t *dev, uint32_t first, uint32_t *values, uint16_t count);
    bool (*reg_write)(lumox_dev_t *dev, uint32_t first, const uint32_t *values, uint16_t count);
    // One parameter. On get, value receives up to kParamValueMax bytes and length the reported
    // size.
    bool (*param_get)(lumox_dev_t *dev, uint32_t id, uint8_t *value, uint8_t *length);
    bool (*param_set)(lumox_dev_t *dev, uint32_t id, const uint8_t *value, uint8_t length);
    bool (*reset)(lumox_dev_t *dev, int target);
    // Capture of one frame into buffer: the number of frames delivered (1 on success).
    bool (*cap_is_ongoing)(lumox_dev_t *dev);
    bool (*cap_start)(lumox_dev_t *dev);
    int (*cap_get_frame)(lumox_dev_t *dev, void *buffer, uint32_t length, FetchedFrame *frame);
    bool (*cap_stop)(lumox_dev_t *dev);
    // Stand-alone use: start the library, open the first camera with a frame buffer, and undo it.
    lumox_dev_t *(*open_first)(void);
    void (*close)(lumox_dev_t *dev);
};

// The port in use.
const DevicePort &device_port();

// Installs a port (nullptr restores the library's own); returns the previous one.
const DevicePort *set_device_port(const DevicePort *port);

}  // namespace lumox::evk
