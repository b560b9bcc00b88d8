#include "platform/this_process.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/linux/system_root.hpp"

namespace platform {

// The path inside the simulated Mac: the root is taken off the front, and so
// is the " (deleted)" that Linux appends once the file is gone, so that the
// existence test then finds nothing there.
int ownExecutablePath(char* buffer, std::size_t size) {
    std::error_code unreadable;  // leaves the path empty
    const std::string link = std::filesystem::read_symlink("/proc/self/exe", unreadable).string();
    std::string_view path = link;
    constexpr std::string_view deleted = " (deleted)";
    if (path.ends_with(deleted)) {
        path.remove_suffix(deleted.size());
    }
    const std::string root = linux_host::systemRoot();
    if (path.starts_with(root + "/")) {
        path.remove_prefix(root.size());
    }
    const std::size_t written = std::min(size, path.size());
    std::memcpy(buffer, path.data(), written);
    return static_cast<int>(written);
}

std::uint32_t userId() {
    return ::getuid();
}

void exitProcess(int status) {
    std::exit(status);
}

}  // namespace platform
