// The running process: its executable, its user, its end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Writes the absolute path of the running executable into `buffer` (not
// terminated) and returns the number of bytes written; 0 or less on failure.
int ownExecutablePath(char* buffer, std::size_t size);

std::uint32_t userId();

// Ends the process with `status`. Callers return right after it, so that a
// test double that records the call instead of exiting leaves them sound.
void exitProcess(int status);

}  // namespace platform
