#include "platform/macos/cf_property_list.hpp"

#include <cstdint>
#include <vector>

namespace platform::mac {
namespace {

std::optional<PropertyListValue> numberFromCF(CFNumberRef number) {
    if (!CFNumberIsFloatType(number)) {
        std::int64_t integer = 0;
        if (CFNumberGetValue(number, kCFNumberSInt64Type, &integer)) {
            return PropertyListValue(static_cast<long long>(integer));
        }
    }
    double real = 0;
    CFNumberGetValue(number, kCFNumberDoubleType, &real);
    return PropertyListValue(real);
}

std::optional<PropertyListValue> arrayFromCF(CFArrayRef array) {
    PropertyListArray items;
    const CFIndex count = CFArrayGetCount(array);
    for (CFIndex i = 0; i < count; ++i) {
        std::optional<PropertyListValue> item = valueFromCF(CFArrayGetValueAtIndex(array, i));
        if (!item) {
            return std::nullopt;
        }
        items.push_back(std::move(*item));
    }
    return PropertyListValue(std::move(items));
}

std::optional<PropertyListValue> dictionaryFromCF(CFDictionaryRef dictionary) {
    const CFIndex count = CFDictionaryGetCount(dictionary);
    std::vector<const void*> keys(static_cast<std::size_t>(count));
    std::vector<const void*> values(static_cast<std::size_t>(count));
    CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
    PropertyListDictionary entries;
    for (CFIndex i = 0; i < count; ++i) {
        if (CFGetTypeID(keys[i]) != CFStringGetTypeID()) {
            return std::nullopt;
        }
        std::optional<PropertyListValue> value = valueFromCF(values[i]);
        if (!value) {
            return std::nullopt;
        }
        entries.insert_or_assign(stringFromCF(static_cast<CFStringRef>(keys[i])),
                                 std::move(*value));
    }
    return PropertyListValue(std::move(entries));
}

bool keysAreStringsThroughout(CFTypeRef object) {
    const CFTypeID type = CFGetTypeID(object);
    if (type == CFArrayGetTypeID()) {
        const auto array = static_cast<CFArrayRef>(object);
        for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
            if (!keysAreStringsThroughout(CFArrayGetValueAtIndex(array, i))) {
                return false;
            }
        }
        return true;
    }
    if (type != CFDictionaryGetTypeID()) {
        return true;
    }
    const auto dictionary = static_cast<CFDictionaryRef>(object);
    const auto count = static_cast<std::size_t>(CFDictionaryGetCount(dictionary));
    std::vector<const void*> keys(count);
    std::vector<const void*> values(count);
    CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
    for (std::size_t i = 0; i < count; ++i) {
        if (CFGetTypeID(keys[i]) != CFStringGetTypeID() || !keysAreStringsThroughout(values[i])) {
            return false;
        }
    }
    return true;
}

// Adds `value` to `array`, or says it can't.
bool append(CFMutableArrayRef array, const PropertyListValue& value) {
    ScopedCFTypeRef<CFPropertyListRef> element = cfFromValue(value);
    if (!element) {
        return false;
    }
    CFArrayAppendValue(array, element.get());
    return true;
}

bool insert(CFMutableDictionaryRef dictionary,
            const std::string& key,
            const PropertyListValue& value) {
    ScopedCFTypeRef<CFStringRef> name = cfString(key);
    ScopedCFTypeRef<CFPropertyListRef> element = cfFromValue(value);
    if (!name || !element) {
        return false;
    }
    CFDictionarySetValue(dictionary, name.get(), element.get());
    return true;
}

}  // namespace

std::optional<PropertyListDictionary> readableEntriesFromCF(CFDictionaryRef dictionary) {
    if (!keysAreStringsThroughout(dictionary)) {
        return std::nullopt;
    }
    const auto count = static_cast<std::size_t>(CFDictionaryGetCount(dictionary));
    std::vector<const void*> keys(count);
    std::vector<const void*> values(count);
    CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
    PropertyListDictionary entries;
    for (std::size_t i = 0; i < count; ++i) {
        if (std::optional<PropertyListValue> value = valueFromCF(values[i])) {
            entries.insert_or_assign(stringFromCF(static_cast<CFStringRef>(keys[i])),
                                     std::move(*value));
        }
    }
    return entries;
}

