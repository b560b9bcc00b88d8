#include "VellShared/Preferences.hpp"

#include <array>
#include <cmath>

#include "VellShared/PropertyListReads.hpp"

namespace {

constexpr const char* legacyDomain = "org.vell.shared";

constexpr std::array<const char*, 4> migratedKeys = {
    VellPreferences::wantedKey,
    VellPreferences::ownsOverrideKey,
    VellPreferences::priorCaffeinateKey,
    VellPreferences::caffeinateAtLaunchKey,
};

// These settings are read as untyped objects: anything stored that is not a
// Boolean (or a number exactly 0 or 1) reads as the default, true.
bool readBooleanDefaultingToTrue(const char* key) {
    const std::optional<PropertyListValue> stored = VellPreferences::store()->objectForKey(key);
    if (!stored) {
        return true;
    }
    return readBoolean(*stored).value_or(true);
}

void writeBoolean(const char* key, bool value) {
    VellPreferences::store()->setBoolForKey(value, key);
}

}  // namespace

namespace VellPreferences {

std::unique_ptr<platform::SettingsSuite> store() {
    if (auto suite = platform::openSettingsSuite(domain)) {
        return suite;
    }
    return platform::standardSettings();
}

bool wanted() {
    return store()->boolForKey(wantedKey);
}
void setWanted(bool value) {
    writeBoolean(wantedKey, value);
}

bool ownsOverride() {
    return store()->boolForKey(ownsOverrideKey);
}
void setOwnsOverride(bool value) {
    writeBoolean(ownsOverrideKey, value);
}

bool priorCaffeinate() {
    return readBooleanDefaultingToTrue(priorCaffeinateKey);
}
void setPriorCaffeinate(bool value) {
    writeBoolean(priorCaffeinateKey, value);
}

bool caffeinateAtLaunch() {
    return readBooleanDefaultingToTrue(caffeinateAtLaunchKey);
}
void setCaffeinateAtLaunch(bool value) {
    writeBoolean(caffeinateAtLaunchKey, value);
}

bool lowBatteryCutoff() {
    return readBooleanDefaultingToTrue(lowBatteryCutoffKey);
}
void setLowBatteryCutoff(bool value) {
    writeBoolean(lowBatteryCutoffKey, value);
}

std::optional<std::string> cutoffReason() {
    return store()->stringForKey(cutoffReasonKey);
}
void setCutoffReason(const std::optional<std::string>& value) {
    std::optional<PropertyListValue> stored;
    if (value) {
        stored = PropertyListValue(*value);
    }
    store()->setObjectForKey(stored, cutoffReasonKey);
}

std::optional<double> wantedUntil() {
    const std::optional<PropertyListValue> stored = store()->objectForKey(wantedUntilKey);
    const auto* date = stored ? stored->as<PropertyListDate>() : nullptr;
    // A binary property list can hold a date that is no moment at all.
    if (date == nullptr || !std::isfinite(date->secondsSinceReferenceDate)) {
        return std::nullopt;
    }
    return date->secondsSinceReferenceDate;
}
void setWantedUntil(const std::optional<double>& value) {
    std::optional<PropertyListValue> stored;
    if (value) {
        stored = PropertyListValue(PropertyListDate{*value});
    }
    store()->setObjectForKey(stored, wantedUntilKey);
}

bool wantedForHolds() {
    const std::optional<PropertyListValue> stored = store()->objectForKey(wantedForHoldsKey);
    return stored && readBoolean(*stored) == true;
}
void setWantedForHolds(bool value) {
    // Only true is stored: a wish that is the user's own leaves no trace.
    store()->setObjectForKey(value ? std::optional(PropertyListValue(true)) : std::nullopt,
                             wantedForHoldsKey);
}

std::int64_t lowBatteryThreshold() {
    const std::optional<PropertyListValue> stored = store()->objectForKey(lowBatteryThresholdKey);
    const std::optional<std::int64_t> percent = stored ? readInteger(*stored) : std::nullopt;
    if (!percent || *percent < 1 || *percent > 99) {
        return defaultLowBatteryThreshold;
    }
    return *percent;
}
void setLowBatteryThreshold(std::int64_t percent) {
    store()->setObjectForKey(PropertyListValue(percent), lowBatteryThresholdKey);
}

void migrateLegacyDomainIfNeeded() {
    const auto shared = store();
    // Presence counts, not value: a stored false means the user has settings.
    for (const char* key : migratedKeys) {
        if (shared->objectForKey(key)) {
            return;
        }
    }
    // The legacy suite has no fallback: without it there is nothing to copy.
    const auto legacy = platform::openSettingsSuite(legacyDomain);
    if (!legacy) {
        return;
    }
    for (const char* key : migratedKeys) {
        if (auto value = legacy->objectForKey(key)) {
            shared->setObjectForKey(value, key);
        }
    }
}

}  // namespace VellPreferences
