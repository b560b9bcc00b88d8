// Defaults suites through NSUserDefaults.
#include "platform/settings.hpp"

#import <Foundation/Foundation.h>

#include "platform/macos/cf_property_list.hpp"

namespace platform {
namespace {

// Nil when `text` is not UTF-8; every caller then leaves the suite alone.
NSString* nsString(const std::string& text) {
    return [[NSString alloc] initWithBytes:text.data()
                                    length:text.size()
                                  encoding:NSUTF8StringEncoding];
}

class UserDefaultsSuite : public SettingsSuite {
  public:
    // `suiteName` names the suite's preferences domain; nil for the process's own.
    UserDefaultsSuite(NSUserDefaults* defaults, NSString* suiteName)
        : defaults_(defaults), suiteName_(suiteName) {}

    std::optional<PropertyListValue> objectForKey(const std::string& key) override {
        @autoreleasepool {
            NSString* name = nsString(key);
            if (name == nil) {
                return std::nullopt;
            }
            return mac::valueFromCF((__bridge CFTypeRef)[defaults_ objectForKey:name]);
        }
    }

    bool boolForKey(const std::string& key) override {
        @autoreleasepool {
            NSString* name = nsString(key);
            return name != nil && [defaults_ boolForKey:name];
        }
    }

    std::optional<std::string> stringForKey(const std::string& key) override {
        @autoreleasepool {
            NSString* name = nsString(key);
            NSString* text = name == nil ? nil : [defaults_ stringForKey:name];
            if (text == nil) {
                return std::nullopt;
            }
            return mac::stringFromCF((__bridge CFStringRef)text);
        }
    }

    void setBoolForKey(bool value, const std::string& key) override {
        @autoreleasepool {
            NSString* name = nsString(key);
            if (name != nil) {
                [defaults_ setBool:value forKey:name];
            }
        }
    }

    // A value that can't be converted is not written: writing nil instead
    // would delete what the key holds.
    void setObjectForKey(const std::optional<PropertyListValue>& value,
                         const std::string& key) override {
        @autoreleasepool {
            NSString* name = nsString(key);
            if (name == nil) {
                return;
            }
            if (!value) {
                [defaults_ removeObjectForKey:name];
                return;
            }
            mac::ScopedCFTypeRef<CFPropertyListRef> object = mac::cfFromValue(*value);
            if (object) {
                [defaults_ setObject:(__bridge id)object.get() forKey:name];
            }
        }
    }

    // A program that exits right after writing asks for the flush, as
    // command-line tools must: it reports whether the writes reached storage.
    bool synchronize() override {
        @autoreleasepool {
            CFStringRef application = suiteName_ != nil ? (__bridge CFStringRef)suiteName_
                                                        : kCFPreferencesCurrentApplication;
            return CFPreferencesAppSynchronize(application);
        }
    }

    bool isForced(const std::string& key) override {
        @autoreleasepool {
            NSString* name = nsString(key);
            CFStringRef application = suiteName_ != nil ? (__bridge CFStringRef)suiteName_
                                                        : kCFPreferencesCurrentApplication;
            return name != nil &&
                   CFPreferencesAppValueIsForced((__bridge CFStringRef)name, application);
        }
    }

  private:
    NSUserDefaults* defaults_;
    NSString* suiteName_;
};

}  // namespace

std::unique_ptr<SettingsSuite> openSettingsSuite(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) {
        return nullptr;
    }
    @autoreleasepool {
        // A nil name would open the process's own defaults instead.
        NSString* suite = nsString(name);
        if (suite == nil || name.find('\0') != std::string::npos) {
            return nullptr;
        }
        NSUserDefaults* defaults = [[NSUserDefaults alloc] initWithSuiteName:suite];
        if (defaults == nil) {
            return nullptr;
        }
        return std::make_unique<UserDefaultsSuite>(defaults, suite);
    }
}

std::unique_ptr<SettingsSuite> standardSettings() {
    @autoreleasepool {
        return std::make_unique<UserDefaultsSuite>([NSUserDefaults standardUserDefaults], nil);
    }
}

}  // namespace platform
