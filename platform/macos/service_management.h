// ServiceManagement's SMAppService, from the SDK where it has the framework's
// headers; otherwise just the members Vell calls, as the macOS 13 SDK
// declares them. Objective-C only.
#pragma once

#import <Foundation/Foundation.h>

#if __has_include(<ServiceManagement/ServiceManagement.h>)
#import <ServiceManagement/ServiceManagement.h>
#else
typedef NS_ENUM(NSInteger, SMAppServiceStatus) {
    SMAppServiceStatusNotRegistered = 0,
    SMAppServiceStatusEnabled = 1,
    SMAppServiceStatusRequiresApproval = 2,
    SMAppServiceStatusNotFound = 3,
};
@interface SMAppService : NSObject
@property(class, readonly) SMAppService* mainAppService;
+ (instancetype)agentServiceWithPlistName:(NSString*)plistName;
@property(readonly) SMAppServiceStatus status;
- (BOOL)registerAndReturnError:(NSError**)error;
- (BOOL)unregisterAndReturnError:(NSError**)error;
@end
#endif