// Never CFStringGetCStringPtr: a C string ends at the first NUL.
std::string stringFromCF(CFStringRef text) {
    const CFIndex length = CFStringGetLength(text);
    CFIndex bytes = 0;
    CFStringGetBytes(text, CFRangeMake(0, length), kCFStringEncodingUTF8, '?', false, nullptr, 0,
                     &bytes);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    CFStringGetBytes(text, CFRangeMake(0, length), kCFStringEncodingUTF8, '?', false,
                     reinterpret_cast<UInt8*>(utf8.data()), bytes, nullptr);
    return utf8;
}

ScopedCFTypeRef<CFStringRef> cfString(const std::string& text) {
    return ScopedCFTypeRef<CFStringRef>(
        CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false));
}

std::optional<PropertyListValue> valueFromCF(CFTypeRef object) {
    if (object == nullptr) {
        return std::nullopt;
    }
    const CFTypeID type = CFGetTypeID(object);
    // A CFBoolean is a Boolean here, not the number it also is.
    if (type == CFBooleanGetTypeID()) {
        return PropertyListValue(CFBooleanGetValue(static_cast<CFBooleanRef>(object)) != 0);
    }
    if (type == CFNumberGetTypeID()) {
        return numberFromCF(static_cast<CFNumberRef>(object));
    }
    if (type == CFStringGetTypeID()) {
        return PropertyListValue(stringFromCF(static_cast<CFStringRef>(object)));
    }
    if (type == CFDataGetTypeID()) {
        const auto data = static_cast<CFDataRef>(object);
        const UInt8* bytes = CFDataGetBytePtr(data);
        return PropertyListValue(PropertyListData(bytes, bytes + CFDataGetLength(data)));
    }
    if (type == CFDateGetTypeID()) {
        return PropertyListValue(
            PropertyListDate{CFDateGetAbsoluteTime(static_cast<CFDateRef>(object))});
    }
    if (type == CFArrayGetTypeID()) {
        return arrayFromCF(static_cast<CFArrayRef>(object));
    }
    if (type == CFDictionaryGetTypeID()) {
        return dictionaryFromCF(static_cast<CFDictionaryRef>(object));
    }
    return std::nullopt;
}

ScopedCFTypeRef<CFPropertyListRef> cfFromValue(const PropertyListValue& value) {
    using Result = ScopedCFTypeRef<CFPropertyListRef>;
    if (const auto* boolean = value.as<bool>()) {
        return Result(CFRetain(*boolean ? kCFBooleanTrue : kCFBooleanFalse));
    }
    if (const auto* integer = value.as<std::int64_t>()) {
        return Result(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, integer));
    }
    if (const auto* real = value.as<double>()) {
        return Result(CFNumberCreate(kCFAllocatorDefault, kCFNumberDoubleType, real));
    }
    if (const auto* text = value.as<std::string>()) {
        ScopedCFTypeRef<CFStringRef> string = cfString(*text);
        return Result(string ? CFRetain(string.get()) : nullptr);
    }
    if (const auto* data = value.as<PropertyListData>()) {
        return Result(
            CFDataCreate(kCFAllocatorDefault, data->data(), static_cast<CFIndex>(data->size())));
    }
    if (const auto* date = value.as<PropertyListDate>()) {
        return Result(CFDateCreate(kCFAllocatorDefault, date->secondsSinceReferenceDate));
    }
    if (const auto* items = value.as<PropertyListArray>()) {
        ScopedCFTypeRef<CFMutableArrayRef> array(
            CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks));
        for (const auto& item : *items) {
            if (!append(array.get(), item)) {
                return Result();
            }
        }
        return Result(CFRetain(array.get()));
    }
    ScopedCFTypeRef<CFMutableDictionaryRef> dictionary(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    for (const auto& [key, item] : *value.as<PropertyListDictionary>()) {
        if (!insert(dictionary.get(), key, item)) {
            return Result();
        }
    }
    return Result(CFRetain(dictionary.get()));
}

}  // namespace platform::mac
