// What the agent costs while it waits: time from start until its first pass
// is done and its sources are in place, its resident memory next to a
// `sleep` process's, and how often it wakes up with no events at all.
//   idle_probe [seconds]    (default 60)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "VellShared/Preferences.hpp"
#include "tests/support/AgentProcess.hpp"
#include "tests/support/SimulatedMac.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Context switches of every thread: each wake-up ends in one.
long contextSwitches(pid_t pid) {
    long total = 0;
    std::error_code error;
    for (const auto& task :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                total += std::stol(line.substr(line.find(':') + 1));
            }
        }
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    SimulatedMac mac;
    ScopedEnvironment root("VELL_SYSTEM_ROOT", mac.root());
    ScopedEnvironment home("HOME", mac.home());
    fs::create_directories(mac.at("/Applications"));
    fs::copy(VELL_APP_DIR, mac.at("/Applications/Vell.app"), fs::copy_options::recursive);
    // A normal night: owned, wanted, already on, no cutoff.
    VellPreferences::setWanted(true);
    VellPreferences::setOwnsOverride(true);
    mac.setSleepDisabledReading("<true/>");

    const std::vector<std::string> environment = {"VELL_SYSTEM_ROOT=" + mac.root(),
                                                  "HOME=" + mac.home(), "PATH=/usr/bin:/bin"};
    const auto start = Clock::now();
    AgentProcess agent(mac.at("/Applications/Vell.app/Contents/MacOS/VellDealer"), environment);
    while (!agent.listening() && Clock::now() - start < std::chrono::seconds(10)) {
    }
    const double startup = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    AgentProcess sleeper("/bin/sleep", {"PATH=/usr/bin:/bin"}, {"600"});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long agentResident = agent.residentKilobytes();
    const long sleepResident = sleeper.residentKilobytes();

    const long before = contextSwitches(agent.pid());
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long wakeups = contextSwitches(agent.pid()) - before;

    std::printf("start to first pass done: %.1f ms\n", startup);
    std::printf("resident memory at idle:  %ld KiB (sleep: %ld KiB)\n", agentResident,
                sleepResident);
    std::printf("wake-ups with no events:  %ld in %d s (%.1f per minute)\n", wakeups, seconds,
                wakeups * 60.0 / seconds);
    return agent.running() ? 0 : 1;
}
