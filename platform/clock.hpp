// Time, for bounded waits.
#pragma once

namespace platform {

// Seconds on a clock that nobody sets; only differences mean anything.
double monotonicSeconds();

// Blocks the calling thread for `seconds`.
void pauseFor(double seconds);

}  // namespace platform
