#include "platform/process.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/scoped_fd.hpp"
#include "platform/linux/system_root.hpp"

extern char** environ;

namespace platform {
namespace {

using linux_host::ScopedFd;

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

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (auto& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

ChildOutcome startFailure(int error) {
    ChildOutcome outcome;
    outcome.startError = std::strerror(error);
    return outcome;
}

std::string readToEnd(int fd) {
    std::string bytes;
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return bytes;
        }
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
}

std::int32_t terminationStatus(int waitStatus) {
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    // Like the Mac's task status, a killed child reports its signal's number.
    if (WIFSIGNALED(waitStatus)) {
        return WTERMSIG(waitStatus);
    }
    return waitStatus;
}

}  // namespace

ChildOutcome runChild(const std::string& path,
                      const std::vector<std::string>& arguments,
                      const std::optional<std::map<std::string, std::string>>& environment) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return startFailure(errno);
    }
    ScopedFd readEnd(ends[0]);
    ScopedFd writeEnd(ends[1]);

    ScopedFileActions actions;
    if (!actions.ok()) {
        return startFailure(ENOMEM);
    }
    // Both output streams onto the pipe; then nothing else of ours survives
    // into the child, whatever was opened without close-on-exec.
    posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);

    std::vector<std::string> argvStrings;
    argvStrings.push_back(path);
    argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv = pointersTo(argvStrings);

    std::vector<std::string> envStrings;
    std::vector<char*> envp;
    if (environment) {
        for (const auto& [name, value] : *environment) {
            envStrings.push_back(name + "=" + value);
        }
        envp = pointersTo(envStrings);
    }

    const std::string program = linux_host::rootedPath(path);
    pid_t child = 0;
    const int error = posix_spawn(&child, program.c_str(), actions.get(), nullptr, argv.data(),
                                  environment ? envp.data() : environ);
    if (error != 0) {
        return startFailure(error);
    }
    writeEnd.reset();

    ChildOutcome outcome;
    outcome.started = true;
    outcome.output = readToEnd(readEnd.get());
    // A plain blocking wait: it runs no event loop, so no event can start a
    // second pass while this one waits for its program.
    int waitStatus = 0;
    while (::waitpid(child, &waitStatus, 0) < 0 && errno == EINTR) {
    }
    outcome.terminationStatus = terminationStatus(waitStatus);
    return outcome;
}

}  // namespace platform
