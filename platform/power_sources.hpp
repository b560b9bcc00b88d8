// The power sources of the machine, as the platform describes them.
#pragma once

#include <memory>
#include <vector>

#include "platform/property_list.hpp"

namespace platform {

using PowerSourceDescriptions = std::vector<PropertyListDictionary>;

// One description per power source, in the platform's order; null when the
// platform gives no snapshot or no list of sources. A source whose
// description can't be had is left out. Never changed once handed out, so a
// reading kept until the sources change is shared rather than copied.
std::shared_ptr<const PowerSourceDescriptions> copyPowerSourceDescriptions();

}  // namespace platform
