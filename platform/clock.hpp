// Time, for bounded waits.
#pragma once

namespace platform {

// Seconds on a clock that nobody sets; only differences mean anything.
double monotonicSeconds();

// Seconds since 2001-01-01 00:00:00 UTC on the wall clock, the reference
// date of property-list dates; the user or the network may set it.
double calendarSeconds();

// Blocks the calling thread for `seconds`.
void pauseFor(double seconds);

}  // namespace platform
