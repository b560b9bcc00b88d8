// The real agent, started as launchd would start it, and what /proc shows
// of it. Killed at the end of the scope if it is still running.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

class AgentProcess {
  public:
    AgentProcess(const std::string& program,
                 const std::vector<std::string>& environment,
                 const std::vector<std::string>& arguments = {});
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    std::optional<int> exitStatus();

    // True once the agent has put its event sources in place: the power
    // sources' and the thermal watcher's inotify descriptors and the timer.
    bool listening() const;
    // True while every thread sleeps waiting for events: every event that
    // reached the agent so far has had its pass.
    bool idle() const;

    int openDescriptors() const;
    long residentKilobytes() const;
    int children() const;

  private:
    pid_t pid_ = -1;
    std::optional<int> exitStatus_;
};
