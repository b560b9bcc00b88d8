#include "platform/clock.hpp"

#include <chrono>
#include <thread>

namespace platform {

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double calendarSeconds() {
    // Seconds from 1970-01-01, the system clock's epoch, to 2001-01-01.
    constexpr double referenceDateInUnixTime = 978307200.0;
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
               .count() -
           referenceDateInUnixTime;
}

// Resumes after a signal's interruption; returns at once for nothing or less.
void pauseFor(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace platform
