// The main run loop and the agent's event sources on macOS.
#include "platform/run_loop.hpp"

#import <Foundation/Foundation.h>
#include <IOKit/ps/IOPowerSources.h>
#include <dispatch/dispatch.h>
#include <signal.h>

#include <vector>

#include "platform/macos/scoped_cf.hpp"
#include "platform/posix/termination_signals.hpp"

namespace platform {
namespace {

// The agent runs for weeks: whatever Objective-C objects an event's work
// autoreleases are freed when that event is done, not never.
class PowerSourceRunLoopSource : public RunLoopSource {
  public:
    PowerSourceRunLoopSource(RunLoopCallback callback, void* context)
        : callback_(callback), context_(context) {}
    // Off every run loop, so that no callback reaches a destroyed source.
    ~PowerSourceRunLoopSource() override {
        if (source_) {
            CFRunLoopSourceInvalidate(source_.get());
        }
    }
    PowerSourceRunLoopSource(const PowerSourceRunLoopSource&) = delete;
    PowerSourceRunLoopSource& operator=(const PowerSourceRunLoopSource&) = delete;

    bool create() {
        source_.reset(IOPSNotificationCreateRunLoopSource(&PowerSourceRunLoopSource::fire, this));
        return static_cast<bool>(source_);
    }
    CFRunLoopSourceRef get() const { return source_.get(); }

  private:
    static void fire(void* self) {
        @autoreleasepool {
            auto* source = static_cast<PowerSourceRunLoopSource*>(self);
            source->callback_(source->context_);
        }
    }

    RunLoopCallback callback_;
    void* context_;
    mac::ScopedCFTypeRef<CFRunLoopSourceRef> source_;
};

}  // namespace

std::unique_ptr<RunLoopSource> createPowerSourceNotificationSource(RunLoopCallback callback,
                                                                   void* context) {
    auto source = std::make_unique<PowerSourceRunLoopSource>(callback, context);
    if (!source->create()) {
        return nullptr;
    }
    return source;
}

void addSourceToCurrentRunLoop(RunLoopSource& source) {
    auto& power = static_cast<PowerSourceRunLoopSource&>(source);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), power.get(), kCFRunLoopDefaultMode);
}

void observeThermalStateChanges(std::function<void()> handler) {
    @autoreleasepool {
        // Kept for the life of the process, like the agent's observer; a nil
        // queue runs the block on whatever thread posts the change.
        static NSMutableArray* observers = [NSMutableArray array];
        id observer = [[NSNotificationCenter defaultCenter]
            addObserverForName:NSProcessInfoThermalStateDidChangeNotification
                        object:nil
                         queue:nil
                    usingBlock:^(NSNotification*) {
                      @autoreleasepool {
                          handler();
                      }
                    }];
        [observers addObject:observer];
    }
}

void performOnMainThread(std::function<void()> work) {
    @autoreleasepool {
        dispatch_async(dispatch_get_main_queue(), ^{
          @autoreleasepool {
              work();
          }
        });
    }
}

void scheduleRepeatingTimer(double intervalSeconds, std::function<void()> tick) {
    @autoreleasepool {
        // The run loop keeps the timer; it is never invalidated.
        [NSTimer scheduledTimerWithTimeInterval:intervalSeconds
                                        repeats:YES
                                          block:^(NSTimer*) {
                                            @autoreleasepool {
                                                tick();
                                            }
                                          }];
    }
}

// A dispatch source sees a signal whatever its action, so each is ignored
// once its source exists: its default action would end the process first.
// The main queue's handler runs on the main run loop; the programs the agent
// starts get the signals at their default action again (see runChild).
void observeTerminationSignals(std::function<void()> handler) {
    @autoreleasepool {
        // Kept for the life of the process: the sources are never cancelled.
        static auto* sources = new std::vector<dispatch_source_t>;
        for (const int signalNumber : posix::terminationSignalNumbers) {
            dispatch_source_t source = dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL,
                                                              static_cast<uintptr_t>(signalNumber),
                                                              0, dispatch_get_main_queue());
            if (source == nullptr) {
                continue;
            }
            ::signal(signalNumber, SIG_IGN);
            dispatch_source_set_event_handler(source, ^{
              @autoreleasepool {
                  handler();
              }
            });
            dispatch_resume(source);
            sources->push_back(source);
        }
    }
}

namespace {

// A CFRunLoopTimer that never repeats on its own: its interval is a century,
// so after firing it waits, still valid, to be set again (a timer made to
// fire once would be invalidated by its firing).
class RunLoopDeadline : public DeadlineTimer {
  public:
    explicit RunLoopDeadline(std::function<void()> fire) {
        timer_.reset(CFRunLoopTimerCreateWithHandler(kCFAllocatorDefault, farFuture, century, 0, 0,
                                                     ^(CFRunLoopTimerRef) {
                                                       @autoreleasepool {
                                                           fire();
                                                       }
                                                     }));
        if (timer_) {
            CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer_.get(), kCFRunLoopDefaultMode);
        }
    }
    ~RunLoopDeadline() override {
        if (timer_) {
            CFRunLoopTimerInvalidate(timer_.get());
        }
    }
    RunLoopDeadline(const RunLoopDeadline&) = delete;
    RunLoopDeadline& operator=(const RunLoopDeadline&) = delete;

    bool valid() const { return static_cast<bool>(timer_); }

    // CFAbsoluteTime counts from the same reference date as the calendar clock.
    void fireAt(double calendarSeconds) override {
        CFRunLoopTimerSetNextFireDate(timer_.get(), calendarSeconds);
    }
    void cancel() override { CFRunLoopTimerSetNextFireDate(timer_.get(), farFuture); }

  private:
    static constexpr CFTimeInterval century = 100.0 * 365 * 24 * 3600;
    static constexpr CFAbsoluteTime farFuture = 1e12;

    mac::ScopedCFTypeRef<CFRunLoopTimerRef> timer_;
};

}  // namespace

std::unique_ptr<DeadlineTimer> createDeadlineTimer(std::function<void()> fire) {
    auto timer = std::make_unique<RunLoopDeadline>(std::move(fire));
    if (!timer->valid()) {
        return nullptr;
    }
    return timer;
}

void runCurrentRunLoop() {
    @autoreleasepool {
        [[NSRunLoop currentRunLoop] run];
    }
}

}  // namespace platform
