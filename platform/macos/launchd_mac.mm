// Per-user launch agents through ServiceManagement's SMAppService.
#include "platform/launchd.hpp"

#import <Foundation/Foundation.h>

#include "platform/macos/service_management.h"

namespace platform {
namespace {

std::string describe(NSError* error) {
    NSString* text = error.localizedDescription ?: @"unknown error";
    return text.UTF8String ? text.UTF8String : "unknown error";
}

}  // namespace

// SMAppService looks for the job description in the running app's bundle.
AgentServiceStatus agentServiceStatus(const std::string& plistName,
                                      const std::string& /*bundlePath*/) {
    @autoreleasepool {
        NSString* name = [NSString stringWithUTF8String:plistName.c_str()];
        if (name == nil) {
            return AgentServiceStatus::notFound;
        }
        switch ([SMAppService agentServiceWithPlistName:name].status) {
            case SMAppServiceStatusEnabled:
                return AgentServiceStatus::enabled;
            case SMAppServiceStatusRequiresApproval:
                return AgentServiceStatus::requiresApproval;
            case SMAppServiceStatusNotRegistered:
                return AgentServiceStatus::notRegistered;
            case SMAppServiceStatusNotFound:
                return AgentServiceStatus::notFound;
        }
        return AgentServiceStatus::notFound;
    }
}

// SMAppService finds the job description in the running app's bundle.
std::optional<std::string> registerAgentService(const std::string& plistName,
                                                const std::string& /*bundlePath*/) {
    @autoreleasepool {
        NSString* name = [NSString stringWithUTF8String:plistName.c_str()];
        NSError* error = nil;
        if ([[SMAppService agentServiceWithPlistName:name] registerAndReturnError:&error]) {
            return std::nullopt;
        }
        return describe(error);
    }
}

std::optional<std::string> unregisterAgentService(const std::string& plistName) {
    @autoreleasepool {
        NSString* name = [NSString stringWithUTF8String:plistName.c_str()];
        NSError* error = nil;
        if ([[SMAppService agentServiceWithPlistName:name] unregisterAndReturnError:&error]) {
            return std::nullopt;
        }
        return describe(error);
    }
}

}  // namespace platform
