// The main thread's run loop and the event sources the agent puts on it.
// Everything given to the run loop is called on the main thread, one call at
// a time, except the thermal-state handler, which runs on whatever thread
// the platform posts the change from.
#pragma once

#include <functional>
#include <memory>

namespace platform {

// An event source that can be added to a run loop; destroying it releases it.
class RunLoopSource {
  public:
    virtual ~RunLoopSource() = default;
};

using RunLoopCallback = void (*)(void* context);

// A source that calls `callback(context)` whenever the power-source
// information changes; nothing when the platform can't make one. The context
// is passed through untouched.
std::unique_ptr<RunLoopSource> createPowerSourceNotificationSource(RunLoopCallback callback,
                                                                   void* context);

// Adds `source` to the current thread's run loop in its default mode.
void addSourceToCurrentRunLoop(RunLoopSource& source);

// Calls `handler` on each change of the thermal state, on any thread.
void observeThermalStateChanges(std::function<void()> handler);

// Queues `work` on the main thread's run loop and returns at once.
void performOnMainThread(std::function<void()> work);

// Calls `tick` every `intervalSeconds` on the current run loop, the first time
// one interval after this call.
void scheduleRepeatingTimer(double intervalSeconds, std::function<void()> tick);

// Calls `handler` on the main thread's run loop, never inside a signal
// handler, when the process is asked to end (SIGTERM, SIGINT or SIGHUP),
// instead of ending it. A signal that arrives while other work runs waits
// for that work. Without the means to watch them, the signals keep their
// default action.
void observeTerminationSignals(std::function<void()> handler);

// A timer on the current run loop that fires once, at a moment on the
// calendar clock (platform/clock.hpp), and can be set again after it fired.
// Destroying it takes it off the run loop.
class DeadlineTimer {
  public:
    virtual ~DeadlineTimer() = default;
    // Fires once at `calendarSeconds`, or at once when that has passed;
    // replaces any moment set before.
    virtual void fireAt(double calendarSeconds) = 0;
    // Fires at no moment until set again.
    virtual void cancel() = 0;
};

// A deadline timer that calls `fire` on the current run loop; nothing when
// the platform can't make one.
std::unique_ptr<DeadlineTimer> createDeadlineTimer(std::function<void()> fire);

// Runs the current thread's run loop; on a real platform it never returns.
void runCurrentRunLoop();

}  // namespace platform
