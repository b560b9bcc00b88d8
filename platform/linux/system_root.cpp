#include "platform/linux/system_root.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace platform::linux_host {

namespace {

// The root as the environment names it now, without a trailing slash; read
// in place, so that asking builds no string.
std::string_view rootNow() {
    const char* variable = std::getenv("VELL_SYSTEM_ROOT");
    std::string_view root = variable ? variable : "";
    while (!root.empty() && root.back() == '/') {
        root.remove_suffix(1);
    }
    return root;
}

}  // namespace

std::string systemRoot() {
    return std::string(rootNow());
}

bool isSystemRoot(std::string_view root) {
    return rootNow() == root;
}

std::string rootedPath(const std::string& path) {
    const std::string_view root = rootNow();
    std::string rooted;
    rooted.reserve(root.size() + path.size());
    return rooted.append(root).append(path);
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) {
        return home;
    }
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) {
        return entry->pw_dir;
    }
    return "/";
}

}  // namespace platform::linux_host
