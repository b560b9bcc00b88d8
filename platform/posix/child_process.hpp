// The parts of running a child that every POSIX system shares.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <cstdint>
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

// A child that did not start, with the reason in the system's words.
ChildOutcome startFailure(int error);

// Everything readable from `fd` until no writer is left.
std::string readToEnd(int fd);

// Waits for `child` with a plain blocking waitpid, which runs no event loop:
// no event can start a second reconciliation pass while a program runs.
// Returns the termination status as the Mac's task reports it: the exit
// status, or the signal's number for a killed child.
std::int32_t waitForTermination(pid_t child);

// argv/envp-style pointers into `strings`, ending in a null pointer.
std::vector<char*> nullTerminatedPointers(std::vector<std::string>& strings);

}  // namespace platform::posix
