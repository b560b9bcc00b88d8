#include "VellShared/Holds.hpp"

#include <algorithm>
#include <vector>

#include "VellShared/Preferences.hpp"
#include "VellShared/PropertyListReads.hpp"
#include "platform/process.hpp"

namespace {

using Holds::Hold;

constexpr const char* pidKey = "pid";
constexpr const char* startedKey = "started";

// The stored holds whose processes still run; an entry that does not read
// as a hold is dropped like one whose process is gone.
std::vector<Hold> liveHolds(const std::optional<PropertyListValue>& stored) {
    std::vector<Hold> live;
    const PropertyListArray none;
    const auto* items = stored ? stored->as<PropertyListArray>() : nullptr;
    for (const PropertyListValue& item : items ? *items : none) {
        const auto* entry = item.as<PropertyListDictionary>();
        const auto pid = entry ? readInteger(*entry, pidKey) : std::nullopt;
        const auto started = entry ? readInteger(*entry, startedKey) : std::nullopt;
        if (pid && started && platform::processStartTime(*pid) == started) {
            live.push_back({*pid, *started});
        }
    }
    return live;
}

// Writes `holds` only when they differ from what is stored: a pass that
// finds every run alive writes nothing. None left removes the key.
void store(const std::vector<Hold>& holds, const std::optional<PropertyListValue>& stored) {
    std::optional<PropertyListValue> kept;
    if (!holds.empty()) {
        PropertyListArray items;
        for (const Hold& hold : holds) {
            items.push_back(PropertyListDictionary{{pidKey, hold.pid}, {startedKey, hold.started}});
        }
        kept = PropertyListValue(std::move(items));
    }
    if (kept != stored) {
        VellPreferences::store()->setObjectForKey(kept, VellPreferences::holdsKey);
    }
}

}  // namespace

namespace Holds {

std::unique_ptr<platform::SuiteLock> lock() {
    return platform::lockSettingsSuite(VellPreferences::domain);
}

bool recorded() {
    return VellPreferences::store()->objectForKey(VellPreferences::holdsKey).has_value();
}

std::optional<Hold> take() {
    const std::int64_t pid = platform::ownProcessId();
    const std::optional<std::int64_t> started = platform::processStartTime(pid);
    if (!started) {
        return std::nullopt;
    }
    const auto stored = VellPreferences::store()->objectForKey(VellPreferences::holdsKey);
    std::vector<Hold> holds = liveHolds(stored);
    holds.push_back({pid, *started});
    store(holds, stored);
    // Nobody wanted it: the wish is the holds', and goes with the last one.
    if (!VellPreferences::wanted()) {
        VellPreferences::setWantedForHolds(true);
        VellPreferences::setWanted(true);
    }
    VellPreferences::setOwnsOverride(true);
    return Hold{pid, *started};
}

std::size_t release(const std::optional<Hold>& hold) {
    const auto stored = VellPreferences::store()->objectForKey(VellPreferences::holdsKey);
    std::vector<Hold> holds = liveHolds(stored);
    std::erase(holds, hold.value_or(Hold{}));
    store(holds, stored);
    if (!holds.empty() || !VellPreferences::wantedForHolds()) {
        return holds.size();
    }
    // The last run is over, and the wish was only the runs'.
    VellPreferences::setWanted(false);
    VellPreferences::setWantedForHolds(false);
    return 0;
}

}  // namespace Holds
