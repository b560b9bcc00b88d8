#include "platform/power_sources.hpp"

#include <IOKit/ps/IOPowerSources.h>

#include "platform/macos/cf_property_list.hpp"
#include "platform/macos/scoped_cf.hpp"

namespace platform {

using mac::ScopedCFTypeRef;

// A fresh snapshot on every call; a pass takes one and the rule reads all
// its keys from it.
std::shared_ptr<const PowerSourceDescriptions> copyPowerSourceDescriptions() {
    ScopedCFTypeRef<CFTypeRef> snapshot(IOPSCopyPowerSourcesInfo());
    if (!snapshot) {
        return nullptr;
    }
    ScopedCFTypeRef<CFArrayRef> sources(IOPSCopyPowerSourcesList(snapshot.get()));
    if (!sources) {
        return nullptr;
    }
    auto descriptions = std::make_shared<PowerSourceDescriptions>();
    const CFIndex count = CFArrayGetCount(sources.get());
    for (CFIndex i = 0; i < count; ++i) {
        // Borrowed from the snapshot, which outlives this loop.
        CFDictionaryRef description =
            IOPSGetPowerSourceDescription(snapshot.get(), CFArrayGetValueAtIndex(sources.get(), i));
        if (description == nullptr || CFGetTypeID(description) != CFDictionaryGetTypeID()) {
            continue;
        }
        // A key that is not a string skips the source; a value that is not a
        // property-list value is only left out, since the rule reads five keys.
        if (std::optional<PropertyListDictionary> entries =
                mac::readableEntriesFromCF(description)) {
            descriptions->push_back(std::move(*entries));
        }
    }
    return descriptions;
}

}  // namespace platform
