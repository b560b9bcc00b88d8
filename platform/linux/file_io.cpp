#include "platform/linux/file_io.hpp"

#include <fcntl.h>


#include "platform/posix/read_all.hpp"
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
    posix::ReadAll read = posix::readAll(fd, maximumBytes);
    if (!read.complete) {
        return std::nullopt;
    }
    return std::move(read.bytes);
}

}  // namespace platform::linux_host
