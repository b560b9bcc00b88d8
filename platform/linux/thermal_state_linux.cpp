// The thermal state from root/sys/class/thermal/thermal_zone*/: a zone at or
// above a "critical" trip point is critical, at or above a "hot" one serious,
// at or above a "passive" one fair. The machine is as hot as its hottest zone.
#include "platform/thermal_state.hpp"

#include <algorithm>
#include <mutex>
#include <optional>

#include "platform/linux/folder_changes.hpp"
#include "platform/linux/sysfs.hpp"
#include "platform/linux/system_root.hpp"

namespace platform {
namespace {

ThermalState stateForTrip(const std::string& type) {
    if (type == "critical") {
        return ThermalState::critical;
    }
    if (type == "hot") {
        return ThermalState::serious;
    }
    if (type == "passive") {
        return ThermalState::fair;
    }
    return ThermalState::nominal;
}

ThermalState zoneState(const std::string& zone) {
    const auto temperature = linux_host::readIntegerAttribute(zone + "/temp");
    if (!temperature) {
        return ThermalState::nominal;
    }
    ThermalState state = ThermalState::nominal;
    for (int trip = 0;; ++trip) {
        const std::string prefix = zone + "/trip_point_" + std::to_string(trip);
        const auto type = linux_host::readAttribute(prefix + "_type");
        if (!type) {
            break;
        }
        const auto threshold = linux_host::readIntegerAttribute(prefix + "_temp");
        if (threshold && *temperature >= *threshold) {
            state = std::max(state, stateForTrip(*type));
        }
    }
    return state;
}

ThermalState hottestZone(const std::string& folder) {
    ThermalState state = ThermalState::nominal;
    for (const std::string& name : linux_host::sortedEntries(folder)) {
        if (name.rfind("thermal_zone", 0) == 0) {
            state = std::max(state, zoneState(folder + "/" + name));
        }
    }
    return state;
}

}  // namespace

// Like the Mac's, the state is kept until the thermal zones change. Never
// destroyed: the watcher's thread may still read it while the process exits.
ThermalState currentThermalState() {
    struct Reading {
        std::mutex mutex;
        std::string root;
        std::optional<linux_host::FolderChanges> changes;
        ThermalState state = ThermalState::nominal;
    };
    static auto* kept = new Reading;
    std::lock_guard<std::mutex> lock(kept->mutex);
    if (!kept->changes || !linux_host::isSystemRoot(kept->root)) {
        kept->root = linux_host::systemRoot();
        kept->changes.emplace(kept->root + "/sys/class/thermal");
    }
    if (kept->changes->changedSinceLastAsked()) {
        kept->state = hottestZone(kept->changes->folder());
    }
    return kept->state;
}

}  // namespace platform
