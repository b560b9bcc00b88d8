// vell on the fake platform: what each command prints, where, and its exit status.
#include "VellCompanion/CommandLine.hpp"

#include <functional>
#include <sstream>

#include "tests/unit/FakeTest.hpp"

namespace {

using namespace VellCompanion;
using platform::AgentServiceStatus;

const std::string usage =
    "usage: vell on [--for DURATION] [--no-wait | --wait SECONDS]\n"
    "       vell off [--no-wait | --wait SECONDS]\n"
    "       vell run [--wait SECONDS] [--] COMMAND [ARGUMENTS...]\n"
    "       vell status [--json] | doctor | low-battery-cutoff on|off|PERCENT\n"
    "       vell register | unregister | --help | --version\n"
    "  on                      keep the Mac awake, even with the lid closed, and wait\n"
    "                          (20 s unless --wait says otherwise) until it is\n"
    "  on --for DURATION       the same for a time, e.g. 90s, 45m, 2h, 1h30m (up to a\n"
    "                          year), after which the agent lets the Mac sleep again\n"
    "  off                     let the Mac sleep normally again, and wait until it may\n"
    "  run COMMAND             keep the Mac awake while COMMAND runs, and exit with its\n"
    "                          status; the Mac sleeps again after the last run ends,\n"
    "                          unless it was kept awake before\n"
    "  status                  show the wish, the override and what the agent sees;\n"
    "                          --json prints it as one JSON object\n"
    "  doctor                  check the setup, one line each, with the fix for a failure\n"
    "  low-battery-cutoff on   turn the override off at 10 % battery (the default)\n"
    "  low-battery-cutoff PERCENT  turn it off at PERCENT (1-99) battery instead\n"
    "  low-battery-cutoff off  keep it on whatever the battery\n"
    "  register                start the agent now and at every login\n"
    "  unregister              let the Mac sleep again if Vell keeps it awake, then stop\n"
    "                          the agent and stop starting it\n";

// A Mac where every check passes and the override is off.
void setUpWell() {
    fake().executablePath = "/Applications/Vell.app/Contents/MacOS/vell";
    fake().registeredAgents = {"org.vell.app.dealer.plist"};
    fake().programs["/bin/launchctl"] = {true, "", "\tstate = running\n", 0};
    // clang-format off
    fake().programs["/usr/bin/sudo"] = {true, "", "User ann may run the following commands on mac:\n    (root) NOPASSWD: /usr/bin/pmset -a disablesleep 0, /usr/bin/pmset -a disablesleep 1\n", 0};
    // clang-format on
}

TEST(CommandLine, EachCommandSaysWhatHappenedAndExitsAccordingly) {
    // clang-format off
    const std::string notSaved = "vell: the setting could not be saved, so the agent won't see it\n";
    const std::string on = "sleep override: on; the Mac stays awake, lid closed or not\n";
    const std::string tryLonger = "  every check passes; the agent has not acted yet: try a longer --wait\n";
    const std::string wishStays = "  the wish stays: the agent turns the override on once it can; `vell off` withdraws it\n";
    const std::string notRunning = "  agent running: Start it: launchctl kickstart gui/501/org.vell.app.dealer\n";
    const std::string checks[] = {"app in an Applications folder\n", "agent registered and enabled\n", "agent running\n", "pmset runs without a password\n", "sleep override readable\n", "settings writable\n"};
    const std::string okLines = "ok    " + checks[0] + "ok    " + checks[1] + "ok    " + checks[2] + "ok    " + checks[3] + "ok    " + checks[4] + "ok    " + checks[5];
    const std::vector<std::string> heldRun = {"set vellHolds=<object>", "foreground sh -c exit 3", "remove vellHolds"};
    const auto withdrawn = [](const char* reason) { return [reason] { fake().registryReading = [reason] { fake().shared()["vellWanted"] = false; if (*reason) { fake().shared()["cutoffReason"] = std::string(reason); } return false; }; }; };
    const auto timedWish = [] { fake().shared()["vellWanted"] = true; fake().shared()["vellWantedUntil"] = PropertyListDate{800003725.2}; };
    const struct { const char* name; std::vector<std::string> arguments; std::function<void()> arrange; int status; std::string out, err; std::vector<std::string> writes = {}; } rows[] = {
        {"help", {"--help"}, [] {}, 0, usage, ""},
        {"version", {"--version"}, [] {}, 0, "vell " VELL_VERSION "\n", ""},
        {"on, confirmed", {"on"}, [] { fake().sleepDisabled = true; }, 0, on, ""},
        {"on for a time, confirmed after the longest wait", {"on", "--for", "1h30m", "--wait", "3600"}, [] { fake().sleepDisabled = true; }, 0, on + "until 2026-05-09T07:43:20Z, then the agent lets it sleep\n", ""},
        {"off, confirmed", {"off", "--wait", "5"}, [] {}, 0, "sleep override: off; the Mac sleeps normally\n", ""},
        {"on, not waiting", {"on", "--no-wait"}, [] {}, 0, "wanted: yes (not waiting for the agent)\n", ""},
        {"on for a time, not waiting", {"on", "--no-wait", "--for", "90s"}, [] {}, 0, "wanted: yes until 2026-05-09T06:14:50Z (not waiting for the agent)\n", ""},
        {"off, not waiting", {"off", "--no-wait"}, [] {}, 0, "wanted: no (not waiting for the agent)\n", ""},
        {"off, not saved", {"off", "--no-wait"}, [] { fake().suiteWritesIgnored = true; fake().shared()["vellWanted"] = true; }, 1, "", notSaved},
        {"on, cut off with a reason", {"on"}, withdrawn("Vell turned off: battery at 5%"), 1, "", "vell: the agent did not keep the Mac awake: Vell turned off: battery at 5%\n"},
        {"on, cut off without a reason", {"on"}, withdrawn(""), 1, "", "vell: the agent did not keep the Mac awake: a safety cutoff\n"},
        {"on, timed out, every check passing", {"on", "--wait", "0.5"}, setUpWell, 1, "", "vell: the sleep override is not on after 0.5 s\n" + tryLonger + wishStays},
        {"on, timed out, the agent not running", {"on"}, [] { setUpWell(); fake().programs["/bin/launchctl"].output = "\tstate = waiting\n"; }, 1, "", "vell: the sleep override is not on after 20 s\n" + notRunning + wishStays},
        {"run, timed out, then the override on and the ownership given up", {"run", "--wait", "0", "true"}, [] { setUpWell(); fake().registryReading = [] { fake().shared()["vellOwnsOverride"] = false; fake().onSynchronize = [] { fake().shared()["vellOwnsOverride"] = false; }; return fake().registryReads > 1; }; }, 0, "", "vell: the sleep override is not on after 0 s; running the command all the same\n" + tryLonger, {"set vellHolds=<object>", "foreground true", "remove vellHolds"}},
        {"off, timed out, turned on outside Vell", {"off", "--wait", "1"}, [] { setUpWell(); fake().sleepDisabled = true; }, 1, "", "vell: the sleep override is not off after 1 s\n  the override was turned on outside Vell: sudo pmset -a disablesleep 0\n"},
        {"off, timed out, the agent's own", {"off", "--wait", "1"}, [] { setUpWell(); fake().sleepDisabled = true; fake().shared()["vellOwnsOverride"] = true; }, 1, "", "vell: the sleep override is not off after 1 s\n" + tryLonger},
        {"run, held, its status passed on", {"run", "sh", "-c", "exit 3"}, [] { fake().sleepDisabled = true; fake().foregroundOutcome.status = 3; }, 3, "", "", heldRun},
        {"run, not held", {"run", "true"}, [] { fake().processes.clear(); fake().sleepDisabled = true; }, 0, "", notSaved.substr(0, notSaved.size() - 1) + "; running the command all the same\n", {"foreground true"}},
        {"run, cut off", {"run", "--", "true"}, withdrawn(""), 0, "", "vell: the agent did not keep the Mac awake: a safety cutoff; running the command all the same\n", {"set vellHolds=<object>", "foreground true", "remove vellHolds"}},
        {"run, timed out", {"run", "--wait", "2.5", "sh", "-c", "exit 3"}, [] { setUpWell(); fake().foregroundOutcome.status = 3; }, 3, "", "vell: the sleep override is not on after 2.5 s; running the command all the same\n" + tryLonger, heldRun},
        {"run, can't start", {"run", "sh", "-c", "exit 3"}, [] { fake().sleepDisabled = true; fake().foregroundOutcome = {false, "No such file or directory", 0}; }, 127, "", "vell: can't run sh: No such file or directory\n", heldRun},
        {"status, all well", {"status"}, [] { setUpWell(); fake().shared()["vellOwnsOverride"] = true; }, 0, "wanted:              no\nagent owns it:       yes\nsleep override:      off (the Mac sleeps normally)\nlast cutoff:         none\nbattery:             none\nthermal state:       nominal\nlow-battery cutoff:  on at 10%\nagent:               enabled, running\npassword-less pmset: yes\n", ""},
        {"status, timed, managed, unreadable", {"status"}, [=] { timedWish(); fake().sleepDisabled.reset(); fake().shared()["cutoffReason"] = std::string("hot"); fake().powerSources->push_back(internalBattery(55, 100)); fake().thermalState = platform::ThermalState::critical; fake().forcedKeys = {"lowBatteryThreshold"}; fake().shared()["lowBatteryThreshold"] = std::int64_t{20}; fake().registeredAgents = {"org.vell.app.dealer.plist"}; fake().registeredStatus = AgentServiceStatus::requiresApproval; }, 1, "wanted:              yes\nuntil:               2026-05-09T07:15:25Z (1 h 02 min left)\nagent owns it:       no\nsleep override:      unreadable\nlast cutoff:         hot\nbattery:             55% on battery\nthermal state:       critical\nlow-battery cutoff:  on at 20%, set by your organization's configuration profile\nagent:               requires approval in System Settings › General › Login Items, not running\npassword-less pmset: no\n", ""},
        {"status, cutoff off, on external power", {"status"}, [] { fake().sleepDisabled = true; fake().shared()["lowBatteryCutoff"] = false; fake().powerSources->push_back(internalBattery(80, 100, {{"Power Source State", "AC Power"}})); }, 0, "wanted:              no\nagent owns it:       no\nsleep override:      on (sleep is disabled)\nlast cutoff:         none\nbattery:             80% on external power\nthermal state:       nominal\nlow-battery cutoff:  off\nagent:               not registered, not running\npassword-less pmset: no\n", ""},
        {"status as JSON, unreadable", {"status", "--json"}, [=] { timedWish(); fake().sleepDisabled.reset(); }, 1, R"({"wanted":true,"ownsOverride":false,"override":"unreadable","cutoffReason":null,"batteryPercent":null,"onBattery":null,"thermalState":"nominal","lowBatteryCutoff":true,"lowBatteryCutoffManaged":false,"registration":"notRegistered","agentRunning":false,"passwordlessPmset":false,"wantedUntil":"2026-05-09T07:15:25Z","lowBatteryThreshold":10})" "\n", ""},
        {"status as JSON, readable", {"status", "--json"}, [] {}, 0, R"({"wanted":false,"ownsOverride":false,"override":"off","cutoffReason":null,"batteryPercent":null,"onBattery":null,"thermalState":"nominal","lowBatteryCutoff":true,"lowBatteryCutoffManaged":false,"registration":"notRegistered","agentRunning":false,"passwordlessPmset":false,"wantedUntil":null,"lowBatteryThreshold":10})" "\n", ""},
        {"doctor, all well", {"doctor"}, setUpWell, 0, okLines, ""},
        {"doctor, one failing", {"doctor"}, [] { setUpWell(); fake().programs["/bin/launchctl"].output = ""; }, 1, "ok    " + checks[0] + "ok    " + checks[1] + "FAIL" + notRunning + "ok    " + checks[3] + "ok    " + checks[4] + "ok    " + checks[5], ""},
        {"cutoff on, at the stored threshold", {"low-battery-cutoff", "on"}, [] { fake().shared()["lowBatteryThreshold"] = std::int64_t{30}; }, 0, "low-battery cutoff: on at 30%\n", "", {"set lowBatteryCutoff=true"}},
        {"cutoff off", {"low-battery-cutoff", "off"}, [] {}, 0, "low-battery cutoff: off\n", "", {"set lowBatteryCutoff=false"}},
        {"cutoff at a percentage", {"low-battery-cutoff", "5"}, [] {}, 0, "low-battery cutoff: on at 5%\n", "", {"set lowBatteryThreshold=5", "set lowBatteryCutoff=true"}},
        {"cutoff managed", {"low-battery-cutoff", "off"}, [] { fake().forcedKeys = {"lowBatteryCutoff"}; }, 1, "", "vell: the low-battery cutoff is set by your organization's configuration profile, so it can't be changed here\n"},
        {"cutoff at a percentage, not saved", {"low-battery-cutoff", "20"}, [] { fake().suiteWritesFail = true; }, 1, "", notSaved},
        {"register", {"register"}, setUpWell, 0, "registered org.vell.app.dealer: enabled\n", ""},
        {"register, awaiting approval", {"register"}, [] { setUpWell(); fake().registeredStatus = AgentServiceStatus::requiresApproval; }, 0, "registered org.vell.app.dealer: requires approval in System Settings › General › Login Items\n", ""},
        {"register, refused", {"register"}, [] { setUpWell(); fake().registeredStatus = AgentServiceStatus::notFound; fake().registrationError = "Invalid argument"; }, 1, "", "vell: org.vell.app.dealer is not found: Invalid argument\n"},
        {"register, not found without a word", {"register"}, [] { setUpWell(); fake().registeredStatus = AgentServiceStatus::notFound; }, 1, "", "vell: org.vell.app.dealer is not found\n"},
        {"register, no bundle", {"register"}, [] {}, 1, "", "vell: can't find the app bundle this program lies in\n"},
        {"unregister, not registered", {"unregister"}, [] {}, 0, "org.vell.app.dealer: not registered\n", ""},
        {"unregister, refused", {"unregister"}, [] { setUpWell(); fake().unregistrationFails = true; }, 1, "", "vell: Operation not permitted\n"},
        {"unregister", {"unregister"}, setUpWell, 0, "unregistered org.vell.app.dealer\n", ""},
    };
    // clang-format on
    forEachRow(rows, [](const auto& row) {
        row.arrange();
        std::ostringstream out, err;
        EXPECT_EQ(runCommandLine(row.arguments, out, err), row.status);
        EXPECT_EQ(out.str(), row.out);
        EXPECT_EQ(err.str(), row.err);
        EXPECT_EQ(callsStartingWith(
                      {"set vellHolds", "remove vellHolds", "foreground", "set lowBattery"}),
                  row.writes);
    });
}

TEST(CommandLine, MalformedArgumentsAreAUsageError) {
    // clang-format off
    const std::vector<std::vector<std::string>> rejected = {
        {}, {"sideways"}, {"on", "now"}, {"on", "--wait"}, {"off", "--wait", "soon"}, {"on", "--wait", "-1"}, {"on", "--wait", "1x"}, {"on", "--wait", "3600.5"},
        {"on", "--no-wait", "5"}, {"on", "--wait", "1", "2"}, {"on", "--for", "0s"}, {"on", "--for"}, {"off", "--for", "1h"}, {"status", "--xml"}, {"status", "--json", "x"},
        {"doctor", "now"}, {"register", "now"}, {"--version", "x"}, {"low-battery-cutoff"}, {"low-battery-cutoff", "maybe"}, {"low-battery-cutoff", "100"},
        {"run"}, {"run", "--wait"}, {"run", "--wait", "soon", "true"}, {"run", "--"}, {"run", "--wait", "1"}};
    // clang-format on
    for (const auto& arguments : rejected) {
        resetFake();
        std::ostringstream out, err;
        EXPECT_EQ(runCommandLine(arguments, out, err), 2) << ::testing::PrintToString(arguments);
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(err.str(), usage);
    }
}

}  // namespace
