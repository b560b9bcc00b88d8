// A command in the foreground. It shares our process group, so a terminal's
// Ctrl-C or hang-up reaches it as it reaches us and is not relayed; a signal
// sent to us alone, by kill(), is.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/posix/child_process.hpp"
#include "platform/posix/scoped_fd.hpp"
#include "platform/posix/termination_signals.hpp"
#include "platform/process.hpp"

namespace platform {
namespace {

// The one child whose signals are relayed, and whether our process group is
// its terminal's foreground one: a signal handler can reach nothing but
// globals, and these are the only ones. Both start zero, as every global does.
std::atomic<pid_t> foregroundChild;
std::atomic<bool> terminalsForegroundGroup;
static_assert(std::atomic<pid_t>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

bool ownGroupIsTerminalsForeground() {
    const posix::ScopedFd terminal(::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC));
    return terminal.valid() && ::tcgetpgrp(terminal.get()) == ::getpgrp();
}

// Whether `signal` reached the command without us. Linux names a kill() in
// si_code (SI_USER); macOS gives every signal it hands a handler the code 0,
// naming no sender. A signal not known to be a kill() is the terminal's when
// it is an interrupt or a hang-up and our group is the terminal's foreground
// one; no terminal sends SIGTERM.
bool reachedTheCommandToo(int signal, const siginfo_t* info) {
    if (info != nullptr && info->si_code == SI_USER) {
        return false;
    }
    return signal != SIGTERM && terminalsForegroundGroup.load();
}

void relay(int signal, siginfo_t* info, void*) {
    const pid_t child = foregroundChild.load();
    if (child > 0 && !reachedTheCommandToo(signal, info)) {
        ::kill(child, signal);
    }
}

// Holds the relayed signals back, until the child's id is known. Letting go
// twice does no harm: the mask is simply set again.
class BlockedSignals {
  public:
    BlockedSignals() {
        const sigset_t set = posix::terminationSignals();
        ::sigprocmask(SIG_BLOCK, &set, &previous_);
    }
    ~BlockedSignals() { release(); }
    BlockedSignals(const BlockedSignals&) = delete;
    BlockedSignals& operator=(const BlockedSignals&) = delete;

    const sigset_t& previous() const { return previous_; }
    void release() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

  private:
    sigset_t previous_{};
};

// Relays each signal while it lives. One that is ignored (as under nohup)
// stays ignored, for us and for the command, which inherits that.
class RelayedSignals {
  public:
    RelayedSignals() {
        for (const int signal : posix::terminationSignalNumbers) {
            Replaced replaced{signal, {}};
            ::sigaction(signal, nullptr, &replaced.previous);
            if (!(replaced.previous.sa_flags & SA_SIGINFO) &&
                replaced.previous.sa_handler == SIG_IGN) {
                continue;
            }
            struct sigaction relaying {};
            relaying.sa_sigaction = relay;
            relaying.sa_flags = SA_SIGINFO | SA_RESTART;  // its mask zeroed: empty
            if (::sigaction(signal, &relaying, nullptr) == 0) {
                replaced_.push_back(replaced);
            }
        }
    }
    ~RelayedSignals() {
        for (const Replaced& replaced : replaced_) {
            ::sigaction(replaced.signal, &replaced.previous, nullptr);
        }
    }
    RelayedSignals(const RelayedSignals&) = delete;
    RelayedSignals& operator=(const RelayedSignals&) = delete;

  private:
    struct Replaced {
        int signal;
        struct sigaction previous;
    };
    std::vector<Replaced> replaced_;
};

// A shell's status: the exit status, or 128 + N for signal N; 1 when the
// wait failed.
int waitForStatus(pid_t child) {
    const std::optional<int> status = posix::waitForEnd(child);
    if (!status) {
        return 1;
    }
    return WIFSIGNALED(*status) ? 128 + WTERMSIG(*status) : WEXITSTATUS(*status);
}

}  // namespace

std::int64_t ownProcessId() {
    return ::getpid();
}

ForegroundOutcome runInForeground(const std::vector<std::string>& command) {
    if (command.empty()) {
        return {false, std::strerror(ENOENT)};
    }
    BlockedSignals blocked;
    terminalsForegroundGroup = ownGroupIsTerminalsForeground();
    RelayedSignals relayed;
    // The command starts with the signal mask we had, not the blocked one.
    posix::ScopedSpawnAttributes attributes(&blocked.previous());
    posix::ChildCommandLine commandLine(command[0], {command.begin() + 1, command.end()},
                                        std::nullopt);
    pid_t child = 0;
    const int error = attributes.ok()
                          ? posix_spawnp(&child, command[0].c_str(), nullptr, attributes.get(),
                                         commandLine.argv(), commandLine.envp())
                          : ENOMEM;
    if (error != 0) {
        return {false, std::strerror(error)};
    }
    foregroundChild = child;
    blocked.release();
    const int status = waitForStatus(child);
    foregroundChild = 0;
    return {true, {}, status};
}

}  // namespace platform
