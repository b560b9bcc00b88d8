#include "tests/support/AgentProcess.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

CommandResult runVell(const SimulatedMac& mac,
                      const std::string& bundle,
                      const std::vector<std::string>& arguments) {
    PowerTool::Environment variables;
    for (const std::string& entry : mac.environment()) {
        const auto equals = entry.find('=');
        variables[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    // The stand-in runs the Mac's path inside the root the caller points at.
    return PowerTool::run(bundle + "/Contents/MacOS/vell", arguments, variables);
}

AgentProcess::AgentProcess(std::string program,
                           std::vector<std::string> environment,
                           const std::vector<std::string>& arguments) {
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> argvStrings = arguments;
    argvStrings.insert(argvStrings.begin(), program);
    std::vector<char*> argv;
    for (auto& argument : argvStrings) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    // As launchd does: nothing of ours reaches the agent.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

AgentProcess::~AgentProcess() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool AgentProcess::running() {
    if (pid_ <= 0 || exitStatus_) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

std::optional<int> AgentProcess::exitStatus() {
    running();
    return exitStatus_;
}

bool AgentProcess::listening() const {
    int inotify = 0;
    bool timer = false;
    std::error_code error;
    for (const auto& entry :
         fs::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", error)) {
        const std::string target = fs::read_symlink(entry.path(), error).string();
        inotify += target.find("inotify") != std::string::npos;
        timer = timer || target.find("timerfd") != std::string::npos;
    }
    return inotify >= 2 && timer;
}

namespace {

// Each thread and how often it has been switched out, while every one of
// them sleeps waiting for events (the main thread in epoll_wait, the thermal
// watcher in poll); nothing otherwise.
std::optional<std::string> waitingThreads(pid_t pid) {
    std::error_code error;
    std::string runs;
    for (const auto& task :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream stat(task.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'S') {
            return std::nullopt;
        }
        std::ifstream syscall(task.path() / "syscall");
        long number = -1;
        syscall >> number;
        // A wait restarted after a tracer attached is the same wait.
        if (number != SYS_epoll_wait && number != SYS_epoll_pwait && number != SYS_poll &&
            number != SYS_ppoll && number != SYS_restart_syscall) {
            return std::nullopt;
        }
        std::ifstream status(task.path() / "status");
        runs += task.path().filename().string() + ":";
        while (std::getline(status, line)) {
            runs += line.find("ctxt_switches") != std::string::npos ? line : "";
        }
    }
    return runs.empty() ? std::nullopt : std::optional(runs);
}

}  // namespace

bool AgentProcess::idle() const {
    // A thread woken a moment ago may still read as asleep in its wait; one
    // that has not run at all for a millisecond while waiting has nothing to do.
    const std::optional<std::string> before = waitingThreads(pid_);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return before && before == waitingThreads(pid_);
}

int AgentProcess::openDescriptors() const {
    std::error_code error;
    const fs::directory_iterator entries("/proc/" + std::to_string(pid_) + "/fd", error);
    return error ? 0 : static_cast<int>(std::distance(entries, fs::directory_iterator()));
}

long AgentProcess::residentKilobytes() const {
    // The process's size and its resident part, in pages.
    std::ifstream statm("/proc/" + std::to_string(pid_) + "/statm");
    long size = 0, resident = -1;
    statm >> size >> resident;
    return resident < 0 ? -1 : resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

int AgentProcess::children() const {
    int count = 0;
    std::error_code error;
    for (const auto& task :
         fs::directory_iterator("/proc/" + std::to_string(pid_) + "/task", error)) {
        std::ifstream list(task.path() / "children");
        for (long child = 0; list >> child;) {
            ++count;
        }
    }
    return count;
}
