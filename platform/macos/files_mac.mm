#include "platform/files.hpp"

#import <Foundation/Foundation.h>

#include "platform/macos/cf_property_list.hpp"

namespace platform {
namespace {

// Nil for a path with a NUL in it, which names no file: read as a C string
// it would name a shorter path instead.
NSString* pathString(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos) {
        return nil;
    }
    return [[NSFileManager defaultManager] stringWithFileSystemRepresentation:path.data()
                                                                       length:path.size()];
}

}  // namespace

bool fileExists(const std::string& path) {
    @autoreleasepool {
        NSString* file = pathString(path);
        return file != nil && [[NSFileManager defaultManager] fileExistsAtPath:file];
    }
}

std::shared_ptr<const PropertyListDictionary> readDictionaryFile(const std::string& path) {
    @autoreleasepool {
        NSString* file = pathString(path);
        if (file == nil) {
            return nullptr;
        }
        NSDictionary* dictionary =
            [[NSDictionary alloc] initWithContentsOfURL:[NSURL fileURLWithPath:file]];
        if (dictionary == nil) {
            return nullptr;
        }
        std::optional<PropertyListValue> value = mac::valueFromCF((__bridge CFTypeRef)dictionary);
        if (!value || !value->is<PropertyListDictionary>()) {
            return nullptr;
        }
        return std::make_shared<const PropertyListDictionary>(*value->as<PropertyListDictionary>());
    }
}

}  // namespace platform
