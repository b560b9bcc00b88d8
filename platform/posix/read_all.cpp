#include "platform/posix/read_all.hpp"

#include <unistd.h>

#include <cerrno>

namespace platform::posix {

ReadAll readAll(int fd, std::size_t maximumBytes) {
    ReadAll result;
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return result;
        }
        if (got == 0) {
            result.complete = true;
            return result;
        }
        if (result.bytes.size() + static_cast<std::size_t>(got) > maximumBytes) {
            return result;
        }
        result.bytes.append(chunk, static_cast<std::size_t>(got));
    }
}

}  // namespace platform::posix
