// The real binaries in a simulated Mac: the agent, started as launchd would
// start it, with what /proc shows of it (killed at the end of the scope if it
// still runs), and `vell`, run as from a Terminal.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "VellShared/PowerTool.hpp"
#include "tests/support/SimulatedMac.hpp"

// `vell` of the app at the Mac's absolute `bundle`; VELL_SYSTEM_ROOT must
// name `mac`'s root.
CommandResult runVell(const SimulatedMac& mac,
                      const std::string& bundle,
                      const std::vector<std::string>& arguments);

class AgentProcess {
  public:
    AgentProcess(std::string program,
                 std::vector<std::string> environment,
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
    // True when every thread sleeps waiting for events, and none ran over a
    // millisecond: every event that reached the agent so far has had its pass.
    bool idle() const;

    int openDescriptors() const;
    long residentKilobytes() const;
    int children() const;

  private:
    pid_t pid_ = -1;
    std::optional<int> exitStatus_;
};
