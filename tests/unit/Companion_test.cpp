#include "VellCompanion/Companion.hpp"

#include <cmath>
#include <functional>

#include "VellShared/Preferences.hpp"
#include "tests/unit/FakeTest.hpp"

namespace {

using CompanionTest = FakeTest;

using namespace VellCompanion;
using platform::AgentServiceStatus;

const std::string launchctl = "/bin/launchctl";
const std::string jobRunning = "gui/501/org.vell.app.dealer = {\n\tstate = running\n}\n";
const std::string jobWaiting = "\tstate = waiting\n";
const std::string sudo = "/usr/bin/sudo";
const std::string listingHeader =
    "User ann may run the following commands on mac:\n    (ALL) ALL\n";
const platform::ChildOutcome listingWithRule = {
    true, "",
    listingHeader +
        "    (root) NOPASSWD: /usr/bin/pmset -a disablesleep 0, /usr/bin/pmset -a disablesleep 1\n",
    0};

// A fresh Mac where every check passes.
void setUpWell() {
    fake().executablePath = "/Applications/Vell.app/Contents/MacOS/vell";
    fake().registeredAgents = {"org.vell.app.dealer.plist"};
    fake().programs[launchctl] = {true, "", jobRunning, 0};
    fake().programs[sudo] = listingWithRule;
}

std::vector<std::string> failing(const std::vector<Check>& checks) {
    std::vector<std::string> lines;
    for (const Check& check : checks) {
        if (check.fix) {
            lines.push_back(check.name + ": " + *check.fix);
        }
    }
    return lines;
}

TEST_F(CompanionTest, ChecksFailExactlyWhereTheSituationIsWrongAndSayTheFix) {
    // clang-format off
    const std::string moveIn = "app in an Applications folder: Move Vell.app into /Applications.";
    const std::string startsLater = "agent running: It starts once it is registered and allowed (see above).";
    const std::string makeWritable = "settings writable: Make ~/Library/Preferences and its files yours and writable.";
    // Only the full read runs programs, and its sudo ignores a password typed a moment ago.
    const std::vector<std::string> fullRead = {"run /bin/launchctl print gui/501/org.vell.app.dealer", "run /usr/bin/sudo -k -n -l"};
    const std::string setUpPmset = "pmset runs without a password: Choose Set Up Password-less pmset… in Vell's menu, or install packaging/vell-pmset.sudoers as /etc/sudoers.d/vell-pmset.";
    const struct { const char* name; std::function<void()> arrange; std::vector<std::string> failing; } rows[] = {
        {"all well", [] {}, {}},
        {"in a user's Applications", [] { fake().executablePath = "/Users/ann/Applications/Vell.app/Contents/MacOS/vell"; }, {}},
        {"in a disk's Trash", [] { fake().executablePath = "/Volumes/USB/.Trashes/501/Vell.app/Contents/MacOS/vell"; }, {"app in an Applications folder: Vell.app is in the Trash: move it back into /Applications."}},
        {"on a disk image", [] { fake().executablePath = "/Volumes/Vell/Applications/Vell.app/Contents/MacOS/vell"; }, {"app in an Applications folder: Vell.app runs from a disk image: copy it into /Applications and open it there."}},
        {"in a build folder", [] { fake().executablePath = "/src/build/Vell.app/Contents/MacOS/vell"; }, {moveIn}},
        {"own path unknown", [] { fake().executablePath.reset(); }, {moveIn}},
        {"not registered", [] { fake().registeredAgents.clear(); fake().programs[launchctl].output = jobWaiting; }, {"agent registered and enabled: Run `vell register`, or choose Run Agent in Background in Vell's menu.", startsLater}},
        {"awaiting approval", [] { fake().registeredStatus = AgentServiceStatus::requiresApproval; fake().programs[launchctl].output = jobWaiting; }, {"agent registered and enabled: Allow Vell in System Settings › General › Login Items.", startsLater}},
        {"job missing from the app", [] { fake().registeredStatus = AgentServiceStatus::notFound; fake().programs[launchctl].output = jobWaiting; }, {"agent registered and enabled: Run `vell register`; if it still says not found, install Vell.app afresh.", startsLater}},
        {"registered, not running", [] { fake().programs[launchctl].output = jobWaiting; }, {"agent running: Start it: launchctl kickstart gui/501/org.vell.app.dealer"}},
        {"launchctl missing", [] { fake().programs[launchctl] = {false, "ENOENT", "", 0}; }, {"agent running: Start it: launchctl kickstart gui/501/org.vell.app.dealer"}},
        {"pmset needs a password", [] { fake().programs[sudo] = {true, "", "sudo: a password is required", 1}; }, {setUpPmset}},
        {"only an unrelated rule needs none", [] { fake().programs[sudo].output = listingHeader + "    (root) NOPASSWD: /Library/VPN/helper\n"; }, {setUpPmset}},
        {"pmset needs a password, not an administrator", [] { fake().programs[sudo].terminationStatus = 1; fake().inAdminGroup = false; }, {"pmset runs without a password: You are not an administrator, so the admin group's rule does not cover you: choose Set Up Password-less pmset… in Vell's menu and give an administrator's name and password, for a rule for your user id."}},
        {"override unreadable", [] { fake().sleepDisabled.reset(); }, {"sleep override readable: macOS does not report the override (IOPMrootDomain SleepDisabled): restart the Mac."}},
        {"settings read-only", [] { fake().suiteWritesFail = true; }, {makeWritable}},
        {"settings writes ignored", [] { fake().suiteWritesIgnored = true; }, {makeWritable}},
        {"write check key at the largest number", [] { fake().shared()["vellWriteCheck"] = std::int64_t{INT64_MAX}; }, {}},
        {"settings writes ignored, the key left at 1", [] { fake().suiteWritesIgnored = true; fake().shared()["vellWriteCheck"] = 1; }, {makeWritable}},
        {"settings writes ignored, the key left at 0", [] { fake().suiteWritesIgnored = true; fake().shared()["vellWriteCheck"] = 0; }, {makeWritable}},
        {"settings flushed once, not twice", [] { fake().onSynchronize = [n = 0]() mutable { fake().suiteWritesFail = n++ > 0; }; }, {makeWritable}},
    };
    // clang-format on
    forEachRow(rows, [&](const auto& row) {
        setUpWell();
        row.arrange();
        const std::size_t keyLeft =
            fake().suiteWritesIgnored ? fake().shared().count("vellWriteCheck") : 0;
        withSettingsAndMachine({});
        EXPECT_TRUE(callsStartingWith({"run"}).empty());
        const auto bundle = ownBundlePath();
        EXPECT_EQ(failing(runChecks(bundle, readState(bundle))), row.failing);
        EXPECT_EQ(callsStartingWith({"run"}), fullRead);
        EXPECT_EQ(fake().shared().count("vellWriteCheck"), keyLeft)
            << "the write check left its key";
    });
}

TEST_F(CompanionTest, AFirstLaunchRegistersOnlyFromApplicationsAndAwaitsTheAgentABoundedTime) {
    // The job runs from launchctl read runningFrom (0: never); launchd gets 3 s, read each 0.25 s.
    // clang-format off
    const struct { const char* name; const char* bundle; AgentServiceStatus status; std::size_t runningFrom, registrations, reads; bool runs; } rows[] = {
        {"in Applications, running at once", "/Applications", AgentServiceStatus::enabled, 1, 1, 2, true},
        {"in Applications, running a moment later", "/Applications", AgentServiceStatus::enabled, 3, 1, 4, true},
        {"in Applications, never running", "/Applications", AgentServiceStatus::enabled, 0, 1, 14, false},
        {"in Applications, awaiting approval", "/Applications", AgentServiceStatus::requiresApproval, 0, 1, 1, false},
        {"on a disk image", "/Volumes/Vell", AgentServiceStatus::enabled, 0, 0, 1, false},
    };
    // clang-format on
    forEachRow(rows, [](const auto& row) {
        setUpWell();
        fake().registeredAgents.clear();
        fake().registeredStatus = row.status;
        fake().executablePath = std::string(row.bundle) + "/Vell.app/Contents/MacOS/vell";
        // Long past any allowance the job runs: a wait without end fails, not hangs.
        fake().whileProgramRuns = [&row](const std::vector<std::string>&) {
            const std::size_t read = callsStartingWith({"run " + launchctl}).size();
            const bool runs = (row.runningFrom > 0 && read >= row.runningFrom) || read > 40;
            fake().programs[launchctl].output = runs ? jobRunning : jobWaiting;
        };
        EXPECT_EQ(registerAndCheck(ownBundlePath())[2].fix.has_value(), !row.runs);
        EXPECT_EQ(callsStartingWith({"register"}).size(), row.registrations);
        EXPECT_EQ(callsStartingWith({"run " + launchctl}).size(), row.reads);
    });
}

TEST_F(CompanionTest, ASettingIsReportedWrittenOnlyWhenItReadsBackFromStorage) {
    // clang-format off
    const struct { const char* name; std::function<bool()> set; bool reported; } rows[] = {
        {"keep awake on, in one flush", [] { return setKeepAwake(true) && callsStartingWith({"synchronize"}).size() == 1; }, true},
        {"keep awake off, ownership left to the agent", [] { return setKeepAwake(false) && !fake().shared().count("vellOwnsOverride"); }, true},
        {"keep awake on, storage read-only", [] { fake().suiteWritesFail = true; return setKeepAwake(true); }, false},
        {"keep awake off, writes ignored while on", [] { fake().suiteWritesIgnored = true; fake().shared()["vellWanted"] = true; return setKeepAwake(false); }, false},
        {"keep awake on, writes ignored", [] { fake().suiteWritesIgnored = true; return setKeepAwake(true); }, false},
        {"keep awake on, ownership given up by a turn-off begun before", [] { fake().onSynchronize = [n = 0]() mutable { if (n++ == 0) fake().shared()["vellOwnsOverride"] = false; }; return setKeepAwake(true) && VellPreferences::ownsOverride(); }, true},
        {"keep awake on, ownership given up, granted again but not flushed", [] { fake().onSynchronize = [n = 0]() mutable { fake().suiteWritesFail = n > 0; if (n++ == 0) fake().shared()["vellOwnsOverride"] = false; }; return setKeepAwake(true); }, false},
        {"low-battery cutoff off", [] { return setLowBatteryCutoff(false); }, true},
        {"low-battery cutoff off, writes ignored", [] { fake().suiteWritesIgnored = true; return setLowBatteryCutoff(false); }, false},
        {"low-battery cutoff forced by a profile", [] { fake().forcedKeys = {"lowBatteryCutoff"}; return setLowBatteryCutoff(false) || fake().shared().count("lowBatteryCutoff") || !withSettingsAndMachine({}).lowBatteryCutoffManaged; }, false},
        {"for 90 s: ends then, in whole seconds", [] { fake().calendarNow += 0.4; return setKeepAwakeFor(90) && fake().shared()["vellWantedUntil"] == PropertyListValue(PropertyListDate{800000090}); }, true},
        {"for 90 s: the seconds left count down to 0, not below", [] { setKeepAwakeFor(90); const State read = withSettingsAndMachine({}); fake().calendarNow += 30; const bool counting = secondsLeft(read) == 60.0; fake().calendarNow += 100; return counting && secondsLeft(read) == 0.0 && !secondsLeft({}); }, true},
        {"the cheap read: every setting and the machine as they are", [] { fake().shared() = {{"vellWanted", true}, {"vellOwnsOverride", true}, {"cutoffReason", "hot"}, {"lowBatteryCutoff", false}, {"lowBatteryThreshold", 20}, {"vellWantedUntil", PropertyListDate{9}}}; fake().powerSources = {{internalBattery(5, 10)}}; fake().thermalState = platform::ThermalState::serious;
            const State r = withSettingsAndMachine({}); return r.wanted && r.ownsOverride && r.cutoffReason == "hot" && r.battery == SafetyCutoff::Battery{true, 50} && r.thermalState == platform::ThermalState::serious && !r.lowBatteryCutoff && r.lowBatteryThreshold == 20 && r.wantedUntil == 9.0; }, true},
        {"the cheap read: no deadline without a wish", [] { fake().shared()["vellWantedUntil"] = PropertyListDate{9}; return !withSettingsAndMachine({}).wantedUntil; }, true},
        {"for 90 s, writes ignored", [] { fake().suiteWritesIgnored = true; return setKeepAwakeFor(90); }, false},
        {"on without a time: the end goes", [] { fake().shared()["vellWantedUntil"] = PropertyListDate{1}; return setKeepAwake(true) && !fake().shared().count("vellWantedUntil"); }, true},
        {"cutoff at 20 %, which turns it on", [] { fake().shared()["lowBatteryCutoff"] = false; return setLowBatteryThreshold(20) && fake().shared()["lowBatteryThreshold"] == PropertyListValue(20) && VellPreferences::lowBatteryCutoff(); }, true},
        {"cutoff at 20 %, writes ignored", [] { fake().suiteWritesIgnored = true; return setLowBatteryThreshold(20); }, false},
        {"cutoff at 20 %, its threshold forced by a profile", [] { fake().forcedKeys = {"lowBatteryThreshold"}; return setLowBatteryThreshold(20) || fake().shared().count("lowBatteryThreshold"); }, false},
    };
    // clang-format on
    forEachRow(rows, [](const auto& row) { EXPECT_EQ(row.set(), row.reported); });
}

TEST(Companion, DurationsAndPercentsReadOnlyInTheirOwnForms) {
    // clang-format off
    const std::vector<std::pair<std::string, std::optional<double>>> durations = {
        {"1s", 1}, {"90s", 90}, {"45m", 2700}, {"2h", 7200}, {"1h30m", 5400}, {"1h0m5s", 3605}, {"8784h", 31622400},
        {"0s", {}}, {"0h0m", {}}, {"-5m", {}}, {"+5m", {}}, {"5", {}}, {"m", {}}, {"1.5h", {}}, {"30m1h", {}},
        {"1m1m", {}}, {"1d", {}}, {"1H", {}}, {" 5m", {}}, {"5m ", {}}, {"", {}}, {"8784h1s", {}}, {"99999999999s", {}}};
    const std::vector<std::pair<std::string, std::optional<std::int64_t>>> percents = {
        {"1", 1}, {"20", 20}, {"05", 5}, {"99", 99},
        {"0", {}}, {"100", {}}, {"-5", {}}, {"+5", {}}, {"5%", {}}, {"5.5", {}}, {"", {}}, {"on", {}}, {"099", {}}};
    // clang-format on
    for (const auto& [text, seconds] : durations) {
        EXPECT_EQ(parseDuration(text), seconds) << text;
    }
    for (const auto& [text, percent] : percents) {
        EXPECT_EQ(parsePercent(text), percent) << text;
    }
}

TEST_F(CompanionTest, RunsHoldTheWishTheLastOneWithdrawsOnlyAWishTheyRaised) {
    const PropertyListDictionary otherRun = {{"pid", 4343}, {"started", 9}};
    // clang-format off
    const struct { const char* name; std::function<void()> before, during; bool wantedAfter; std::size_t holdsAfter; } rows[] = {
        {"nothing wanted before",     [] {},                                                             [] {},                          false, 0},
        {"wanted before",             [] { fake().shared()["vellWanted"] = true; },                     [] {},                          true,  0},
        {"a timed wish before",       [] { setKeepAwakeFor(60); },                                       [] {},                          true,  0},
        {"another run still going",   [&] { fake().processes[4343] = 9; holdKeepAwake(); fake().shared()["vellHolds"] = PropertyListArray{otherRun}; }, [] {}, true, 1},
        {"another run died",          [&] { holdKeepAwake(); fake().shared()["vellHolds"] = PropertyListArray{otherRun}; }, [] {}, false, 0},
        {"on while it runs",          [] {},                                                             [] { setKeepAwake(true); },     true,  0},
        {"off while it runs",         [] {},                                                             [] { setKeepAwake(false); },    false, 0},
    };
    // clang-format on
    forEachRow(rows, [](const auto& r) {
        r.before();
        const std::optional<Holds::Hold> hold = holdKeepAwake();
        ASSERT_EQ(hold, (Holds::Hold{4242, 77}));
        EXPECT_TRUE(VellPreferences::wanted() && VellPreferences::ownsOverride());
        const PropertyListValue ownRun = PropertyListDictionary{{"pid", 4242}, {"started", 77}};
        const auto* held = fake().shared().count("vellHolds")
                               ? fake().shared()["vellHolds"].as<PropertyListArray>()
                               : nullptr;
        EXPECT_TRUE(held && held->back() == ownRun) << "this run's hold not stored";
        r.during();
        releaseKeepAwake(hold);
        EXPECT_EQ(fake().calls.end()[-2], "synchronize");
        EXPECT_EQ(VellPreferences::wanted(), r.wantedAfter);
        const auto holds = VellPreferences::store()->objectForKey("vellHolds");
        EXPECT_EQ(holds ? holds->as<PropertyListArray>()->size() : 0u, r.holdsAfter);
        int locks = 0;
        for (const std::string& call : fake().calls) {
            locks += call == "lock" ? 1 : call == "unlock" ? -1 : 0;
            if (call.starts_with("set ") || call.starts_with("remove ")) {
                EXPECT_EQ(locks, 1) << call << " outside the lock";
            }
        }
    });
    // Nothing is held when this process can't be told from a later one, or the hold not stored.
    for (const auto unheld :
         {+[] { fake().processes.clear(); }, +[] { fake().suiteWritesFail = true; }}) {
        resetFake();
        unheld();
        EXPECT_EQ(holdKeepAwake(), std::nullopt);
    }
}

TEST_F(CompanionTest, WaitingEndsOnConfirmationOnACutoffOrAtTheDeadline) {
    // clang-format off
    const struct { const char* name; bool on; double timeout; std::function<bool(int)> reading; WaitOutcome outcome; int reads; } rows[] = {
        {"on at the third read", true, 20, [](int read) { return read >= 3; }, WaitOutcome::confirmed, 3},
        {"wish withdrawn at the second read", true, 20, [](int read) { fake().shared()["vellWanted"] = read < 2; return false; }, WaitOutcome::cutOff, 2},
        {"ownership given up as the wish came: granted again", true, 20, [](int) { return fake().shared()["vellOwnsOverride"] == PropertyListValue(true) && !callsStartingWith({"synchronize"}).empty(); }, WaitOutcome::confirmed, 2},
        {"still on after two seconds", false, 2, [](int) { return true; }, WaitOutcome::timedOut, 9},
        {"a timeout that is not a number", true, std::nan(""), [](int) { return false; }, WaitOutcome::timedOut, 1},
    };
    // clang-format on
    forEachRow(rows, [](const auto& row) {
        fake().shared()["vellWanted"] = row.on;
        fake().registryReading = [&row]() -> std::optional<bool> {
            return row.reading(fake().registryReads);
        };
        EXPECT_EQ(waitForOverride(row.on, row.timeout), row.outcome);
        EXPECT_EQ(fake().registryReads, row.reads);
    });
}

TEST_F(CompanionTest, RegisteringSucceedsEnabledOrAwaitingApprovalUnregisteringIfRegistered) {
    // clang-format off
    const struct { const char* name; AgentServiceStatus status; bool succeeded; } rows[] = {
        {"enabled", AgentServiceStatus::enabled, true},
        {"awaiting approval", AgentServiceStatus::requiresApproval, true},
        {"refused", AgentServiceStatus::notRegistered, false},
        {"job missing from the app", AgentServiceStatus::notFound, false},
    };
    // clang-format on
    forEachRow(rows, [](const auto& row) {
        fake().registeredStatus = row.status;
        EXPECT_EQ(registerAgent("/Applications/Vell.app").succeeded(), row.succeeded);
        EXPECT_EQ(unregisterAgent("/Applications/Vell.app").wasRegistered, row.succeeded);
    });
}

TEST_F(CompanionTest, UnregisteringFirstRestoresSleepTheAgentOwnsAndStaysRegisteredWhenItCant) {
    const std::string pmsetOff = "run /usr/bin/sudo -n /usr/bin/pmset -a disablesleep 0";
    // clang-format off
    const struct { const char* name; bool owned, agentRuns, agentActs; std::deque<FakePmsetOutcome> pmset; std::optional<std::string> error; std::vector<std::string> pmsetRuns; } rows[] = {
        {"not Vell's override", false, true, false, {}, {}, {}},
        {"owned, the agent turns it off", true, true, true, {}, {}, {}},
        {"owned, no agent running", true, false, false, {}, {}, {pmsetOff}},
        {"owned, the agent does not act in time", true, true, false, {}, {}, {pmsetOff}},
        {"owned, pmset fails", true, false, false, {{1, "sudo: a password is required", false}}, "Sleep could not be restored, so the agent stays registered to guard it: sudo: a password is required", {pmsetOff}},
    };
    // clang-format on
    forEachRow(rows, [](const auto& row) {
        setUpWell();
        fake().shared() = {{"vellWanted", true}, {"vellOwnsOverride", row.owned}};
        fake().sleepDisabled = true;
        fake().pmsetOutcomes = row.pmset;
        fake().programs[launchctl].output = row.agentRuns ? jobRunning : jobWaiting;
        fake().registryReading = [&row]() -> std::optional<bool> {
            const bool withdrawn = fake().shared()["vellWanted"] == PropertyListValue(false);
            return (row.agentActs && withdrawn) ? false : fake().sleepDisabled;
        };
        const UnregistrationOutcome outcome = unregisterAgent("/Applications/Vell.app");
        EXPECT_TRUE(outcome.wasRegistered);
        EXPECT_EQ(outcome.error, row.error);
        EXPECT_EQ(callsStartingWith({"unregister"}).size(), row.error ? 0u : 1u);
        EXPECT_EQ(callsStartingWith({"run /usr/bin/sudo -n"}), row.pmsetRuns);
        if (row.owned && !row.error) {
            EXPECT_EQ(fake().shared(),
                      (PropertyListDictionary{{"vellWanted", false}, {"vellOwnsOverride", false}}));
            EXPECT_EQ(fake().calls.end()[-2], "synchronize") << "the withdrawn wish not flushed";
        }
    });
}

// The whole command, which runs as root; AppleScript needs the script's quotes and backslashes
// escaped.
std::string setUpCommand(const std::string& rule, const std::string& file) {
    return "run /usr/bin/osascript -e do shell script \""
           R"(/bin/mkdir -p -m 755 /private/etc/sudoers.d || exit 1; )"
           R"(/usr/bin/grep -Eq '^[[:space:]]*[#@]includedir[[:space:]]+(/private)?/etc/sudoers\\.d/?[[:space:]]*$' /private/etc/sudoers || )"
           R"({ echo '/etc/sudoers has no #includedir line for /private/etc/sudoers.d, so sudo would not read the rule: add one with visudo.' >&2; exit 1; }; )"
           R"(case \"$(/usr/bin/stat -f '%u %OLp' /private/etc/sudoers.d)\" in '0 '*[0145][0145]) ;; )"
           R"(*) echo 'sudo ignores /private/etc/sudoers.d unless it belongs to root and neither group nor others may write to it: chown root:wheel and chmod 755 it.' >&2; exit 1;; esac; )"
           R"(f=$(/usr/bin/mktemp /private/etc/sudoers.d/.vell-pmset.XXXXXX) || exit 1; )"
           "/bin/echo '" +
           rule +
           R"(' > \"$f\" && /usr/sbin/chown root:wheel \"$f\" && )"
           R"(/bin/chmod 0440 \"$f\" && /usr/sbin/visudo -cf \"$f\" && )"
           R"(/bin/mv -f \"$f\" )" +
           file +
           R"( || { /bin/rm -f \"$f\"; exit 1; })"
           "\" with administrator privileges";
}

TEST_F(CompanionTest, SettingUpPmsetRunsTheOneScriptChecksAgainAndSaysWhatWentWrongButNotACancel) {
    const std::string forAdmins = setUpCommand(pmsetRule, "/private/etc/sudoers.d/vell-pmset");
    // clang-format off
    const struct { const char* name; std::optional<bool> admin; platform::ChildOutcome osascript, sudoAfter; bool canceled; std::optional<std::string> error; std::string command; } rows[] = {
        {"installed", true, {true, "", "", 0}, listingWithRule, false, std::nullopt, forAdmins},
        {"installed for a standard user by user id", false, {true, "", "", 0}, listingWithRule, false, std::nullopt, setUpCommand("#501 ALL = (root) NOPASSWD: /usr/bin/pmset -a disablesleep 0, /usr/bin/pmset -a disablesleep 1", "/private/etc/sudoers.d/vell-pmset-501")},
        {"installed, the user database can't tell: the admin group's", std::nullopt, {true, "", "", 0}, listingWithRule, false, std::nullopt, forAdmins},
        {"installed, but sudo still asks", true, {true, "", "", 0}, {true, "", listingHeader, 0}, false, "The rule is in /private/etc/sudoers.d/vell-pmset, but sudo still asks for a password for pmset: a rule after it in /etc/sudoers may take precedence (sudo -l lists them in order).", forAdmins},
        {"prompt canceled", true, {true, "", "0:210: execution error: User canceled. (-128)\n", 1}, listingWithRule, true, std::nullopt, forAdmins},
        {"the script refused", true, {true, "", "0:1127: execution error: sudo ignores /private/etc/sudoers.d unless… (1)\n", 1}, listingWithRule, false, "sudo ignores /private/etc/sudoers.d unless…", forAdmins},
        {"the script refused, no number at the end", true, {true, "", "0:42: execution error: a (not found) rule\n", 1}, listingWithRule, false, "a (not found) rule", forAdmins},
        {"visudo refused", true, {true, "", "syntax error\n", 1}, listingWithRule, false, "syntax error", forAdmins},
        {"failed saying nothing", true, {true, "", " \n", 1}, listingWithRule, false, "The rule could not be installed.", forAdmins},
    };
    // clang-format on
    forEachRow(rows, [](const auto& row) {
        fake().inAdminGroup = row.admin;
        fake().programs["/usr/bin/osascript"] = row.osascript;
        fake().programs[sudo] = row.sudoAfter;
        const SetUpOutcome outcome = setUpPasswordlessPmset();
        EXPECT_EQ(outcome.canceled, row.canceled);
        EXPECT_EQ(outcome.error, row.error);
        EXPECT_EQ(callsStartingWith({"run /usr/bin/osascript"}), std::vector{row.command});
    });
}

}  // namespace
