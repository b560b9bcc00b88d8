// Prints the running executable's path as the agent reads it, then whether
// it exists; with "delete", removes its own file first.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "VellDealer/ExecutablePath.hpp"
#include "platform/files.hpp"
#include "platform/linux/system_root.hpp"

int main(int argc, char** argv) {
    const auto path = readOwnExecutablePath();
    if (!path) {
        std::puts("no path");
        return 1;
    }
    if (argc > 1 && std::strcmp(argv[1], "delete") == 0) {
        ::unlink(platform::linux_host::rootedPath(*path).c_str());
    }
    const auto again = readOwnExecutablePath();
    std::printf("%s\n%s\n", again.value_or("no path").c_str(),
                platform::fileExists(*again) ? "exists" : "missing");
    return 0;
}
