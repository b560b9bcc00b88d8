// The registry entry of class C is the property-list file root/IORegistry/C.plist,
// whose root dictionary holds the entry's properties.
#include "platform/registry.hpp"

#include "platform/linux/property_list_cache.hpp"
#include "platform/linux/system_root.hpp"

namespace platform {

std::optional<bool> readRegistryTruthValue(const std::string& entryClass,
                                           const std::string& property) {
    if (entryClass.empty() || entryClass.find('/') != std::string::npos) {
        return std::nullopt;
    }
    const auto entry = linux_host::currentDictionary(
        linux_host::rootedPath("/IORegistry/" + entryClass + ".plist"));
    if (!entry) {
        return std::nullopt;
    }
    const auto found = entry->find(property);
    if (found == entry->end()) {
        return std::nullopt;
    }
    const PropertyListValue& value = found->second;
    if (const auto* boolean = value.as<bool>()) {
        return *boolean;
    }
    if (const auto* integer = value.as<std::int64_t>()) {
        return *integer != 0;
    }
    if (const auto* real = value.as<double>()) {
        return *real != 0;
    }
    return std::nullopt;
}

}  // namespace platform
