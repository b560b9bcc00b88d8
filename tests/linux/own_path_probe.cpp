// Prints the running executable's path as the agent reads it, then whether
// it exists; with "delete", removes its own file first.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "VellDealer/ExecutablePath.hpp"
#include "platform/files.hpp"
#include "platform/linux/system_root.hpp"

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "delete") {
        ::unlink(platform::linux_host::rootedPath(readOwnExecutablePath().value_or("")).c_str());
    }
    const std::string path = readOwnExecutablePath().value_or("no path");
    std::printf("%s\n%s\n", path.c_str(), platform::fileExists(path) ? "exists" : "missing");
}
