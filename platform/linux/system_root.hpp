// The simulated Mac: every absolute path of the Mac lies below a root
// directory, named by VELL_SYSTEM_ROOT (absent or empty: "/").
#pragma once

#include <string>

namespace platform::linux_host {

// The root, without a trailing slash ("" for "/").
std::string systemRoot();

// The file that stands for the Mac's absolute `path`.
std::string rootedPath(const std::string& path);

// The user's home: $HOME, else the password database's entry.
std::string homeDirectory();

}  // namespace platform::linux_host
