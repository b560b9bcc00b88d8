// Parsed property-list files, kept while the file stays the same. Every
// access checks the file's identity (device, inode, size, modification and
// change times) as the Mac's preferences daemon does, so a read always
// returns what is stored now, and an unchanged file costs one stat instead
// of a parse, however many keys it holds.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <memory>
#include <string>

#include "platform/property_list.hpp"

namespace platform::linux_host {

// The root dictionary of the property-list file at `path` as stored now;
// null when it is missing, unreadable, too large, not a property list or
// not a dictionary.
std::shared_ptr<const PropertyListDictionary> currentDictionary(const std::string& path);

// Whether a parse of the file whose status is `status`, read at `now`, may
// be served again for as long as the file keeps its identity.
bool parseMayBeKept(const struct stat& status, const timespec& now);

}  // namespace platform::linux_host
