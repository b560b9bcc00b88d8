// When keeping sleep disabled has become unsafe, and the message that says why.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/property_list.hpp"
#include "platform/thermal_state.hpp"

namespace SafetyCutoff {

// A battery at this percentage cuts off; one above it does not.
inline constexpr std::int64_t batteryThreshold = 10;

struct Battery {
    // The machine runs on this battery, not on external power.
    bool onBattery = false;
    // The charge in percent of the maximum capacity, rounded; not clamped.
    std::int64_t percent = 0;

    bool operator==(const Battery&) const = default;
};

// The internal battery as the platform reports it now.
std::optional<Battery> battery();

// The first internal battery among `descriptions` that is present and has
// readable capacities; absent when there is none.
std::optional<Battery> battery(const std::vector<PropertyListDictionary>& descriptions);

// Critical heat always cuts off; a battery at or below `threshold` while
// the machine runs on it cuts off when the low-battery cutoff is enabled.
std::optional<std::string> reason(const std::optional<Battery>& battery,
                                  platform::ThermalState thermalState,
                                  bool lowBatteryEnabled,
                                  std::int64_t threshold = batteryThreshold);

// The rule applied to the battery, thermal state and settings of this moment.
std::optional<std::string> currentReason();

}  // namespace SafetyCutoff
