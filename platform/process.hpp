// Starting a program and collecting what it writes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct ChildOutcome {
    bool started = false;
    // Why the program could not be started, in the platform's words.
    std::string startError;
    // Every byte the child wrote to standard output and standard error, which
    // share one pipe, in the order they reached it.
    std::string output;
    // The termination status, as the platform reports it once the child ended.
    std::int32_t terminationStatus = 0;
};

// Starts the program at `path` directly (no shell) with exactly `arguments`,
// reads the pipe to its end and only then waits for the child. The wait is a
// plain blocking wait: it runs no event loop, so no event can start a second
// reconciliation pass while a program runs. A given environment replaces the
// child's whole environment; an absent one leaves it ours.
ChildOutcome runChild(const std::string& path,
                      const std::vector<std::string>& arguments,
                      const std::optional<std::map<std::string, std::string>>& environment);

}  // namespace platform
