#include "platform/linux/file_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/scoped_fd.hpp"

namespace platform::linux_host {

using posix::ScopedFd;

std::optional<std::string> readWholeFile(const std::string& path, std::size_t maximumBytes) {
    // O_NONBLOCK keeps a FIFO planted where a file should be from hanging us.
    ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) {
        return std::nullopt;
    }
    return readToEnd(fd.get(), maximumBytes);
}

std::optional<std::string> readToEnd(int fd, std::size_t maximumBytes) {
    std::string contents;
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            return contents;
        }
        if (contents.size() + static_cast<std::size_t>(got) > maximumBytes) {
            return std::nullopt;
        }
        contents.append(chunk, static_cast<std::size_t>(got));
    }
}

}  // namespace platform::linux_host
