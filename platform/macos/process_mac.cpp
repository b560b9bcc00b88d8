#include "platform/process.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/child_process.hpp"
#include "platform/posix/scoped_fd.hpp"

namespace platform {

using posix::ScopedFd;
using posix::ScopedFileActions;
using posix::ScopedSpawnAttributes;
using posix::startFailure;

namespace {

bool openPipe(int ends[2]) {
    if (::pipe(ends) != 0) {
        return false;
    }
    ::fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    return true;
}

}  // namespace

ChildOutcome runChild(const std::string& path,
                      const std::vector<std::string>& arguments,
                      const std::optional<std::map<std::string, std::string>>& environment) {
    int ends[2];
    if (!openPipe(ends)) {
        return startFailure(errno);
    }
    ScopedFd readEnd(ends[0]);
    ScopedFd writeEnd(ends[1]);

    ScopedFileActions actions;
    // Nothing of ours reaches the child but what is named here: standard
    // input as it is, and both output streams onto the pipe.
    ScopedSpawnAttributes attributes(POSIX_SPAWN_CLOEXEC_DEFAULT);
    if (!actions.ok() || !attributes.ok()) {
        return startFailure(ENOMEM);
    }
    posix_spawn_file_actions_addinherit_np(actions.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDERR_FILENO);

    posix::ChildCommandLine commandLine(path, arguments, environment);
    pid_t child = 0;
    const int error = posix_spawn(&child, path.c_str(), actions.get(), attributes.get(),
                                  commandLine.argv(), commandLine.envp());
    if (error != 0) {
        return startFailure(error);
    }
    writeEnd.reset();

    return posix::collectOutputAndWait(readEnd.get(), child);
}

}  // namespace platform
