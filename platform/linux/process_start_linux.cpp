// A process's start time is field 22 of /proc/PID/stat, in clock ticks since
// boot. The real /proc: the processes of a simulated Mac are real ones.
#include <cstdlib>
#include <sstream>
#include <string>

#include "platform/linux/file_io.hpp"
#include "platform/process.hpp"

namespace platform {

std::optional<std::int64_t> processStartTime(std::int64_t pid) {
    if (pid <= 0) {
        return std::nullopt;
    }
    const std::optional<std::string> stat =
        linux_host::readWholeFile("/proc/" + std::to_string(pid) + "/stat", 4096);
    // The name in parentheses may hold spaces and parentheses of its own.
    const std::size_t nameEnd = stat ? stat->rfind(')') : std::string::npos;
    if (nameEnd == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(stat->substr(nameEnd + 1));
    std::string state, field;
    fields >> state;
    // Fields 4 to 21, then the start time.
    for (int skipped = 0; skipped < 18 && fields >> field; ++skipped) {
    }
    std::int64_t started = 0;
    if (state == "Z" || state == "X" || !(fields >> started)) {
        return std::nullopt;
    }
    return started;
}

}  // namespace platform
