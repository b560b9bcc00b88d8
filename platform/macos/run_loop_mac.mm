// The main run loop and the agent's event sources on macOS.
#include "platform/run_loop.hpp"

#import <Foundation/Foundation.h>
#include <IOKit/ps/IOPowerSources.h>

#include "platform/macos/scoped_cf.hpp"

namespace platform {
namespace {

class PowerSourceRunLoopSource : public RunLoopSource {
  public:
    explicit PowerSourceRunLoopSource(CFRunLoopSourceRef source) : source_(source) {}
    CFRunLoopSourceRef get() const { return source_.get(); }

  private:
    mac::ScopedCFTypeRef<CFRunLoopSourceRef> source_;
};

}  // namespace

std::unique_ptr<RunLoopSource> createPowerSourceNotificationSource(RunLoopCallback callback,
                                                                   void* context) {
    CFRunLoopSourceRef source = IOPSNotificationCreateRunLoopSource(callback, context);
    if (source == nullptr) {
        return nullptr;
    }
    return std::make_unique<PowerSourceRunLoopSource>(source);
}

void addSourceToCurrentRunLoop(RunLoopSource& source) {
    auto& power = static_cast<PowerSourceRunLoopSource&>(source);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), power.get(), kCFRunLoopDefaultMode);
}

void observeThermalStateChanges(std::function<void()> handler) {
    // Kept for the life of the process, like the agent's observer; a nil
    // queue runs the block on whatever thread posts the change.
    static NSMutableArray* observers = [NSMutableArray array];
    id observer = [[NSNotificationCenter defaultCenter]
        addObserverForName:NSProcessInfoThermalStateDidChangeNotification
                    object:nil
                     queue:nil
                usingBlock:^(NSNotification*) {
                  handler();
                }];
    [observers addObject:observer];
}

void performOnMainThread(std::function<void()> work) {
    dispatch_async(dispatch_get_main_queue(), ^{
      work();
    });
}

void scheduleRepeatingTimer(double intervalSeconds, std::function<void()> tick) {
    // The run loop keeps the timer; it is never invalidated.
    [NSTimer scheduledTimerWithTimeInterval:intervalSeconds
                                    repeats:YES
                                      block:^(NSTimer*) {
                                        tick();
                                      }];
}

void runCurrentRunLoop() {
    [[NSRunLoop currentRunLoop] run];
}

}  // namespace platform
