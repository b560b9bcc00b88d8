// Defaults suites through NSUserDefaults.
#include "platform/settings.hpp"

#import <Foundation/Foundation.h>

#include "platform/macos/cf_property_list.hpp"

namespace platform {
namespace {

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
            id object = [defaults_ objectForKey:nsString(key)];
            return mac::valueFromCF((__bridge CFTypeRef)object);
        }
    }

    bool boolForKey(const std::string& key) override {
        @autoreleasepool {
            return [defaults_ boolForKey:nsString(key)];
        }
    }

    std::optional<std::string> stringForKey(const std::string& key) override {
        @autoreleasepool {
            NSString* text = [defaults_ stringForKey:nsString(key)];
            if (text == nil) {
                return std::nullopt;
            }
            return std::string(text.UTF8String ? text.UTF8String : "");
        }
    }

    void setBoolForKey(bool value, const std::string& key) override {
        @autoreleasepool {
            [defaults_ setBool:value forKey:nsString(key)];
        }
    }

    void setObjectForKey(const std::optional<PropertyListValue>& value,
                         const std::string& key) override {
        @autoreleasepool {
            if (!value) {
                [defaults_ setObject:nil forKey:nsString(key)];
                return;
            }
            mac::ScopedCFTypeRef<CFPropertyListRef> object = mac::cfFromValue(*value);
            [defaults_ setObject:(__bridge id)object.get() forKey:nsString(key)];
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

  private:
    NSUserDefaults* defaults_;
    NSString* suiteName_;
};

}  // namespace

std::unique_ptr<SettingsSuite> openSettingsSuite(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) {
        return nullptr;
    }
    NSString* suiteName = nsString(name);
    NSUserDefaults* defaults = [[NSUserDefaults alloc] initWithSuiteName:suiteName];
    if (defaults == nil) {
        return nullptr;
    }
    return std::make_unique<UserDefaultsSuite>(defaults, suiteName);
}

std::unique_ptr<SettingsSuite> standardSettings() {
    return std::make_unique<UserDefaultsSuite>([NSUserDefaults standardUserDefaults], nil);
}

}  // namespace platform
