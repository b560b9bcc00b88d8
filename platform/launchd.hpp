// The per-user launch agents of launchd.
#pragma once

#include <optional>
#include <string>

namespace platform {

// Where the per-user agent stands with launchd and the user.
enum class AgentServiceStatus {
    notRegistered,
    enabled,
    // Registered, but the user has to allow it in System Settings.
    requiresApproval,
    // No job description by that name in the app bundle.
    notFound,
};

// The status of the per-user agent named `plistName`, whose job description
// lies in the app bundle at `bundlePath`.
AgentServiceStatus agentServiceStatus(const std::string& plistName, const std::string& bundlePath);

// Registers the per-user agent whose job description, named `plistName`,
// lies in the app bundle at `bundlePath`. Absent on success, else the error.
std::optional<std::string> registerAgentService(const std::string& plistName,
                                                const std::string& bundlePath);

// Unregisters the per-user agent named `plistName`. Absent on success, else
// the error.
std::optional<std::string> unregisterAgentService(const std::string& plistName);

}  // namespace platform
