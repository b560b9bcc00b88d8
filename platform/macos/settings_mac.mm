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
    explicit UserDefaultsSuite(NSUserDefaults* defaults) : defaults_(defaults) {}

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

    bool synchronize() override {
        @autoreleasepool {
            return [defaults_ synchronize];
        }
    }

  private:
    NSUserDefaults* defaults_;
};

}  // namespace

std::unique_ptr<SettingsSuite> openSettingsSuite(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) {
        return nullptr;
    }
    NSUserDefaults* defaults = [[NSUserDefaults alloc] initWithSuiteName:nsString(name)];
    if (defaults == nil) {
        return nullptr;
    }
    return std::make_unique<UserDefaultsSuite>(defaults);
}

std::unique_ptr<SettingsSuite> standardSettings() {
    return std::make_unique<UserDefaultsSuite>([NSUserDefaults standardUserDefaults]);
}

}  // namespace platform
