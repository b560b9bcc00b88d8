#include "platform/posix/child_process.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/read_all.hpp"
#include "platform/posix/termination_signals.hpp"

extern char** environ;

namespace platform::posix {

// Once the attributes are set up, the setters, given valid sets and flags,
// can't fail.
ScopedSpawnAttributes::ScopedSpawnAttributes(short flags) {
    initialized_ = posix_spawnattr_init(&attributes_) == 0;
    if (!initialized_) {
        return;
    }
    sigset_t none;
    sigemptyset(&none);
    const sigset_t defaults = terminationSignals();
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setsigdefault(&attributes_, &defaults);
    posix_spawnattr_setflags(
        &attributes_, static_cast<short>(flags | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
}

ScopedSpawnAttributes::ScopedSpawnAttributes(const sigset_t* mask) {
    initialized_ = posix_spawnattr_init(&attributes_) == 0;
    if (!initialized_) {
        return;
    }
    posix_spawnattr_setsigmask(&attributes_, mask);
    posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK);
}

ChildOutcome startFailure(int error) {
    ChildOutcome outcome;
    outcome.startError = std::strerror(error);
    return outcome;
}

std::optional<int> waitForEnd(pid_t child) {
    int status;
    while (::waitpid(child, &status, 0) == -1) {
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
    return status;
}

std::int32_t waitForTermination(pid_t child) {
    const std::optional<int> status = waitForEnd(child);
    if (!status) {
        return -1;
    }
    return WIFSIGNALED(*status) ? WTERMSIG(*status) : WEXITSTATUS(*status);
}

namespace {

std::vector<char*> nullTerminatedPointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

ChildOutcome collectOutputAndWait(int output, pid_t child) {
    ChildOutcome outcome;
    outcome.started = true;
    outcome.output = readAll(output, std::string().max_size()).bytes;
    outcome.terminationStatus = waitForTermination(child);
    return outcome;
}

ChildCommandLine::ChildCommandLine(
    const std::string& path,
    const std::vector<std::string>& arguments,
    const std::optional<std::map<std::string, std::string>>& environment) {
    arguments_.push_back(path);
    arguments_.insert(arguments_.end(), arguments.begin(), arguments.end());
    argv_ = nullTerminatedPointers(arguments_);
    if (environment) {
        environment_.emplace();
        for (const auto& [name, value] : *environment) {
            environment_->push_back(name + "=" + value);
        }
        envp_ = nullTerminatedPointers(*environment_);
    }
}

char* const* ChildCommandLine::envp() {
    return environment_ ? envp_.data() : environ;
}

}  // namespace platform::posix
