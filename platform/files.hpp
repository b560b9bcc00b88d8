// The file system, as far as the agent needs it.
#pragma once

#include <memory>
#include <string>

#include "platform/property_list.hpp"

namespace platform {

// True when anything exists at `path`, following symbolic links.
bool fileExists(const std::string& path);

// The property-list file at `path` when its root is a dictionary; null when
// it is missing, unreadable, not a property list or not a dictionary. Shared
// and never changed, so that a parse kept while the file stays the same is
// handed out without a copy.
std::shared_ptr<const PropertyListDictionary> readDictionaryFile(const std::string& path);

}  // namespace platform
