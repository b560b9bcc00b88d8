// The real VellDealer and vell together in a simulated Mac: only what needs
// both binaries, the stand-in's programs and real events. Every wait has a
// deadline and says what it waited for.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "VellCompanion/Companion.hpp"
#include "VellShared/PowerTool.hpp"
#include "VellShared/Preferences.hpp"
#include "tests/support/AgentProcess.hpp"
#include "tests/support/Eventually.hpp"
#include "tests/support/SimulatedMac.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::HasSubstr;

namespace {

const std::string bundle = "/Applications/Vell.app";
const std::string registration = "/Library/LaunchAgents/org.vell.app.dealer.plist";

class EndToEnd : public ::testing::Test {
  protected:
    SimulatedMac mac;
    // The test reads the simulated Mac through the same stand-in.
    ScopedEnvironment root{"VELL_SYSTEM_ROOT", mac.root()};
    ScopedEnvironment home{"HOME", mac.home()};

    void SetUp() override { mac.installApp(VELL_APP_DIR, bundle); }

    CommandResult vell(const std::vector<std::string>& arguments) {
        return runVell(mac, bundle, arguments);
    }

    std::unique_ptr<AgentProcess> startAgent() {
        auto agent = std::make_unique<AgentProcess>(mac.at(bundle + "/Contents/MacOS/VellDealer"),
                                                    mac.environment());
        EXPECT_TRUE(eventually([&] { return agent->listening(); }))
            << "the agent never put its event sources in place";
        return agent;
    }

    // Any change under power_supply is an event for the agent.
    void pokePowerSupply() {
        writeFile(mac.at("/sys/class/power_supply/BAT0/present"), "1\n");  // as it was
    }

    bool overrideIs(bool on) { return PowerTool::sleepDisabled() == on; }

    // The agent has turned the override off and given it up. A pass that
    // turns it off writes the ownership last, so a wish granted before then
    // loses its ownership: the last writer wins.
    bool settledOff(const AgentProcess& agent) {
        return overrideIs(false) && !VellPreferences::ownsOverride() && agent.idle();
    }

