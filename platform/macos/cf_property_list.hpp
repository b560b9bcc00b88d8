// Between CoreFoundation's property-list objects and the logic's values.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <optional>
#include <string>

#include "platform/macos/scoped_cf.hpp"
#include "platform/property_list.hpp"

namespace platform::mac {

// The value of a property-list object; absent for anything else, and for a
// dictionary with a key that is not a string, at any depth.
std::optional<PropertyListValue> valueFromCF(CFTypeRef object);

// A new property-list object holding `value`.
ScopedCFTypeRef<CFPropertyListRef> cfFromValue(const PropertyListValue& value);

std::string stringFromCF(CFStringRef text);
ScopedCFTypeRef<CFStringRef> cfString(const std::string& text);

}  // namespace platform::mac
