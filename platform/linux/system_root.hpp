// The simulated Mac: every absolute path of the Mac lies below a root
// directory, named by VELL_SYSTEM_ROOT (absent or empty: "/").
#pragma once

#include <string>
#include <string_view>

namespace platform::linux_host {

// The root, without a trailing slash ("" for "/").
std::string systemRoot();

// True when `root` is the root now, as systemRoot() gives it; builds no string.
bool isSystemRoot(std::string_view root);

// The file that stands for the Mac's absolute `path`.
std::string rootedPath(const std::string& path);

// The user's home: $HOME, as launchd sets it for every agent; "" without it.
std::string homeDirectory();

}  // namespace platform::linux_host
