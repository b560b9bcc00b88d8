// Reading sysfs attribute files, which may hold anything.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::linux_host {

// The attribute's text without surrounding white space; absent when the
// file can't be read or is larger than any attribute.
std::optional<std::string> readAttribute(const std::string& path);
// The same of the file `name` in `folder`, without building a path string.
std::optional<std::string> readAttribute(const std::string& folder, const char* name);

// A decimal integer that fills the whole text and fits 64 bits; else absent.
std::optional<std::int64_t> parseInteger(const std::string& text);

std::optional<std::int64_t> readIntegerAttribute(const std::string& path);

// The names in `folder`, sorted; empty when it can't be listed.
std::vector<std::string> sortedEntries(const std::string& folder);

}  // namespace platform::linux_host
