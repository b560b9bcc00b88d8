#include "platform/registry.hpp"

#include <IOKit/IOKitLib.h>

#include "platform/macos/cf_property_list.hpp"
#include "platform/macos/scoped_cf.hpp"

namespace platform {

using mac::ScopedCFTypeRef;
using mac::ScopedIOObject;

std::optional<bool> readRegistryTruthValue(const std::string& entryClass,
                                           const std::string& property) {
    // A class name with a NUL would match the class named by its first part.
    if (entryClass.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    // The lookup consumes the matching dictionary.
    ScopedIOObject entry(
        IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching(entryClass.c_str())));
    if (!entry) {
        return std::nullopt;
    }
    ScopedCFTypeRef<CFStringRef> key = mac::cfString(property);
    if (!key) {
        return std::nullopt;
    }
    ScopedCFTypeRef<CFTypeRef> value(
        IORegistryEntryCreateCFProperty(entry.get(), key.get(), kCFAllocatorDefault, 0));
    if (!value) {
        return std::nullopt;
    }
    const CFTypeID type = CFGetTypeID(value.get());
    if (type == CFBooleanGetTypeID()) {
        return CFBooleanGetValue(static_cast<CFBooleanRef>(value.get())) != 0;
    }
    if (type == CFNumberGetTypeID()) {
        double number = 0;
        CFNumberGetValue(static_cast<CFNumberRef>(value.get()), kCFNumberDoubleType, &number);
        return number != 0;
    }
    return std::nullopt;
}

}  // namespace platform
