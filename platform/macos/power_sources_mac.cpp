#include "platform/power_sources.hpp"

#include <IOKit/ps/IOPowerSources.h>

#include "platform/macos/cf_property_list.hpp"
#include "platform/macos/scoped_cf.hpp"

namespace platform {

using mac::ScopedCFTypeRef;

std::optional<std::vector<PropertyListDictionary>> copyPowerSourceDescriptions() {
    ScopedCFTypeRef<CFTypeRef> snapshot(IOPSCopyPowerSourcesInfo());
    if (!snapshot) {
        return std::nullopt;
    }
    ScopedCFTypeRef<CFArrayRef> sources(IOPSCopyPowerSourcesList(snapshot.get()));
    if (!sources) {
        return std::nullopt;
    }
    std::vector<PropertyListDictionary> descriptions;
    const CFIndex count = CFArrayGetCount(sources.get());
    for (CFIndex i = 0; i < count; ++i) {
        // Borrowed from the snapshot, which outlives this loop.
        CFDictionaryRef description =
            IOPSGetPowerSourceDescription(snapshot.get(), CFArrayGetValueAtIndex(sources.get(), i));
        if (description == nullptr || CFGetTypeID(description) != CFDictionaryGetTypeID()) {
            continue;
        }
        // A dictionary with a key that is not a string reads as nothing: skipped.
        std::optional<PropertyListValue> value = mac::valueFromCF(description);
        if (value && value->is<PropertyListDictionary>()) {
            descriptions.push_back(*value->as<PropertyListDictionary>());
        }
    }
    return descriptions;
}

}  // namespace platform
