// Switching the sensor driver's processing steps from "--filter" settings.
#pragma once

#include <string>

#include "args.h"
#include "lumox/lumox.h"

namespace lumox_cli {

// Applies one setting (text: as given, for the message). Prints why and returns false when the
// driver refuses it.
bool apply_filter(lumox_dev_t *dev, const FilterSetting &f, const std::string &text);

}  // namespace lumox_cli
