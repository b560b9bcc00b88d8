#include "VellShared/SafetyCutoff.hpp"

#include <cmath>

#include "VellShared/Preferences.hpp"
#include "VellShared/PropertyListReads.hpp"
#include "platform/power_sources.hpp"

namespace {

constexpr const char* typeKey = "Type";
constexpr const char* isPresentKey = "Is Present";
constexpr const char* currentCapacityKey = "Current Capacity";
constexpr const char* maxCapacityKey = "Max Capacity";
constexpr const char* powerSourceStateKey = "Power Source State";
constexpr const char* internalBatteryType = "InternalBattery";
constexpr const char* batteryPowerState = "Battery Power";

constexpr double twoToThe63 = 9223372036854775808.0;

// The charge in percent, rounded half away from zero; absent when it would
// not fit a signed 64-bit integer, which no real capacities give.
std::optional<std::int64_t> percentOf(std::int64_t current, std::int64_t maximum) {
    const double percent =
        std::round(static_cast<double>(current) * 100.0 / static_cast<double>(maximum));
    if (!(percent >= -twoToThe63 && percent < twoToThe63)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(percent);
}

std::optional<SafetyCutoff::Battery> batteryFrom(const PropertyListDictionary& description) {
    if (readString(description, typeKey) != internalBatteryType) {
        return std::nullopt;
    }
    if (readBoolean(description, isPresentKey) == false) {
        return std::nullopt;
    }
    const std::optional<std::int64_t> current = readInteger(description, currentCapacityKey);
    if (!current) {
        return std::nullopt;
    }
    const std::optional<std::int64_t> maximum = readInteger(description, maxCapacityKey);
    if (!maximum || *maximum < 1) {
        return std::nullopt;
    }
    const std::optional<std::int64_t> percent = percentOf(*current, *maximum);
    if (!percent) {
        return std::nullopt;
    }
    const bool onBattery = readString(description, powerSourceStateKey) == batteryPowerState;
    return SafetyCutoff::Battery{onBattery, *percent};
}

}  // namespace

namespace SafetyCutoff {

std::optional<Battery> battery() {
    const auto descriptions = platform::copyPowerSourceDescriptions();
    if (!descriptions) {
        return std::nullopt;
    }
    return battery(*descriptions);
}

std::optional<Battery> battery(const std::vector<PropertyListDictionary>& descriptions) {
    for (const PropertyListDictionary& description : descriptions) {
        if (auto found = batteryFrom(description)) {
            return found;
        }
    }
    return std::nullopt;
}

std::optional<std::string> reason(const std::optional<Battery>& battery,
                                  platform::ThermalState thermalState,
                                  bool lowBatteryEnabled,
                                  std::int64_t threshold) {
    if (thermalState == platform::ThermalState::critical) {
        return std::string("Vell turned off: Mac is too hot");
    }
    if (!lowBatteryEnabled || !battery || !battery->onBattery) {
        return std::nullopt;
    }
    if (battery->percent > threshold) {
        return std::nullopt;
    }
    return "Vell turned off: battery at " + std::to_string(battery->percent) + "%";
}

std::optional<std::string> currentReason() {
    // The battery is read even when the thermal state alone decides.
    const std::optional<Battery> current = battery();
    const platform::ThermalState thermalState = platform::currentThermalState();
    const bool lowBatteryEnabled = VellPreferences::lowBatteryCutoff();
    return reason(current, thermalState, lowBatteryEnabled, VellPreferences::lowBatteryThreshold());
}

}  // namespace SafetyCutoff
