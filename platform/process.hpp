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

namespace platform {

// This process's id.
std::int64_t ownProcessId();

// When the process `pid` started, in the platform's own units, to tell it
// from a later process given the same id; absent when there is no such
// process or it has ended and awaits its parent.
std::optional<std::int64_t> processStartTime(std::int64_t pid);

struct ForegroundOutcome {
    bool started = false;
    // Why the program could not be started, in the platform's words.
    std::string startError;
    // Its exit status, or 128 + N when signal N ended it.
    int status = 0;
};

// Runs `command` (its first word found on PATH, no shell) with our standard
// input, output and error, and waits for it. While it runs, SIGINT, SIGTERM
// and SIGHUP sent to us are passed on to it; those a terminal sends reach it
// by themselves and are not sent twice.
ForegroundOutcome runInForeground(const std::vector<std::string>& command);

}  // namespace platform
