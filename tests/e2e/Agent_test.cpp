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

#include "VellShared/PowerTool.hpp"
#include "VellShared/Preferences.hpp"
#include "tests/support/AgentProcess.hpp"
#include "tests/support/Eventually.hpp"
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

TEST_F(EndToEnd, AnOwnedWishTurnsTheOverrideOnAndOffGivesItBack) {
    ASSERT_EQ(vell({"on"}).code, 0);
    auto agent = startAgent();
    ASSERT_TRUE(eventually([&] { return overrideIs(true); }));

    ASSERT_EQ(vell({"off"}).code, 0);
    pokePowerSupply();
    ASSERT_TRUE(eventually([&] { return overrideIs(false) && !VellPreferences::ownsOverride(); }));
    EXPECT_TRUE(agent->running());
}

TEST_F(EndToEnd, APowerSupplyChangeBringsAPassWithoutWaitingForTheTimer) {
    auto agent = startAgent();
    ASSERT_EQ(vell({"on"}).code, 0);
    pokePowerSupply();
    // Well inside the timer's 15 seconds.
    EXPECT_TRUE(eventually([&] { return overrideIs(true); }, 10s));
}

TEST_F(EndToEnd, ALowBatteryOnBatteryPowerCutsOff) {
    ASSERT_EQ(vell({"on"}).code, 0);
    auto agent = startAgent();
    ASSERT_TRUE(eventually([&] { return overrideIs(true); }));

    mac.setBattery(9, true);
    ASSERT_TRUE(eventually([&] { return overrideIs(false) && !VellPreferences::ownsOverride(); }));
    EXPECT_EQ(VellPreferences::cutoffReason(), "Vell turned off: battery at 9%");
    EXPECT_FALSE(VellPreferences::wanted());
    EXPECT_NE(vell({"status"}).output.find("battery at 9%"), std::string::npos);
}

TEST_F(EndToEnd, CriticalHeatCutsOff) {
    ASSERT_EQ(vell({"on"}).code, 0);
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
    ASSERT_EQ(vell({"on"}).code, 0);
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
    ASSERT_EQ(vell({"on"}).code, 0);
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
                                               {"low-battery-cutoff"},
                                               {"low-battery-cutoff", "maybe"}}) {
        const CommandResult result = vell(arguments);
        EXPECT_EQ(result.code, 2);
        EXPECT_NE(result.output.find("usage: vell"), std::string::npos);
    }
    EXPECT_EQ(vell({"low-battery-cutoff", "off"}).code, 0);
    EXPECT_FALSE(VellPreferences::lowBatteryCutoff());
}

TEST_F(EndToEnd, VellStatusSaysWhatItSees) {
    mac.setBattery(55, true);
    VellPreferences::setCutoffReason("Vell turned off: Mac is too hot");
    const std::string status = vell({"status"}).output;
    EXPECT_NE(status.find("wanted:             no"), std::string::npos) << status;
    EXPECT_NE(status.find("sleep override:     off"), std::string::npos) << status;
    EXPECT_NE(status.find("last cutoff:        Vell turned off: Mac is too hot"),
              std::string::npos);
    EXPECT_NE(status.find("battery:            55% on battery"), std::string::npos) << status;
    EXPECT_NE(status.find("thermal state:      nominal"), std::string::npos) << status;
    EXPECT_NE(status.find("low-battery cutoff: on"), std::string::npos) << status;
}

}  // namespace
