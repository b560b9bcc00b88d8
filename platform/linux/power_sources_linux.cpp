// The power sources are the folders under root/sys/class/power_supply/, in
// name order. Each battery among them gives one description with the keys
// the Mac publishes.
#include "platform/power_sources.hpp"

#include <array>
#include <mutex>

#include "platform/linux/folder_changes.hpp"
#include "platform/linux/sysfs.hpp"
#include "platform/linux/system_root.hpp"

namespace platform {
namespace {

using linux_host::readAttribute;
using linux_host::readIntegerAttribute;

struct CapacityFiles {
    const char* current;
    const char* maximum;
};

constexpr std::array<CapacityFiles, 2> capacityFamilies = {{
    {"energy_now", "energy_full"},
    {"charge_now", "charge_full"},
}};

void addCapacities(const std::string& supply, PropertyListDictionary& description) {
    for (const CapacityFiles& family : capacityFamilies) {
        const auto current = readIntegerAttribute(supply + "/" + family.current);
        const auto maximum = readIntegerAttribute(supply + "/" + family.maximum);
        if (!current && !maximum) {
            continue;
        }
        if (current) {
            description["Current Capacity"] = PropertyListValue(static_cast<long long>(*current));
        }
        if (maximum) {
            description["Max Capacity"] = PropertyListValue(static_cast<long long>(*maximum));
        }
        return;
    }
    if (const auto percent = readIntegerAttribute(supply + "/capacity")) {
        description["Current Capacity"] = PropertyListValue(static_cast<long long>(*percent));
        description["Max Capacity"] = PropertyListValue(100);
    }
}

PropertyListDictionary describeBattery(const std::string& supply) {
    PropertyListDictionary description;
    // A peripheral's battery (a mouse, say) is not the machine's.
    const bool peripheral = readAttribute(supply + "/scope") == "Device";
    description["Type"] = PropertyListValue(peripheral ? "Accessory Source" : "InternalBattery");
    const auto present = readAttribute(supply + "/present");
    if (present == "1" || present == "0") {
        description["Is Present"] = PropertyListValue(*present == "1");
    }
    addCapacities(supply, description);
    const bool discharging = readAttribute(supply + "/status") == "Discharging";
    description["Power Source State"] =
        PropertyListValue(discharging ? "Battery Power" : "AC Power");
    return description;
}

std::vector<PropertyListDictionary> describeSupplies(const std::string& folder) {
    std::vector<PropertyListDictionary> descriptions;
    for (const std::string& name : linux_host::sortedEntries(folder)) {
        const std::string supply = folder + "/" + name;
        if (readAttribute(supply + "/type") != "Battery") {
            continue;
        }
        descriptions.push_back(describeBattery(supply));
    }
    return descriptions;
}

}  // namespace

// Like the Mac's power daemon, the stand-in keeps the last snapshot until
// the power supplies change. Never destroyed: the thermal watcher's thread
// may still be running while the process exits.
std::optional<std::vector<PropertyListDictionary>> copyPowerSourceDescriptions() {
    struct Snapshot {
        std::mutex mutex;
        std::optional<linux_host::FolderChanges> changes;
        std::vector<PropertyListDictionary> descriptions;
    };
    static auto* kept = new Snapshot;
    const std::string folder = linux_host::rootedPath("/sys/class/power_supply");
    std::lock_guard<std::mutex> lock(kept->mutex);
    if (!kept->changes || kept->changes->folder() != folder) {
        kept->changes.emplace(folder);
    }
    if (kept->changes->changedSinceLastAsked()) {
        kept->descriptions = describeSupplies(folder);
    }
    return kept->descriptions;
}

}  // namespace platform
