#include "platform/this_process.hpp"

#include <libproc.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

int ownExecutablePath(char* buffer, std::size_t size) {
    return proc_pidpath(getpid(), buffer, static_cast<std::uint32_t>(size));
}

std::uint32_t userId() {
    return getuid();
}

void exitProcess(int status) {
    std::exit(status);
}

}  // namespace platform
