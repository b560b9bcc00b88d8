#include "platform/process.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/system_root.hpp"
#include "platform/posix/child_process.hpp"
#include "platform/posix/scoped_fd.hpp"

namespace platform {

using posix::ScopedFd;
using posix::ScopedFileActions;
using posix::ScopedSpawnAttributes;
using posix::startFailure;

ChildOutcome runChild(const std::string& path,
                      const std::vector<std::string>& arguments,
                      const std::optional<std::map<std::string, std::string>>& environment) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return startFailure(errno);
    }
    ScopedFd readEnd(ends[0]);
    ScopedFd writeEnd(ends[1]);

    // glibc's spawn actions and attributes are plain structures whose set-up
    // can't fail; only the spawn itself can.
    ScopedFileActions actions;
    ScopedSpawnAttributes attributes;
    // Both output streams onto the pipe; then nothing else of ours survives
    // into the child, whatever was opened without close-on-exec.
    posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);

    posix::ChildCommandLine commandLine(path, arguments, environment);

    const std::string program = linux_host::rootedPath(path);
    pid_t child;
    const int error = posix_spawn(&child, program.c_str(), actions.get(), attributes.get(),
                                  commandLine.argv(), commandLine.envp());
    if (error != 0) {
        return startFailure(error);
    }
    writeEnd.reset();

    return posix::collectOutputAndWait(readEnd.get(), child);
}

}  // namespace platform
