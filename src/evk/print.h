// Standard-output messages of the evaluation-kit code and its version numbers (lumox/evk.h).
#pragma once

#include "lumox/evk.h"
