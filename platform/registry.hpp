// Reading a property of the I/O registry.
#pragma once

#include <optional>
#include <string>

namespace platform {

// The truth value of `property` on the one registry entry of class
// `entryClass`. Absent when there is no such entry, no such property, or a
// value that is neither a Boolean nor a number.
std::optional<bool> readRegistryTruthValue(const std::string& entryClass,
                                           const std::string& property);

}  // namespace platform
