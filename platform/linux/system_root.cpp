#include "platform/linux/system_root.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace platform::linux_host {

std::string systemRoot() {
    const char* root = std::getenv("VELL_SYSTEM_ROOT");
    std::string path = root ? root : "";
    while (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

bool isSystemRoot(std::string_view root) {
    const char* variable = std::getenv("VELL_SYSTEM_ROOT");
    std::string_view now = variable ? variable : "";
    while (!now.empty() && now.back() == '/') {
        now.remove_suffix(1);
    }
    return now == root;
}

std::string rootedPath(const std::string& path) {
    return systemRoot() + path;
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
