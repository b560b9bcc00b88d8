// The settings the agent shares with its companion app, in the shared
// defaults suite. Every access opens the suite afresh: nothing is cached, and
// the last writer wins.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/settings.hpp"

namespace VellPreferences {

inline constexpr const char* domain = "org.vell.app.shared";

inline constexpr const char* wantedKey = "vellWanted";
inline constexpr const char* ownsOverrideKey = "vellOwnsOverride";
inline constexpr const char* priorCaffeinateKey = "priorCaffeinate";
inline constexpr const char* caffeinateAtLaunchKey = "caffeinateAtLaunch";
inline constexpr const char* lowBatteryCutoffKey = "lowBatteryCutoff";
inline constexpr const char* cutoffReasonKey = "cutoffReason";
inline constexpr const char* wantedUntilKey = "vellWantedUntil";
inline constexpr const char* holdsKey = "vellHolds";
inline constexpr const char* wantedForHoldsKey = "vellWantedForHolds";
inline constexpr const char* lowBatteryThresholdKey = "lowBatteryThreshold";

// The user's wish that sleep be disabled; false when never set.
bool wanted();
void setWanted(bool value);

// The agent owns the override and may change it; false when never set.
bool ownsOverride();
void setOwnsOverride(bool value);

// The companion app's own settings; true when never set.
bool priorCaffeinate();
void setPriorCaffeinate(bool value);
bool caffeinateAtLaunch();
void setCaffeinateAtLaunch(bool value);

// The low-battery cutoff is enabled; true when never set.
bool lowBatteryCutoff();
void setLowBatteryCutoff(bool value);

// Why the agent last turned the override off; absent removes the key.
std::optional<std::string> cutoffReason();
void setCutoffReason(const std::optional<std::string>& value);

// When a timed wish ends, in seconds since 2001-01-01 UTC; absent when the
// wish has no end, and for a stored value that is not a date or not finite.
std::optional<double> wantedUntil();
void setWantedUntil(const std::optional<double>& value);

// The wish stands only for the runs that hold it: the last one to end
// withdraws it.
bool wantedForHolds();
void setWantedForHolds(bool value);

// The battery percentage at or below which the low-battery cutoff turns the
// override off: a whole number from 1 to 99, else 10.
inline constexpr std::int64_t defaultLowBatteryThreshold = 10;
std::int64_t lowBatteryThreshold();
void setLowBatteryThreshold(std::int64_t percent);

// The shared suite, owned by the caller.
std::unique_ptr<platform::SettingsSuite> store();

// Copies the settings of earlier versions over from the legacy suite, once:
// only while the shared suite holds none of them.
void migrateLegacyDomainIfNeeded();

}  // namespace VellPreferences
