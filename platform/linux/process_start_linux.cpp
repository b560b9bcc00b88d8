// A process's start time is field 22 of /proc/PID/stat, in clock ticks since
// boot. The real /proc: the processes of a simulated Mac are real ones.
#include <fstream>
#include <sstream>
#include <string>

#include "platform/process.hpp"

namespace platform {

// No pid of zero or below has a /proc entry to read.
std::optional<std::int64_t> processStartTime(std::int64_t pid) {
    // Read whole (it holds no NUL): a process's name may even hold a newline.
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(file, stat, '\0');
    // The name in parentheses may hold spaces and parentheses of its own.
    const std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string state, field;
    fields >> state;
    // Fields 4 to 21, then the start time.
    for (int skipped = 0; skipped < 18 && fields >> field; ++skipped) {
    }
    // A zombie has ended: its pid may be anyone's next.
    std::int64_t started{};
    if (state == "Z" || !(fields >> started)) {
        return std::nullopt;
    }
    return started;
}

}  // namespace platform
