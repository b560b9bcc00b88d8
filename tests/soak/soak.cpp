// The real agent in a simulated Mac for many passes under faults: bursts of
// power-supply and thermal changes, vell flipping the wish and the
// low-battery setting from another process, pmset failing one time in five,
// and the settings file now and then replaced by garbage. At the end the
// agent must still run, with as many descriptors, about as much memory and
// no more children than after its first hundred passes (each figure the
// least of several looks while it waits for events); the override must
// follow the last wish once pmset works again; no write of vell may be lost.
//   vell_soak [passes]      (default 10000)
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "VellShared/PowerTool.hpp"
#include "VellShared/Preferences.hpp"
#include "tests/support/AgentProcess.hpp"
#include "tests/support/Eventually.hpp"
#include "tests/support/SimulatedMac.hpp"

namespace {

const std::string bundle = "/Applications/Vell.app";

// What the agent holds.
struct Figures {
    int descriptors = 0;
    long residentKilobytes = 0;
    int children = 0;
};

// What the agent keeps between passes: the least of five looks once it is
// idle. A look may still catch a pass as it starts; a leak shows at every look.
Figures kept(const AgentProcess& agent) {
    Figures least{INT_MAX, LONG_MAX, INT_MAX};
    for (int look = 0; look < 5; ++look) {
        eventually([&] { return agent.idle(); });
        least = {std::min(least.descriptors, agent.openDescriptors()),
                 std::min(least.residentKilobytes, agent.residentKilobytes()),
                 std::min(least.children, agent.children())};
    }
    return least;
}

int soak(SimulatedMac& mac, long passes) {
    const auto vell = [&](const std::vector<std::string>& arguments) {
        runVell(mac, bundle, arguments);
    };
    const auto writeSupply = [&](const char* attribute, const char* value) {
        writeFile(mac.at("/sys/class/power_supply/BAT0/") + attribute, value);
    };
    vell({"register"});
    vell({"on", "--no-wait"});
    writeFile(mac.at("/pmset.fail"), "5\n");  // one time in five
    AgentProcess agent(mac.at(bundle + "/Contents/MacOS/VellDealer"), mac.environment());
    if (!eventually([&] { return agent.listening(); })) {
        std::puts("the agent never started listening");
        return 1;
    }

    Figures early;
    bool lowBatteryCutoff = true;
    long lostWrites = 0;
    for (long driven = 0, burst = 0; driven < passes; ++burst) {
        // A burst of power-supply changes, each to a different file than the
        // one before, so the kernel merges none of the events.
        for (int i = 0; i < 20; ++i, ++driven) {
            if (i % 2 == 0) {
                writeSupply("status", driven % 4 == 0 ? "Discharging\n" : "Charging\n");
            } else {
                writeSupply("capacity", driven % 3 == 0 ? "51\n" : "50\n");
            }
        }
        // Thermal changes between nominal and fair; now and then critical.
        mac.setTemperature(burst % 50 == 49 ? 105000 : (burst % 2 ? 85000 : 45000));
        if (burst % 25 == 0) {
            writeFile(mac.home() + "/Library/Preferences/org.vell.app.shared.plist",
                      "\x01garbage, not a property list\x02");
        }
        if (burst % 5 == 0) {
            // vell from another process; what it writes must read back.
            lowBatteryCutoff = !lowBatteryCutoff;
            vell({"low-battery-cutoff", lowBatteryCutoff ? "on" : "off"});
            lostWrites += VellPreferences::lowBatteryCutoff() != lowBatteryCutoff;
            vell({burst % 10 == 0 ? "off" : "on", "--no-wait"});
        }
        if (!eventually([&] { return agent.idle() || !agent.running(); }) || !agent.running()) {
            std::printf("after %ld passes the agent %s\n", driven,
                        agent.running() ? "never came back to its run loop" : "ended");
            return 1;
        }
        if (driven == 100) {
            early = kept(agent);
        }
    }

    // pmset works again, the Mac is cool, and the last wish is on. A cutoff
    // whose pmset failed is retried by the pass this change runs; a wish
    // written while that pass still runs may lose to it, as the last writer
    // wins, so the wish waits for the agent to settle.
    std::filesystem::remove(mac.at("/pmset.fail"));
    mac.setTemperature(45000);
    eventually([&] { return agent.idle(); });
    vell({"on", "--no-wait"});
    writeSupply("status", "Charging\n");
    const bool followed = eventually([&] { return PowerTool::sleepDisabled() == true; });
    const Figures late = kept(agent);
    const bool settingsKept = VellPreferences::wanted() && VellPreferences::ownsOverride() &&
                              VellPreferences::lowBatteryCutoff() == lowBatteryCutoff;

    std::printf("passes driven:          %ld (plus thermal and timer passes)\n", passes);
    std::printf("agent still running:    %s\n", agent.running() ? "yes" : "no");
    std::printf("open descriptors:       %d after 100 passes, %d at the end\n", early.descriptors,
                late.descriptors);
    std::printf("resident memory:        %ld KiB after 100 passes, %ld KiB at the end\n",
                early.residentKilobytes, late.residentKilobytes);
    std::printf("child processes:        %d after 100 passes, %d at the end\n", early.children,
                late.children);
    std::printf("vell writes lost:       %ld\n", lostWrites);
    std::printf("override follows wish:  %s\n", followed ? "yes" : "no");
    std::printf("last settings kept:     %s\n", settingsKept ? "yes" : "no");
    // Allocators settle in pages; a leak of even a few bytes a pass shows as
    // far more than this over ten thousand passes.
    const bool memoryFlat = late.residentKilobytes <= early.residentKilobytes + 256;
    const bool ok = agent.running() && followed && settingsKept && lostWrites == 0 &&
                    late.descriptors == early.descriptors && late.children == 0 &&
                    early.children == 0 && memoryFlat;
    std::printf("%s\n", ok ? "soak: passed" : "soak: FAILED");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    SimulatedMac mac;
    ScopedEnvironment root("VELL_SYSTEM_ROOT", mac.root());
    ScopedEnvironment home("HOME", mac.home());
    mac.installApp(VELL_APP_DIR, bundle);
    mac.setBattery(50, false);
    return soak(mac, argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10000);
}
