// Reading a descriptor to its end.
#pragma once

#include <cstddef>
#include <string>

namespace platform::posix {

struct ReadAll {
    std::string bytes;
    // False when a read failed or there was more than allowed; `bytes` then
    // holds what came before.
    bool complete = false;
};

// Reads `fd` until no writer is left or the end of the file.
ReadAll readAll(int fd, std::size_t maximumBytes);

}  // namespace platform::posix
