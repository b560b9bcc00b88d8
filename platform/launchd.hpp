// The per-user launch agents of launchd.
#pragma once

#include <optional>
#include <string>

namespace platform {

// Registers the per-user agent whose job description, named `plistName`,
// lies in the app bundle at `bundlePath`. Absent on success, else the error.
std::optional<std::string> registerAgentService(const std::string& plistName,
                                                const std::string& bundlePath);

// Unregisters the per-user agent named `plistName`. Absent on success, else
// the error.
std::optional<std::string> unregisterAgentService(const std::string& plistName);

}  // namespace platform
