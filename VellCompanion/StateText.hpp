// The companion's state in words, as both faces show it, and as JSON.
#pragma once

#include <string>

#include "VellCompanion/Companion.hpp"

namespace VellCompanion {

// "on (sleep is disabled)", "off (the Mac sleeps normally)" or "unreadable".
std::string describeOverride(const std::optional<bool>& sleepDisabled);
// "55% on battery", "80% on external power" or "none".
std::string describeBattery(const std::optional<SafetyCutoff::Battery>& battery);
// "nominal", "fair", "serious" or "critical".
const char* describeThermalState(platform::ThermalState state);
// "enabled", "requires approval in System Settings › …", "not registered"
// or "not found".
std::string describeRegistration(platform::AgentServiceStatus status);

// The checks as a command for Terminal, naming the bundle's vell in full,
// quoted for the shell ("'/Applications/Vell.app/Contents/MacOS/vell'
// doctor"); "vell doctor" when the bundle's place is unknown.
std::string doctorCommand(const std::optional<std::string>& bundlePath);

// One JSON object whose keys the README lists:
// wanted, ownsOverride, override ("on", "off", "unreadable"), cutoffReason
// (string or null), batteryPercent (number or null), onBattery (Boolean or
// null), thermalState, lowBatteryCutoff, lowBatteryCutoffManaged,
// registration ("enabled",
// "requiresApproval", "notRegistered", "notFound"), agentRunning,
// passwordlessPmset.
std::string stateAsJson(const State& state);

}  // namespace VellCompanion
