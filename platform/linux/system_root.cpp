#include "platform/linux/system_root.hpp"

#include <cstdlib>

namespace platform::linux_host {

namespace {

// The root as the environment names it now, without a trailing slash; read
// in place, so that asking builds no string.
std::string_view rootNow() {
    const char* variable = std::getenv("VELL_SYSTEM_ROOT");
    const std::string_view root = variable ? variable : "";
    return root.substr(0, root.find_last_not_of('/') + 1);
}

}  // namespace

std::string systemRoot() {
    return std::string(rootNow());
}

bool isSystemRoot(std::string_view root) {
    return rootNow() == root;
}

std::string rootedPath(const std::string& path) {
    return std::string(rootNow()).append(path);
}

std::string homeDirectory() {
    const char* home = std::getenv("HOME");
    return home ? home : std::string();
}

}  // namespace platform::linux_host
