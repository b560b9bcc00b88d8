// The registry entry of class C is the property-list file root/IORegistry/C.plist,
// whose root dictionary holds the entry's properties.
#include "platform/registry.hpp"

#include "platform/linux/property_list_file.hpp"
#include "platform/linux/system_root.hpp"

namespace platform {

std::optional<bool> readRegistryTruthValue(const std::string& entryClass,
                                           const std::string& property) {
    if (entryClass.empty() || entryClass.find('/') != std::string::npos) {
        return std::nullopt;
    }
    const auto entry = linux_host::readPropertyListFile(
        linux_host::rootedPath("/IORegistry/" + entryClass + ".plist"));
    if (!entry || plist_get_node_type(entry->get()) != PLIST_DICT) {
        return std::nullopt;
    }
    plist_t value = plist_dict_get_item(entry->get(), property.c_str());
    if (value == nullptr) {
        return std::nullopt;
    }
    switch (plist_get_node_type(value)) {
        case PLIST_BOOLEAN: {
            std::uint8_t boolean = 0;
            plist_get_bool_val(value, &boolean);
            return boolean != 0;
        }
        case PLIST_UINT: {
            std::uint64_t number = 0;
            plist_get_uint_val(value, &number);
            return number != 0;
        }
        case PLIST_REAL: {
            double number = 0;
            plist_get_real_val(value, &number);
            return number != 0;
        }
        default:
            return std::nullopt;
    }
}

}  // namespace platform
