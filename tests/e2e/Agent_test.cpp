// The real VellDealer and vell inside a simulated Mac. Each test waits for an
// outcome with a deadline, never for a set time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "VellCompanion/Companion.hpp"
#include "VellShared/PowerTool.hpp"
#include "VellShared/Preferences.hpp"
#include "tests/support/AgentProcess.hpp"
#include "tests/support/Eventually.hpp"
#include "tests/support/FlatJson.hpp"
#include "tests/support/SimulatedMac.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string bundle = "/Applications/Vell.app";
const std::string trashedBundle = "/Users/ann/.Trash/Vell.app";
const std::string registration = "/Library/LaunchAgents/org.vell.app.dealer.plist";

class EndToEnd : public ::testing::Test {
  protected:
    SimulatedMac mac;
    // The test reads the simulated Mac through the same stand-in.
    ScopedEnvironment root{"VELL_SYSTEM_ROOT", mac.root()};
    ScopedEnvironment home{"HOME", mac.home()};

    void SetUp() override {
        fs::create_directories(mac.at("/Applications"));
        fs::copy(VELL_APP_DIR, mac.at(bundle), fs::copy_options::recursive);
    }

    std::vector<std::string> environment() const {
        const char* path = ::getenv("PATH");
        std::vector<std::string> entries = {"VELL_SYSTEM_ROOT=" + mac.root(), "HOME=" + mac.home(),
                                            std::string("PATH=") + (path ? path : "/usr/bin:/bin")};
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
            if (const char* value = ::getenv(name)) {
                entries.push_back(std::string(name) + "=" + value);
            }
        }
        return entries;
    }

    CommandResult vell(const std::vector<std::string>& arguments,
                       const std::string& from = bundle) {
        PowerTool::Environment variables;
        for (const std::string& entry : environment()) {
            const auto equals = entry.find('=');
            variables[entry.substr(0, equals)] = entry.substr(equals + 1);
        }
        return PowerTool::run(from + "/Contents/MacOS/vell", arguments, variables);
    }

    std::unique_ptr<AgentProcess> startAgent() {
        auto agent = std::make_unique<AgentProcess>(mac.at(bundle + "/Contents/MacOS/VellDealer"),
                                                    environment());
        EXPECT_TRUE(eventually([&] { return agent->listening(); }));
        return agent;
    }

    // Any change under power_supply is an event for the agent.
    void pokePowerSupply() {
        writeFile(mac.at("/sys/class/power_supply/BAT0/status"), "Charging\n");
    }

    bool overrideIs(bool on) { return PowerTool::sleepDisabled() == on; }
};

TEST_F(EndToEnd, APowerSupplyChangeBringsAPassWithoutWaitingForTheTimer) {
    auto agent = startAgent();
    ASSERT_EQ(vell({"on", "--no-wait"}).code, 0);
    pokePowerSupply();
    // Well inside the timer's 15 seconds.
    EXPECT_TRUE(eventually([&] { return overrideIs(true); }, 10s));
}

TEST_F(EndToEnd, ALowBatteryOnBatteryPowerCutsOff) {
    ASSERT_EQ(vell({"on", "--no-wait"}).code, 0);
    auto agent = startAgent();
    ASSERT_TRUE(eventually([&] { return overrideIs(true); }));

    mac.setBattery(9, true);
    ASSERT_TRUE(eventually([&] { return overrideIs(false) && !VellPreferences::ownsOverride(); }));
    EXPECT_EQ(VellPreferences::cutoffReason(), "Vell turned off: battery at 9%");
    EXPECT_FALSE(VellPreferences::wanted());
}

TEST_F(EndToEnd, CriticalHeatCutsOff) {
    ASSERT_EQ(vell({"on", "--no-wait"}).code, 0);
    auto agent = startAgent();
    ASSERT_TRUE(eventually([&] { return overrideIs(true); }));

    mac.setTemperature(105000);
    ASSERT_TRUE(eventually([&] { return VellPreferences::cutoffReason().has_value(); }));
    EXPECT_EQ(VellPreferences::cutoffReason(), "Vell turned off: Mac is too hot");
    EXPECT_TRUE(eventually([&] { return overrideIs(false); }));
}

