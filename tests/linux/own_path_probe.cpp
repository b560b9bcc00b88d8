// Prints the running executable's path as the agent reads it and whether it
// exists, twice: its own file is removed after the first time.
#include <cstdio>
#include <filesystem>
#include <string>

#include "VellDealer/ExecutablePath.hpp"
#include "platform/files.hpp"

int main() {
    for (int time = 0; time < 2; ++time) {
        const std::string path = readOwnExecutablePath().value_or("no path");
        std::printf("%s %s\n", path.c_str(), platform::fileExists(path) ? "exists" : "missing");
        std::filesystem::remove(std::filesystem::read_symlink("/proc/self/exe"));
    }
}
