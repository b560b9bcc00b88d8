// The power sources of the machine, as the platform describes them.
#pragma once

#include <optional>
#include <vector>

#include "platform/property_list.hpp"

namespace platform {

// One description per power source, in the platform's order. Absent when the
// platform gives no snapshot or no list of sources; a source whose
// description can't be had is left out.
std::optional<std::vector<PropertyListDictionary>> copyPowerSourceDescriptions();

}  // namespace platform
