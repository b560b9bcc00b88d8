// The signals that ask a process to end: launchd's at logout or bootout, a
// terminal's interrupt and its hang-up. The agent takes them through its run
// loop; the programs it starts get them as any program does.
#pragma once

#include <signal.h>

namespace platform::posix {

inline constexpr int terminationSignalNumbers[] = {SIGTERM, SIGINT, SIGHUP};

inline sigset_t terminationSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal : terminationSignalNumbers) {
        sigaddset(&signals, signal);
    }
    return signals;
}

}  // namespace platform::posix
