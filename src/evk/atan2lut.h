// Table-driven arctangent of the evaluation-kit pipeline: a phase in 0..29999 (30000 units per
// turn) from the two DCS differences, declared in lumox/evk.h.
#pragma once

#include "lumox/evk.h"
