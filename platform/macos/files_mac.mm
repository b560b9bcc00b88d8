#include "platform/files.hpp"

#import <Foundation/Foundation.h>

#include "platform/macos/cf_property_list.hpp"

namespace platform {

bool fileExists(const std::string& path) {
    @autoreleasepool {
        NSString* file = [NSString stringWithUTF8String:path.c_str()];
        return file != nil && [[NSFileManager defaultManager] fileExistsAtPath:file];
    }
}

std::optional<PropertyListDictionary> readDictionaryFile(const std::string& path) {
    @autoreleasepool {
        NSString* file = [NSString stringWithUTF8String:path.c_str()];
        if (file == nil) {
            return std::nullopt;
        }
        NSDictionary* dictionary =
            [[NSDictionary alloc] initWithContentsOfURL:[NSURL fileURLWithPath:file]];
        if (dictionary == nil) {
            return std::nullopt;
        }
        std::optional<PropertyListValue> value = mac::valueFromCF((__bridge CFTypeRef)dictionary);
        if (!value || !value->is<PropertyListDictionary>()) {
            return std::nullopt;
        }
        return *value->as<PropertyListDictionary>();
    }
}

}  // namespace platform