TEST_F(EndToEnd, TrashingTheAppRestoresSleepUnregistersAndExitsZero) {
    ASSERT_EQ(vell({"register"}).code, 0);
    ASSERT_TRUE(fs::exists(mac.home() + registration));
    ASSERT_EQ(vell({"on", "--no-wait"}).code, 0);
    auto agent = startAgent();
    ASSERT_TRUE(eventually([&] { return overrideIs(true); }));

    fs::create_directories(mac.at("/Users/ann/.Trash"));
    fs::rename(mac.at(bundle), mac.at(trashedBundle));
    pokePowerSupply();
    ASSERT_TRUE(eventually([&] { return agent->exitStatus().has_value(); }));
    EXPECT_EQ(agent->exitStatus(), 0);
    EXPECT_TRUE(overrideIs(false));
    EXPECT_FALSE(fs::exists(mac.home() + registration));
    EXPECT_EQ(mac.launchctlLog(), "");
}

// One change is one pass, even when it is a new file: created, then written.
TEST_F(EndToEnd, ADeletedAppIsRemovedOnTheSecondChange) {
    ASSERT_EQ(vell({"register"}).code, 0);
    auto agent = startAgent();
    // Before the first pass after the deletion, give the agent something to
    // do that shows the pass happened: an owned override to turn off.
    ASSERT_TRUE(eventually([&] { return overrideIs(false); }));
    mac.setSleepDisabledReading("<true/>");
    VellPreferences::setOwnsOverride(true);

    fs::remove_all(mac.at(bundle));
    writeFile(mac.at("/sys/class/power_supply/BAT0/voltage_now"), "12000000\n");
    ASSERT_TRUE(eventually([&] { return overrideIs(false) && agent->idle(); }));
    EXPECT_TRUE(agent->running());

    pokePowerSupply();
    ASSERT_TRUE(eventually([&] { return agent->exitStatus().has_value(); }));
    EXPECT_EQ(agent->exitStatus(), 0);
    EXPECT_FALSE(fs::exists(mac.home() + registration));
}

TEST_F(EndToEnd, AFailedUnregistrationFallsBackToLaunchctlAndStillExitsZero) {
    auto agent = startAgent();
    fs::create_directories(mac.at("/Users/ann/.Trash"));
    // Not registered, so unregistering fails.
    fs::rename(mac.at(bundle), mac.at(trashedBundle));
    pokePowerSupply();
    ASSERT_TRUE(eventually([&] { return agent->exitStatus().has_value(); }));
    EXPECT_EQ(agent->exitStatus(), 0);
    EXPECT_EQ(mac.launchctlLog(),
              "bootout gui/" + std::to_string(::getuid()) + "/org.vell.app.dealer\n");
}

TEST_F(EndToEnd, AFailingPmsetKeepsTheTrashedAgentUntilSleepIsRestored) {
    ASSERT_EQ(vell({"register"}).code, 0);
    ASSERT_EQ(vell({"on", "--no-wait"}).code, 0);
    auto agent = startAgent();
    ASSERT_TRUE(eventually([&] { return overrideIs(true); }));

    mac.setPmsetFailing(true);
    fs::create_directories(mac.at("/Users/ann/.Trash"));
    fs::rename(mac.at(bundle), mac.at(trashedBundle));
    pokePowerSupply();
    ASSERT_TRUE(eventually([&] { return !VellPreferences::wanted(); }));
    EXPECT_TRUE(agent->running());
    EXPECT_TRUE(overrideIs(true));

    mac.setPmsetFailing(false);
    pokePowerSupply();
    ASSERT_TRUE(eventually([&] { return agent->exitStatus().has_value(); }));
    EXPECT_EQ(agent->exitStatus(), 0);
    EXPECT_TRUE(overrideIs(false));
}

TEST_F(EndToEnd, VellRejectsBadArgumentsWithUsage) {
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{},
                                               {"sideways"},
                                               {"on", "now"},
                                               {"on", "--wait"},
                                               {"off", "--wait", "soon"},
                                               {"on", "--wait", "-1"},
                                               {"on", "--wait", "nan"},
                                               {"status", "--xml"},
                                               {"doctor", "now"},
                                               {"low-battery-cutoff"},
                                               {"low-battery-cutoff", "maybe"}}) {
        const CommandResult result = vell(arguments);
        EXPECT_EQ(result.code, 2);
        EXPECT_NE(result.output.find("usage: vell"), std::string::npos);
    }
    EXPECT_EQ(vell({"low-battery-cutoff", "off"}).code, 0);
    EXPECT_FALSE(VellPreferences::lowBatteryCutoff());
    EXPECT_EQ(vell({"--help"}).output.rfind("usage: vell", 0), 0u);
    EXPECT_EQ(vell({"--version"}).output, "vell 1.0\n");
}

