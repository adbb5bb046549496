// The tables the viewer's page fetches once: each pixel's ray through the lens, and the colour
// ramp for distances.
#pragma once

#include <cstdint>
#include <string>

#include "view_device.h"

namespace lumox_cli {

// Per pixel of a w x h image, the point at one metre along its ray (f32 x, y, z, native order),
// as the library gives it for the camera's lens; a plain pinhole with a 90-degree view when the
// library has no lens for this size.
std::string ray_table(ViewDevice &device, uint32_t w, uint32_t h);

// The library's distance colour ramp, 1024 colour words, and the colours of the codes (JSON).
std::string palette_json();

}  // namespace lumox_cli
