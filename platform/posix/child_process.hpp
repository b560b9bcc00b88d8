// The parts of running a child that every POSIX system shares.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.hpp"

namespace platform::posix {

class ScopedFileActions {
  public:
    ScopedFileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~ScopedFileActions() {
        if (ok_) {
            posix_spawn_file_actions_destroy(&actions_);
        }
    }
    ScopedFileActions(const ScopedFileActions&) = delete;
    ScopedFileActions& operator=(const ScopedFileActions&) = delete;

    bool ok() const { return ok_; }
    posix_spawn_file_actions_t* get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_{};
    bool ok_ = false;
};

// Spawn attributes with `flags`, starting the child with no signal blocked
// and the termination signals at their default action, whatever the caller
// blocks or ignores to take them through its run loop.
class ScopedSpawnAttributes {
  public:
    explicit ScopedSpawnAttributes(short flags = 0);
    // Spawn attributes that start the child with `*mask` blocked and every
    // signal's action as ours, ignored ones still ignored. (A pointer: on
    // macOS a sigset_t is an integer, as the flags are.)
    explicit ScopedSpawnAttributes(const sigset_t* mask);
    ~ScopedSpawnAttributes() {
        if (initialized_) {
            posix_spawnattr_destroy(&attributes_);
        }
    }
    ScopedSpawnAttributes(const ScopedSpawnAttributes&) = delete;
    ScopedSpawnAttributes& operator=(const ScopedSpawnAttributes&) = delete;

    bool ok() const { return initialized_; }
    posix_spawnattr_t* get() { return &attributes_; }

  private:
    posix_spawnattr_t attributes_{};
    bool initialized_ = false;
};

// A child that did not start, with the reason in the system's words.
ChildOutcome startFailure(int error);

// A started child's outcome: everything it writes to `output` until no
// writer is left, and only then its termination status. Reading first
// matters: a child that fills the pipe could otherwise never finish.
ChildOutcome collectOutputAndWait(int output, pid_t child);

// Waits for `child` to end, through any signal that interrupts the wait, and
// gives its raw wait status; none when there is no such child to wait for (as
// when SIGCHLD is ignored and the system reaps it unseen).
std::optional<int> waitForEnd(pid_t child);

// Waits for `child` with a plain blocking waitpid, which runs no event loop:
// no event can start a second reconciliation pass while a program runs.
// Returns the termination status as the Mac's task reports it: the exit
// status, or the signal's number for a killed child; -1 when the wait failed.
std::int32_t waitForTermination(pid_t child);

// The argument and environment vectors of a child: argv[0] is the path as
// given; a given environment replaces ours, an absent one passes ours on.
class ChildCommandLine {
  public:
    ChildCommandLine(const std::string& path,
                     const std::vector<std::string>& arguments,
                     const std::optional<std::map<std::string, std::string>>& environment);
    ChildCommandLine(const ChildCommandLine&) = delete;
    ChildCommandLine& operator=(const ChildCommandLine&) = delete;

    char* const* argv() { return argv_.data(); }
    char* const* envp();

  private:
    std::vector<std::string> arguments_;
    std::vector<char*> argv_;
    std::optional<std::vector<std::string>> environment_;
    std::vector<char*> envp_;
};

}  // namespace platform::posix