    // Power-supply events every 100 ms, so that passes follow each change.
    std::jthread poker() {
        return std::jthread([this](std::stop_token stop) {
            while (!stop.stop_requested()) {
                pokePowerSupply();
                std::this_thread::sleep_for(100ms);
            }
        });
    }
};

TEST_F(EndToEnd, OnAndOffAreCarriedOutOnPowerSupplyEventsUndoneByAStopOrALowBattery) {
    ASSERT_EQ(vell({"register"}).output, "registered org.vell.app.dealer: enabled\n");
    auto agent = startAgent();
    const auto events = poker();
    // Well inside the timer's 15 seconds: the events bring the passes.
    const CommandResult on = vell({"on", "--wait", "10"});
    EXPECT_EQ(on.code, 0) << on.output;
    EXPECT_TRUE(overrideIs(true));
    const CommandResult doctor = vell({"doctor"});
    EXPECT_EQ(doctor.code, 0) << doctor.output;

    // Stopped as launchd stops it: sleep comes back, and the wish and the
    // ownership stay for the next start, which turns the override on again.
    ::kill(agent->pid(), SIGTERM);
    ASSERT_TRUE(eventually([&] { return agent->exitStatus().has_value(); }))
        << "the agent never ended on SIGTERM";
    EXPECT_EQ(agent->exitStatus(), 0);
    EXPECT_TRUE(overrideIs(false));
    agent = startAgent();
    EXPECT_TRUE(eventually([&] { return overrideIs(true); })) << "a restart never turned it on";
    mac.setBattery(5, true);
    EXPECT_TRUE(eventually([&] { return overrideIs(false); })) << "5 % brought no cutoff";
    EXPECT_EQ(VellPreferences::cutoffReason(), "Vell turned off: battery at 5%");

    const CommandResult off = vell({"off", "--wait", "10"});
    EXPECT_EQ(off.code, 0) << off.output;
    EXPECT_TRUE(overrideIs(false));
    EXPECT_TRUE(eventually([] { return !VellPreferences::ownsOverride(); }))
        << "the agent never gave the override up";
}

TEST_F(EndToEnd, TheRunningAgentEndsATimedWishWithoutACutoff) {
    ASSERT_EQ(vell({"register"}).code, 0);
    ASSERT_EQ(vell({"on", "--for", "3s", "--no-wait"}).code, 0);
    auto agent = startAgent();
    // No event comes: the agent's own timer brings the pass that ends it.
    ASSERT_TRUE(eventually([&] { return !VellPreferences::wanted() && agent->idle(); }))
        << "the timed wish never ended";
    EXPECT_TRUE(eventually([&] { return overrideIs(false) && !VellPreferences::ownsOverride(); }));
    EXPECT_EQ(VellPreferences::wantedUntil(), std::nullopt);
    EXPECT_EQ(VellPreferences::cutoffReason(), std::nullopt);
}

TEST_F(EndToEnd, VellRunKeepsAwakeForItsCommandAndExitsWithItsStatus) {
    ASSERT_EQ(vell({"register"}).code, 0);
    auto agent = startAgent();
    const auto events = poker();
    const CommandResult three = vell({"run", "--", "sh", "-c", "echo ran; exit 3"});
    EXPECT_EQ(three.code, 3);
    EXPECT_EQ(three.output, "ran\n");
    EXPECT_EQ(vell({"run", "sh", "-c", "kill -9 $$"}).code, 128 + SIGKILL);
    EXPECT_THAT(vell({"run", "--wait", "1", "/no/such/program"}).output,
                HasSubstr("vell: can't run /no/such/program: No such file or directory"));
    EXPECT_FALSE(VellPreferences::wanted()) << "the runs left the wish they raised";
    ASSERT_TRUE(eventually([&] { return settledOff(*agent); }));

    // A wish that stood before a run stands after it.
    ASSERT_EQ(vell({"on", "--wait", "10"}).code, 0);
    EXPECT_EQ(vell({"run", "true"}).code, 0);
    EXPECT_TRUE(VellPreferences::wanted());
}

TEST_F(EndToEnd, VellRunPassesSignalsOnAndARunKilledOutrightHoldsNothing) {
    ASSERT_EQ(vell({"register"}).code, 0);
    auto agent = startAgent();
    const auto events = poker();
    const std::string vellPath = mac.at(bundle + "/Contents/MacOS/vell");
    const std::string started = mac.at("/started");
    // The command says when it runs, and ends with 7 on SIGTERM.
    const std::string script = "trap 'exit 7' TERM; touch " + started +
                               "; while kill -0 $PPID 2>/dev/null; do sleep 0.1; done";
    AgentProcess terminated(vellPath, mac.environment(), {"run", "sh", "-c", script});
    ASSERT_TRUE(eventually([&] { return fs::exists(started); })) << "the command never started";
    // Sent as macOS hands every signal over: with no kill() named as its sender.
    ::sigqueue(terminated.pid(), SIGTERM, sigval{});
    ASSERT_TRUE(eventually([&] { return terminated.exitStatus().has_value(); }));
    EXPECT_EQ(terminated.exitStatus(), 7);
    ASSERT_TRUE(eventually([&] { return settledOff(*agent); }));

    fs::remove(started);
    {
        // Its command ends with vell, so nothing is left behind.
        AgentProcess killed(
            vellPath, mac.environment(),
            {"run", "sh", "-c",
             "touch " + started + "; while kill -0 $PPID 2>/dev/null; do sleep 0.1; done"});
        ASSERT_TRUE(eventually([&] { return fs::exists(started) && overrideIs(true); }));
    }  // SIGKILL
    EXPECT_TRUE(eventually([&] { return !VellPreferences::wanted() && overrideIs(false); }))
        << "the hold of a killed run kept the Mac awake";
}

TEST_F(EndToEnd, TrashingTheAppRestoresSleepUnregistersAndExitsZero) {
    ASSERT_EQ(vell({"register"}).code, 0);
    ASSERT_TRUE(fs::exists(mac.home() + registration));
    ASSERT_EQ(vell({"on", "--no-wait"}).code, 0);
    auto agent = startAgent();
    ASSERT_TRUE(eventually([&] { return overrideIs(true); })) << "the override never turned on";

    fs::create_directories(mac.at("/Users/ann/.Trash"));
    fs::rename(mac.at(bundle), mac.at("/Users/ann/.Trash/Vell.app"));
    pokePowerSupply();
    ASSERT_TRUE(eventually([&] { return agent->exitStatus().has_value(); }))
        << "the agent never exited after its app was trashed";
    EXPECT_EQ(agent->exitStatus(), 0);
    EXPECT_TRUE(overrideIs(false));
    EXPECT_FALSE(fs::exists(mac.home() + registration));
    EXPECT_FALSE(fs::exists(mac.at("/launchctl.log"))) << "launchctl was called";
}

// One change is one pass, even when it is a new file: created, then written.
TEST_F(EndToEnd, ADeletedAppIsRemovedOnTheSecondChange) {
    ASSERT_EQ(vell({"register"}).code, 0);
    auto agent = startAgent();
    // Before the first pass after the deletion, give the agent something to
    // do that shows the pass happened: an owned override to turn off.
    mac.setSleepDisabledReading("<true/>");
    VellPreferences::setOwnsOverride(true);

    fs::remove_all(mac.at(bundle));
    writeFile(mac.at("/sys/class/power_supply/BAT0/voltage_now"), "12000000\n");
    ASSERT_TRUE(eventually([&] { return overrideIs(false) && agent->idle(); }))
        << "no pass turned the owned override off";
    EXPECT_TRUE(agent->running());

    pokePowerSupply();
    ASSERT_TRUE(eventually([&] { return agent->exitStatus().has_value(); }))
        << "the agent never exited after the second change";
    EXPECT_EQ(agent->exitStatus(), 0);
    EXPECT_FALSE(fs::exists(mac.home() + registration));
}

// What the real sudo and launchctl stand-ins answer reaches the user as a failed check with its fix.
TEST_F(EndToEnd, DoctorAndOnNameWhatIsMissing) {
    // The rule the menu-bar app installs is the packaged one.
    EXPECT_THAT(readFile(VELL_PMSET_RULE).value_or(""), HasSubstr(VellCompanion::pmsetRule));
    writeFile(mac.home() + "/Library/Preferences/org.vell.shared.plist",
              "<plist><dict><key>vellWanted</key><true/></dict></plist>");
    EXPECT_EQ(vell({"unregister"}).output, "org.vell.app.dealer: not registered\n");
    EXPECT_TRUE(VellPreferences::wanted()) << "vell left an earlier version's settings behind";
    EXPECT_EQ(vell({"--version"}).output, "vell " VELL_VERSION "\n");
    ASSERT_EQ(vell({"register"}).code, 0);
    mac.setPmsetRule(false);

    const std::string kickstart =
        "agent running: Start it: launchctl kickstart gui/" + std::to_string(::getuid());
    const CommandResult doctor = vell({"doctor"});
    EXPECT_EQ(doctor.code, 1);
    EXPECT_THAT(doctor.output, HasSubstr("FAIL  " + kickstart));
    EXPECT_THAT(doctor.output, HasSubstr("FAIL  pmset runs without a password"));
    const CommandResult on = vell({"on", "--wait", "0.5"});
    EXPECT_EQ(on.code, 1);
    EXPECT_THAT(on.output, HasSubstr("the sleep override is not on after 0.5 s\n  " + kickstart));
    EXPECT_TRUE(VellPreferences::wanted());
    mac.setSleepDisabledReading("<string>on</string>");
    EXPECT_EQ(vell({"status"}).code, 1);
}

}  // namespace
