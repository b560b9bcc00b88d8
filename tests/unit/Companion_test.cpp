#include "VellCompanion/Companion.hpp"

#include <functional>

#include "tests/unit/FakeTest.hpp"

namespace {

using namespace VellCompanion;
using platform::AgentServiceStatus;

const std::string agentPlist = "org.vell.app.dealer.plist";
const std::string launchctl = "/bin/launchctl";
const std::string sudo = "/usr/bin/sudo";

// A Mac where every check passes.
void setUpWell() {
    fake().executablePath = "/Applications/Vell.app/Contents/MacOS/vell";
    fake().registeredAgents = {agentPlist};
    fake().programs[launchctl] = {true, "",
                                  "gui/501/org.vell.app.dealer = {\n\tstate = running\n}\n", 0};
}

void launchdKnowsNothing() {
    fake().programs[launchctl] = {true, "", "Could not find service", 113};
}

void runFrom(const std::string& bundle) {
    fake().executablePath = bundle + "/Contents/MacOS/vell";
}

struct CheckRow {
    const char* situation;
    std::function<void()> arrange;
    // Each failing check's name and a part of its fix; nothing else fails.
    std::vector<std::pair<std::string, std::string>> failing;
};

void PrintTo(const CheckRow& row, std::ostream* out) {
    *out << row.situation;
}

class Checks : public FakeTest, public ::testing::WithParamInterface<CheckRow> {};

TEST_P(Checks, FailExactlyWhereTheSituationIsWrongAndSayTheFix) {
    setUpWell();
    GetParam().arrange();
    const auto bundle = ownBundlePath();
    std::vector<std::pair<std::string, std::string>> failing;
    for (const Check& check : runChecks(bundle, readState(bundle))) {
        if (check.fix) {
            failing.emplace_back(check.name, *check.fix);
        }
    }
    ASSERT_EQ(failing.size(), GetParam().failing.size());
    for (std::size_t i = 0; i < failing.size(); ++i) {
        EXPECT_EQ(failing[i].first, GetParam().failing[i].first);
        EXPECT_NE(failing[i].second.find(GetParam().failing[i].second), std::string::npos)
            << failing[i].second;
    }
    // The write check leaves nothing behind.
    EXPECT_EQ(fake().shared().count("vellWriteCheck"), 0u);
}

const std::string place = "app in an Applications folder";
const std::string registered = "agent registered and enabled";
const std::string running = "agent running";
const std::string pmset = "pmset runs without a password";

INSTANTIATE_TEST_SUITE_P(
    Rows,
    Checks,
    ::testing::Values(
        CheckRow{"all well", [] {}, {}},
        CheckRow{"in a user's Applications",
                 [] { runFrom("/Users/ann/Applications/Vell.app"); },
                 {}},
        CheckRow{"in the Trash", [] { runFrom("/Users/ann/.Trash/Vell.app"); }, {{place, "Trash"}}},
        CheckRow{"on a disk image",
                 [] { runFrom("/Volumes/Vell/Applications/Vell.app"); },
                 {{place, "disk image"}}},
        CheckRow{"in a build folder",
                 [] { runFrom("/src/build/Vell.app"); },
                 {{place, "into /Applications"}}},
        CheckRow{"own path unknown",
                 [] { fake().executablePath.reset(); },
                 {{place, "into /Applications"}}},
        CheckRow{"not registered",
                 [] {
                     fake().registeredAgents.clear();
                     launchdKnowsNothing();
                 },
                 {{registered, "vell register"}, {running, "once it is registered"}}},
        CheckRow{"awaiting approval",
                 [] {
                     fake().registeredStatus = AgentServiceStatus::requiresApproval;
                     launchdKnowsNothing();
                 },
                 {{registered, "System Settings › General › Login Items"},
                  {running, "once it is registered"}}},
        CheckRow{"job missing from the app",
                 [] {
                     fake().registeredStatus = AgentServiceStatus::notFound;
                     launchdKnowsNothing();
                 },
                 {{registered, "Run `vell register`; if it still says not found"},
                  {running, "once it is registered"}}},
        CheckRow{"registered, not running",
                 [] { fake().programs[launchctl].output = "\tstate = not running\n"; },
                 {{running, "launchctl kickstart gui/501/org.vell.app.dealer"}}},
        CheckRow{"unknown to launchd", launchdKnowsNothing, {{running, "kickstart"}}},
        CheckRow{"launchctl missing",
                 [] {
                     fake().programs[launchctl] = {false, "ENOENT", "", 0};
                 },
                 {{running, "kickstart"}}},
        CheckRow{"pmset needs a password",
                 [] {
                     fake().programs[sudo] = {true, "", "sudo: a password is required", 1};
                 },
                 {{pmset, "Set Up Password-less pmset"}}},
        CheckRow{"override unreadable",
                 [] { fake().sleepDisabled.reset(); },
                 {{"sleep override readable", "restart the Mac"}}},
        CheckRow{"settings read-only",
                 [] { fake().suiteWritesFail = true; },
                 {{"settings writable", "~/Library/Preferences"}}},
        CheckRow{"write check key at the largest number",
                 [] { fake().shared()["vellWriteCheck"] = std::int64_t{INT64_MAX}; },
                 {}}),
    [](const auto& info) {
        std::string name;
        for (const char c : std::string(info.param.situation)) {
            if (std::isalnum(static_cast<unsigned char>(c))) {
                name += c;
            }
        }
        return name;
    });

TEST_F(FakeTest, OnlyTheFullReadRunsProgramsAndItsSudoIgnoresATypedPassword) {
    setUpWell();
    fake().shared()["vellWanted"] = true;
    EXPECT_TRUE(withSettingsAndMachine({}).wanted);
    EXPECT_TRUE(callsStartingWith({"run"}).empty());
    readState(ownBundlePath());
    EXPECT_EQ(
        callsStartingWith({"run /usr/bin/sudo"}),
        std::vector<std::string>{"run /usr/bin/sudo -k -n -l /usr/bin/pmset -a disablesleep 1"});
}

TEST_F(FakeTest, AWishThatDoesNotReachStorageIsReported) {
    EXPECT_TRUE(setKeepAwake(true));
    EXPECT_EQ(fake().shared().at("vellOwnsOverride"), PropertyListValue(true));
    fake().suiteWritesFail = true;
    EXPECT_FALSE(setKeepAwake(false));
    EXPECT_FALSE(setLowBatteryCutoff(false));
}

TEST_F(FakeTest, WaitingEndsOnConfirmationOnACutoffOrAtTheDeadline) {
    fake().shared()["vellWanted"] = true;
    fake().registryReading = [] { return fake().pauses >= 3; };
    EXPECT_EQ(waitForOverride(true, 20), WaitOutcome::confirmed);

    fake().registryReading = [] {
        fake().shared()["vellWanted"] = fake().pauses < 2;
        return false;
    };
    EXPECT_EQ(waitForOverride(true, 20), WaitOutcome::cutOff);

    fake().registryReading = nullptr;
    fake().sleepDisabled = true;
    const double start = fake().now;
    EXPECT_EQ(waitForOverride(false, 2), WaitOutcome::timedOut);
    EXPECT_GE(fake().now - start, 2);
}

TEST_F(FakeTest, AFirstLaunchRegistersOnlyFromAnApplicationsFolderAndAwaitsTheAgent) {
    setUpWell();
    fake().registeredAgents.clear();
    runFrom("/Volumes/Vell/Vell.app");
    registerAndCheck(ownBundlePath());
    EXPECT_TRUE(callsStartingWith({"register"}).empty());
    // launchd starts the job a moment after it is registered, or never.
    runFrom("/Applications/Vell.app");
    fake().programs[launchctl].output = "\tstate = not running\n";
    fake().whileProgramRuns = [](const std::string& path, const std::vector<std::string>&) {
        if (path == launchctl && fake().pauses >= 2) {
            fake().programs[launchctl].output = "\tstate = running\n";
        }
    };
    const auto checks = registerAndCheck(ownBundlePath());
    EXPECT_FALSE(checks[1].fix);
    EXPECT_FALSE(checks[2].fix);
    fake().registeredAgents.clear();
    fake().whileProgramRuns = nullptr;
    fake().programs[launchctl].output = "\tstate = not running\n";
    EXPECT_TRUE(registerAndCheck(ownBundlePath())[2].fix);
}

struct SetUpRow {
    const char* situation;
    platform::ChildOutcome osascript;
    bool canceled;
    std::optional<std::string> error;
};

TEST_F(FakeTest, SettingUpPmsetSaysWhatWentWrongButNotACancel) {
    const SetUpRow rows[] = {
        {"installed", {true, "", "", 0}, false, std::nullopt},
        {"prompt canceled",
         {true, "", "0:210: execution error: User canceled. (-128)\n", 1},
         true,
         std::nullopt},
        {"visudo refused", {true, "", "syntax error\n", 1}, false, "syntax error"},
    };
    for (const SetUpRow& row : rows) {
        fake().programs["/usr/bin/osascript"] = row.osascript;
        const SetUpOutcome outcome = setUpPasswordlessPmset();
        EXPECT_EQ(outcome.canceled, row.canceled) << row.situation;
        EXPECT_EQ(outcome.error, row.error) << row.situation;
    }
    // A Mac may lack the folder the rule goes into.
    const std::string script = callsStartingWith({"run /usr/bin/osascript"}).front();
    EXPECT_LT(script.find("/bin/mkdir -p -m 755 /private/etc/sudoers.d"), script.find("mktemp"));
}

TEST_F(FakeTest, UnregisteringAnAgentThatIsNotRegisteredLeavesLaunchdAlone) {
    EXPECT_FALSE(unregisterAgent("/Applications/Vell.app").wasRegistered);
    EXPECT_TRUE(callsStartingWith({"unregister"}).empty());
}

}  // namespace
