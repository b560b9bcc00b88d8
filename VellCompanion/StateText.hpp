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

// A moment in seconds since 2001-01-01 UTC as ISO 8601 UTC, to the second:
// "2026-12-07T13:30:00Z".
std::string isoDate(double calendarSeconds);
// "2 h 05 min", "4 min 09 s" or "42 s", rounded up to the second.
std::string describeTimeLeft(double seconds);

// One JSON object whose keys the README lists:
// wanted, ownsOverride, override ("on", "off", "unreadable"), cutoffReason
// (string or null), batteryPercent (number or null), onBattery (Boolean or
// null), thermalState, lowBatteryCutoff, lowBatteryCutoffManaged,
// registration ("enabled",
// "requiresApproval", "notRegistered", "notFound"), agentRunning,
// passwordlessPmset, wantedUntil (ISO 8601 UTC or null), lowBatteryThreshold.
std::string stateAsJson(const State& state);

}  // namespace VellCompanion
