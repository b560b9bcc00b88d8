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

// The entries of `dictionary` whose values are property-list values, the
// others left out; absent when a key at any depth is not a string. For
// descriptions read by a few top-level keys, where an odd value elsewhere
// must not hide the ones that matter.
std::optional<PropertyListDictionary> readableEntriesFromCF(CFDictionaryRef dictionary);

// A new property-list object holding `value`; nothing when any string in it,
// key or value, is not UTF-8, so that no part of it is written.
ScopedCFTypeRef<CFPropertyListRef> cfFromValue(const PropertyListValue& value);

// Every character of `text`, embedded NULs included.
std::string stringFromCF(CFStringRef text);
// Nothing when `text` is not UTF-8.
ScopedCFTypeRef<CFStringRef> cfString(const std::string& text);

}  // namespace platform::mac
