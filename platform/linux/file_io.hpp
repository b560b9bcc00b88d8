// Small whole-file reads for the stand-in.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace platform::linux_host {

// The whole file, or absent when it can't be read or holds more than
// `maximumBytes`.
std::optional<std::string> readWholeFile(const std::string& path, std::size_t maximumBytes);

// Everything left to read from `fd`, or absent on an error or past
// `maximumBytes`.
std::optional<std::string> readToEnd(int fd, std::size_t maximumBytes);

}  // namespace platform::linux_host
