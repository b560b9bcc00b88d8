// The file system, as far as the agent needs it.
#pragma once

#include <optional>
#include <string>

#include "platform/property_list.hpp"

namespace platform {

// True when anything exists at `path`, following symbolic links.
bool fileExists(const std::string& path);

// The property-list file at `path` when its root is a dictionary; absent when
// it is missing, unreadable, not a property list or not a dictionary.
std::optional<PropertyListDictionary> readDictionaryFile(const std::string& path);

}  // namespace platform
