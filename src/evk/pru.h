// Frame geometry of the evaluation-kit pipeline and the fetch of one frame from the bound device
// (or of an image injected with pruSetImage), declared in lumox/evk.h.
#pragma once

#include "lumox/evk.h"

namespace lumox::evk {

// Bytes one frame of the current geometry occupies: columns x DCS x 2 x rows per half x halves.
int expected_frame_bytes();

}  // namespace lumox::evk
