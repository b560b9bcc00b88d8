#include "platform/clock.hpp"

#include <time.h>

#include <cerrno>
#include <cmath>

namespace platform {

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double calendarSeconds() {
    // Seconds from 1970-01-01 to 2001-01-01.
    constexpr double referenceDateInUnixTime = 978307200.0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) - referenceDateInUnixTime +
           static_cast<double>(now.tv_nsec) / 1e9;
}

void pauseFor(double seconds) {
    if (!(seconds > 0)) {
        return;
    }
    const double whole = std::floor(seconds);
    timespec remaining{static_cast<time_t>(whole), static_cast<long>((seconds - whole) * 1e9)};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace platform
