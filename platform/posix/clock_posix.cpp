#include "platform/clock.hpp"

#include <time.h>

#include <chrono>
#include <thread>

namespace platform {

// CLOCK_MONOTONIC counts on while the Mac sleeps, so a wait that a sleep
// outlasts has ended on waking.
double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double calendarSeconds() {
    // Seconds from 1970-01-01, the system clock's epoch, to 2001-01-01.
    constexpr double referenceDateInUnixTime = 978307200.0;
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
               .count() -
           referenceDateInUnixTime;
}

// Resumes after a signal's interruption. Nothing, less, or not a number is
// no pause at all: a NaN can't be made a duration.
void pauseFor(double seconds) {
    if (!(seconds > 0)) {
        return;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace platform