TEST_F(EndToEnd, WithoutTheSudoRuleDoctorAndOnSayPmsetNeedsAPassword) {
    // The rule the menu-bar app installs is the packaged one.
    EXPECT_NE(readFile(VELL_PMSET_RULE).value_or("").find(VellCompanion::pmsetRule),
              std::string::npos);
    mac.setPmsetRule(false);
    const CommandResult registered = vell({"register"});
    EXPECT_EQ(registered.output, "registered org.vell.app.dealer: enabled\n");
    auto agent = startAgent();

    const CommandResult doctor = vell({"doctor"});
    EXPECT_EQ(doctor.code, 1);
    EXPECT_NE(doctor.output.find("FAIL  pmset runs without a password"), std::string::npos)
        << doctor.output;
    const CommandResult on = vell({"on", "--wait", "0.5"});
    EXPECT_EQ(on.code, 1);
    EXPECT_NE(on.output.find("pmset runs without a password: Choose Set Up"), std::string::npos)
        << on.output;

    mac.setPmsetRule(true);
    EXPECT_EQ(vell({"doctor"}).code, 0);
}

TEST_F(EndToEnd, WithTheAgentNotRunningDoctorAndOnSaySo) {
    const CommandResult unregistered = vell({"unregister"});
    EXPECT_EQ(unregistered.code, 0);
    EXPECT_EQ(unregistered.output, "org.vell.app.dealer: not registered\n");
    ASSERT_EQ(vell({"register"}).code, 0);

    const std::string kickstart =
        "agent running: Start it: launchctl kickstart gui/" + std::to_string(::getuid());
    const CommandResult doctor = vell({"doctor"});
    EXPECT_EQ(doctor.code, 1);
    EXPECT_NE(doctor.output.find("FAIL  " + kickstart), std::string::npos) << doctor.output;
    const CommandResult on = vell({"on", "--wait", "0.5"});
    EXPECT_EQ(on.code, 1);
    EXPECT_NE(on.output.find("the sleep override is not on after 0.5 s\n  " + kickstart),
              std::string::npos)
        << on.output;
}

TEST_F(EndToEnd, WithTheAgentRunningOnAndOffWaitForItsConfirmation) {
    ASSERT_EQ(vell({"register"}).code, 0);
    auto agent = startAgent();
    // The agent acts on events; a power-supply change is the quickest.
    std::jthread poker([&](std::stop_token stop) {
        while (!stop.stop_requested()) {
            pokePowerSupply();
            std::this_thread::sleep_for(100ms);
        }
    });
    const CommandResult on = vell({"on"});
    EXPECT_EQ(on.code, 0) << on.output;
    EXPECT_TRUE(overrideIs(true));
    EXPECT_EQ(vell({"doctor"}).code, 0);

    const CommandResult off = vell({"off"});
    EXPECT_EQ(off.code, 0) << off.output;
    EXPECT_TRUE(overrideIs(false));
    EXPECT_TRUE(eventually([] { return !VellPreferences::ownsOverride(); }));
}

TEST_F(EndToEnd, AnUnreadableOverrideFailsDoctorAndOff) {
    mac.setSleepDisabledReading("<string>maybe</string>");
    const CommandResult doctor = vell({"doctor"});
    EXPECT_EQ(doctor.code, 1);
    EXPECT_NE(doctor.output.find("FAIL  sleep override readable"), std::string::npos)
        << doctor.output;
    const CommandResult off = vell({"off", "--wait", "0.2"});
    EXPECT_EQ(off.code, 1);
    EXPECT_NE(off.output.find("sleep override readable: macOS does not report"), std::string::npos)
        << off.output;
}

TEST_F(EndToEnd, StatusAsJsonParsesBackWithEveryKey) {
    mac.setBattery(55, true);
    const std::string reason = "Vell turned off: \"hot\"\\\n\t\x01 — 45 °C";
    VellPreferences::setCutoffReason(reason);
    const CommandResult result = vell({"status", "--json"});
    ASSERT_EQ(result.code, 0);
    const auto json = parseFlatJson(result.output);
    ASSERT_TRUE(json) << result.output;
    const std::map<std::string, std::string> expected = {{"wanted", "false"},
                                                         {"ownsOverride", "false"},
                                                         {"override", "off"},
                                                         {"cutoffReason", reason},
                                                         {"batteryPercent", "55"},
                                                         {"onBattery", "true"},
                                                         {"thermalState", "nominal"},
                                                         {"lowBatteryCutoff", "true"},
                                                         {"registration", "notRegistered"},
                                                         {"agentRunning", "false"},
                                                         {"passwordlessPmset", "true"}};
    EXPECT_EQ(*json, expected);
}

}  // namespace
