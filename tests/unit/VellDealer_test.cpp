#include "VellDealer/VellDealer.hpp"

#include <thread>

#include "VellDealer/ExecutablePath.hpp"
#include "tests/unit/FakeTest.hpp"
#include "tests/unit/PassSummary.hpp"
#include "tests/unit/VellDealerTesting.hpp"

namespace {

using Calls = std::vector<std::string>;
using platform::ThermalState;

const std::string appPath = "/Applications/Vell.app";
const std::string agentPath = appPath + "/Contents/MacOS/VellDealer";
const std::string tooHot = "set cutoffReason=\"Vell turned off: Mac is too hot\"";
const std::string launchctl = "run /bin/launchctl bootout gui/501/org.vell.app.dealer";

void installApp() {
    fake().dictionaryFiles[appPath + "/Contents/Info.plist"] = {
        {"CFBundleIdentifier", appBundleIdentifier}};
}

void setFlags(bool wanted, bool owns) {
    fake().shared()["vellWanted"] = wanted;
    fake().shared()["vellOwnsOverride"] = owns;
}

const FakePmsetOutcome failing{1, "sudo: a password is required", false};

// ---- The policy, row by row -------------------------------------------------

struct PolicyRow {
    int row;
    bool owns;
    bool wanted;
    bool cutoff;
    std::optional<bool> override;
    std::vector<FakePmsetOutcome> pmset;
    bool withdrawDuringTurnOn;
    Calls expected;
};

void PrintTo(const PolicyRow& value, std::ostream* out) {
    *out << "row " << value.row;
}

class Policy : public FakeTest, public ::testing::WithParamInterface<PolicyRow> {};

TEST_P(Policy, CallsAndWritesWhatItsRowSays) {
    const PolicyRow& r = GetParam();
    installApp();
    setFlags(r.wanted, r.owns);
    fake().sleepDisabled = r.override;
    fake().thermalState = r.cutoff ? ThermalState::critical : ThermalState::nominal;
    fake().pmsetOutcomes.assign(r.pmset.begin(), r.pmset.end());
    if (r.withdrawDuringTurnOn) {
        fake().whileProgramRuns = [](const std::string&, const std::vector<std::string>& args) {
            if (args.back() == "1") {
                fake().shared()["vellWanted"] = false;
            }
        };
    }
    VellDealer dealer(appPath);
    VellDealerTesting::reconcile(dealer);

    Calls expected = {"get vellWanted", "get vellOwnsOverride"};
    expected.insert(expected.end(), r.expected.begin(), r.expected.end());
    EXPECT_EQ(summarizePass(fake().calls), expected) << "row " << r.row;
    EXPECT_TRUE(fake().exits.empty());
    // The agent never turns a wish on.
    EXPECT_EQ(callsStartingWith({"set vellWanted=true"}).size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows,
    Policy,
    ::testing::Values(
        PolicyRow{1, false, true, true, true, {}, false, {}},
        PolicyRow{1, false, false, false, true, {}, false, {}},
        PolicyRow{2,
                  true,
                  true,
                  false,
                  std::nullopt,
                  {},
                  false,
                  {"currentReason", "sleepDisabled"}},
        PolicyRow{3, true, true, false, true, {}, false, {"currentReason", "sleepDisabled"}},
        PolicyRow{4,
                  true,
                  true,
                  false,
                  false,
                  {},
                  false,
                  {"currentReason", "sleepDisabled", "setSleepDisabled(true)", "get vellWanted"}},
        // A failed turn-on leads to the same row.
        PolicyRow{4,
                  true,
                  true,
                  false,
                  false,
                  {failing},
                  false,
                  {"currentReason", "sleepDisabled", "setSleepDisabled(true)", "get vellWanted"}},
        PolicyRow{5,
                  true,
                  true,
                  false,
                  false,
                  {{}, {}},
                  true,
                  {"currentReason", "sleepDisabled", "setSleepDisabled(true)", "get vellWanted",
                   "setSleepDisabled(false)"}},
        PolicyRow{6,
                  true,
                  true,
                  false,
                  false,
                  {{}, failing},
                  true,
                  {"currentReason", "sleepDisabled", "setSleepDisabled(true)", "get vellWanted",
                   "setSleepDisabled(false)", "set vellOwnsOverride=true"}},
        PolicyRow{7,
                  true,
                  true,
                  true,
                  std::nullopt,
                  {},
                  false,
                  {"currentReason", tooHot, "set vellWanted=false", "sleepDisabled"}},
        PolicyRow{8,
                  true,
                  true,
                  true,
                  true,
                  {failing},
                  false,
                  {"currentReason", tooHot, "set vellWanted=false", "sleepDisabled",
                   "setSleepDisabled(false)"}},
        PolicyRow{9,
                  true,
                  true,
                  true,
                  true,
                  {},
                  false,
                  {"currentReason", tooHot, "set vellWanted=false", "sleepDisabled",
                   "setSleepDisabled(false)", "set vellOwnsOverride=false"}},
        PolicyRow{10,
                  true,
                  true,
                  true,
                  false,
                  {},
                  false,
                  {"currentReason", tooHot, "set vellWanted=false", "sleepDisabled",
                   "set vellOwnsOverride=false"}},
        PolicyRow{11, true, false, true, std::nullopt, {}, false, {"sleepDisabled"}},
        PolicyRow{12,
                  true,
                  false,
                  true,
                  true,
                  {failing},
                  false,
                  {"sleepDisabled", "setSleepDisabled(false)"}},
        PolicyRow{13,
                  true,
                  false,
                  false,
                  true,
                  {},
                  false,
                  {"sleepDisabled", "setSleepDisabled(false)", "set vellOwnsOverride=false"}},
        PolicyRow{14,
                  true,
                  false,
                  false,
                  false,
                  {},
                  false,
                  {"sleepDisabled", "set vellOwnsOverride=false"}}),
    [](const auto& info) {
        return "Row" + std::to_string(info.param.row) + "_" + std::to_string(info.index);
    });

using PolicyTest = FakeTest;

TEST_F(PolicyTest, LowBatteryIsRecordedWithItsPercentage) {
    installApp();
    setFlags(true, true);
    fake().sleepDisabled = true;
    fake().powerSources =
        std::vector<PropertyListDictionary>{{{"Type", "InternalBattery"},
                                             {"Current Capacity", 9},
                                             {"Max Capacity", 100},
                                             {"Power Source State", "Battery Power"}}};
    VellDealer dealer(appPath);
    VellDealerTesting::reconcile(dealer);
    EXPECT_EQ(fake().shared().at("cutoffReason"),
              PropertyListValue("Vell turned off: battery at 9%"));
    EXPECT_EQ(fake().shared().at("vellWanted"), PropertyListValue(false));
    EXPECT_EQ(fake().shared().at("vellOwnsOverride"), PropertyListValue(false));
    EXPECT_EQ(fake().sleepDisabled, false);
}

TEST_F(PolicyTest, ACutoffLeftUnfinishedIsCompletedByTheNextPass) {
    installApp();
    setFlags(true, true);
    fake().thermalState = ThermalState::critical;
    fake().sleepDisabled = std::nullopt;
    VellDealer dealer(appPath);
    VellDealerTesting::reconcile(dealer);
    EXPECT_EQ(fake().shared().at("vellOwnsOverride"), PropertyListValue(true));

    fake().sleepDisabled = true;
    VellDealerTesting::reconcile(dealer);
    EXPECT_EQ(fake().sleepDisabled, false);
    EXPECT_EQ(fake().shared().at("vellOwnsOverride"), PropertyListValue(false));
}

// ---- The installation watch -------------------------------------------------

struct WatchRow {
    const char* name;
    bool installed;
    std::optional<std::string> ownPath;
    bool ownExists;
    std::int64_t before;
    std::int64_t after;
    bool removes;
};

void PrintTo(const WatchRow& value, std::ostream* out) {
    *out << value.name;
}

class Watch : public FakeTest, public ::testing::WithParamInterface<WatchRow> {};

TEST_P(Watch, CountsMissesAndDecides) {
    const WatchRow& r = GetParam();
    if (r.installed) {
        installApp();
    }
    fake().executablePath = r.ownPath;
    if (r.ownExists && r.ownPath) {
        fake().existingPaths.insert(*r.ownPath);
    }
    VellDealer dealer(appPath);
    VellDealerTesting::setMissingChecks(dealer, r.before);
    VellDealerTesting::reconcile(dealer);

    EXPECT_EQ(VellDealerTesting::missingChecks(dealer), r.after);
    EXPECT_EQ(fake().exits, r.removes ? std::vector<int>{0} : std::vector<int>{});
    const bool startedRemoval = !callsStartingWith({"synchronize"}).empty();
    EXPECT_EQ(startedRemoval, r.removes);
}

const std::string trashed = "/Users/ann/.Trash/Vell.app/Contents/MacOS/VellDealer";
const std::string trashedOnVolume = "/Volumes/Data/.Trashes/501/Vell.app/Contents/MacOS/VellDealer";
const std::string lowerCaseTrash = "/Users/ann/.trash/Vell.app/Contents/MacOS/VellDealer";

INSTANTIATE_TEST_SUITE_P(
    Rows,
    Watch,
    ::testing::Values(WatchRow{"Installed", true, std::nullopt, false, 1, 0, false},
                      WatchRow{"NoPathFirstMiss", false, std::nullopt, false, 0, 1, false},
                      WatchRow{"NoPathSecondMiss", false, std::nullopt, false, 1, 2, true},
                      WatchRow{"InTrash", false, trashed, true, 0, 0, true},
                      WatchRow{"InTrashes", false, trashedOnVolume, true, 1, 1, true},
                      WatchRow{"TrashLetterCaseMatters", false, lowerCaseTrash, true, 1, 0, false},
                      WatchRow{"ExecutableStillThere", false, agentPath, true, 1, 0, false},
                      WatchRow{"ExecutableGoneFirstMiss", false, agentPath, false, 0, 1, false},
                      WatchRow{"ExecutableGoneSecondMiss", false, agentPath, false, 1, 2, true}),
    [](const auto& info) { return std::string(info.param.name); });

using WatchTest = FakeTest;

TEST_F(WatchTest, InstalledMeansTheRightIdentifierAsAStringOutsideATrash) {
    VellDealer dealer(appPath);
    const std::string plist = "/Contents/Info.plist";
    const std::string trashedApp = "/Users/ann/.Trash/Vell.app";
    fake().dictionaryFiles[trashedApp + plist] = {{"CFBundleIdentifier", "org.vell.app"}};
    fake().dictionaryFiles["/A.app" + plist] = {{"CFBundleName", "Vell"}};
    fake().dictionaryFiles["/B.app" + plist] = {{"CFBundleIdentifier", 7}};
    fake().dictionaryFiles["/C.app" + plist] = {{"CFBundleIdentifier", "org.vell.app.other"}};
    fake().dictionaryFiles["/D.app" + plist] = {{"CFBundleIdentifier", "org.vell.app"}};
    EXPECT_FALSE(VellDealerTesting::appIsInstalled(dealer, std::nullopt));
    EXPECT_FALSE(VellDealerTesting::appIsInstalled(dealer, ""));
    EXPECT_FALSE(VellDealerTesting::appIsInstalled(dealer, trashedApp));
    EXPECT_FALSE(VellDealerTesting::appIsInstalled(dealer, "/A.app"));
    EXPECT_FALSE(VellDealerTesting::appIsInstalled(dealer, "/B.app"));
    EXPECT_FALSE(VellDealerTesting::appIsInstalled(dealer, "/C.app"));
    EXPECT_FALSE(VellDealerTesting::appIsInstalled(dealer, "/Missing.app"));
    EXPECT_TRUE(VellDealerTesting::appIsInstalled(dealer, "/D.app"));
    EXPECT_TRUE(VellDealerTesting::appIsInstalled(dealer, "/D.app/"));
}

TEST_F(WatchTest, WithoutABundlePathTheAgentKeepsRunningWhileItsExecutableExists) {
    fake().executablePath = agentPath;
    fake().existingPaths.insert(agentPath);
    VellDealer dealer(std::nullopt);
    for (int pass = 0; pass < 5; ++pass) {
        VellDealerTesting::reconcile(dealer);
    }
    EXPECT_EQ(VellDealerTesting::missingChecks(dealer), 0);
    EXPECT_TRUE(fake().exits.empty());
}

TEST_F(WatchTest, AnInstalledPassBetweenTwoMissesStartsTheCountAgain) {
    fake().executablePath = agentPath;
    VellDealer dealer(appPath);
    VellDealerTesting::reconcile(dealer);
    installApp();
    VellDealerTesting::reconcile(dealer);
    fake().dictionaryFiles.clear();
    VellDealerTesting::reconcile(dealer);
    EXPECT_EQ(VellDealerTesting::missingChecks(dealer), 1);
    EXPECT_TRUE(fake().exits.empty());
}

// ---- Self-removal -----------------------------------------------------------

class SelfRemoval : public FakeTest {
  protected:
    void SetUp() override {
        FakeTest::SetUp();
        fake().executablePath = trashed;
        fake().registeredAgents.insert("org.vell.app.dealer.plist");
    }
    VellDealer dealer{appPath};
};

TEST_F(SelfRemoval, WithNothingOwnedGoesStraightToUnregistering) {
    VellDealerTesting::reconcile(dealer);
    EXPECT_EQ(summarizePass(fake().calls),
              (Calls{"get vellWanted", "get vellOwnsOverride", "synchronize",
                     "unregister org.vell.app.dealer.plist", "exit 0"}));
    EXPECT_TRUE(fake().registeredAgents.empty());
}

TEST_F(SelfRemoval, TurnsAnOwnedOverrideOffEvenWhenItAlreadyReadsOff) {
    setFlags(false, true);
    fake().sleepDisabled = false;
    VellDealerTesting::reconcile(dealer);
    EXPECT_EQ(summarizePass(fake().calls),
              (Calls{"get vellWanted", "get vellOwnsOverride", "set vellWanted=false",
                     "setSleepDisabled(false)", "set vellOwnsOverride=false", "synchronize",
                     "unregister org.vell.app.dealer.plist", "exit 0"}));
}

TEST_F(SelfRemoval, AWishAloneIsEnoughToTurnOffAndOwnershipIsNotRead) {
    setFlags(true, false);
    fake().sleepDisabled = true;
    VellDealerTesting::reconcile(dealer);
    EXPECT_EQ(summarizePass(fake().calls),
              (Calls{"get vellWanted", "set vellWanted=false", "setSleepDisabled(false)",
                     "set vellOwnsOverride=false", "synchronize",
                     "unregister org.vell.app.dealer.plist", "exit 0"}));
    EXPECT_EQ(fake().sleepDisabled, false);
}

TEST_F(SelfRemoval, AFailedTurnOffOfAnUnownedWishUnregistersOnTheNextPass) {
    setFlags(true, false);
    fake().sleepDisabled = true;
    fake().pmsetOutcomes = {failing};
    VellDealerTesting::reconcile(dealer);
    EXPECT_TRUE(fake().exits.empty());
    EXPECT_EQ(fake().shared().at("vellWanted"), PropertyListValue(false));
    EXPECT_EQ(fake().registeredAgents.size(), 1u);

    fake().calls.clear();
    VellDealerTesting::reconcile(dealer);
    EXPECT_TRUE(callsStartingWith({"run"}).empty());
    EXPECT_EQ(fake().exits, std::vector<int>{0});
}

TEST_F(SelfRemoval, AnOwnedOverrideKeepsTheAgentUntilTheTurnOffSucceeds) {
    setFlags(false, true);
    fake().sleepDisabled = true;
    fake().pmsetOutcomes = {failing, failing, failing};
    for (int pass = 0; pass < 3; ++pass) {
        VellDealerTesting::reconcile(dealer);
    }
    EXPECT_EQ(callsStartingWith({"run /usr/bin/sudo"}).size(), 3u);
    EXPECT_TRUE(fake().exits.empty());
    EXPECT_EQ(fake().registeredAgents.size(), 1u);

    VellDealerTesting::reconcile(dealer);
    EXPECT_EQ(fake().sleepDisabled, false);
    EXPECT_EQ(fake().exits, std::vector<int>{0});
}

TEST_F(SelfRemoval, AFailedUnregistrationFallsBackToLaunchctlAndStillExitsZero) {
    fake().unregistrationFails = true;
    fake().uid = 502;
    VellDealerTesting::reconcile(dealer);
    EXPECT_EQ(callsStartingWith({"run", "exit"}),
              (Calls{"run /bin/launchctl bootout gui/502/org.vell.app.dealer", "exit 0"}));
    EXPECT_EQ(fake().environments.back(), std::nullopt);
}

TEST_F(SelfRemoval, NeverTouchesTheCutoffReason) {
    setFlags(true, true);
    fake().thermalState = ThermalState::critical;
    VellDealerTesting::reconcile(dealer);
    EXPECT_TRUE(callsStartingWith({"set cutoffReason", "remove cutoffReason"}).empty());
}

// ---- The process ------------------------------------------------------------

TEST(ExecutablePath, TheBundleLiesThreeComponentsUp) {
    EXPECT_EQ(appBundlePath("/Applications/Example.app/Contents/Tools/agent"),
              "/Applications/Example.app");
    EXPECT_EQ(appBundlePath("/a/b"), "/");
    EXPECT_EQ(deletingLastPathComponent("/a/b/"), "/a");
    EXPECT_EQ(appendingPathComponent("/a/", "Contents/Info.plist"), "/a/Contents/Info.plist");
}

using ProcessTest = FakeTest;

TEST_F(ProcessTest, InitFindsTheBundleFromTheExecutableOrHasNone) {
    fake().executablePath = "/Applications/Example.app/Contents/Tools/agent";
    EXPECT_EQ(VellDealerTesting::launchAppPath(VellDealer()), "/Applications/Example.app");
    fake().executablePath = std::nullopt;
    EXPECT_EQ(VellDealerTesting::launchAppPath(VellDealer()), std::nullopt);
    // Bytes that are not UTF-8 are replaced, not dropped.
    fake().executablePath = "/Apps/\xFF.app/Contents/MacOS/VellDealer";
    EXPECT_EQ(VellDealerTesting::launchAppPath(VellDealer()), "/Apps/\xEF\xBF\xBD.app");
}

TEST_F(ProcessTest, RunPassesOnceThenInstallsTheSourcesInOrder) {
    installApp();
    VellDealer dealer(appPath);
    dealer.run();
    const Calls order = callsStartingWith({"get vellWanted", "createPowerSource", "addSource",
                                           "observeThermal", "scheduleTimer", "runLoop"});
    EXPECT_EQ(order, (Calls{"get vellWanted", "createPowerSource", "addSource", "observeThermal",
                            "scheduleTimer", "runLoop"}));
    EXPECT_EQ(fake().timerInterval, 15.0);
    EXPECT_TRUE(VellDealerTesting::hasPowerSource(dealer));
}

TEST_F(ProcessTest, EachEventIsExactlyOnePassOnTheMainThread) {
    installApp();
    VellDealer dealer(appPath);
    dealer.run();
    auto passes = [] { return callsStartingWith({"get vellWanted"}).size(); };
    ASSERT_EQ(passes(), 1u);

    fake().powerSourceCallback();
    fake().powerSourceCallback();
    fake().timerTick();
    EXPECT_EQ(passes(), 4u);

    // A thermal change posted on another thread only queues a pass.
    std::thread poster(fake().thermalHandler);
    poster.join();
    EXPECT_EQ(passes(), 4u);
    ASSERT_EQ(fake().mainQueue.size(), 1u);
    fake().runMainQueue();
    EXPECT_EQ(passes(), 5u);
}

TEST_F(ProcessTest, WithoutAPowerSourceTheTimerStillRuns) {
    fake().powerSourceAvailable = false;
    installApp();
    VellDealer dealer(appPath);
    dealer.run();
    EXPECT_FALSE(VellDealerTesting::hasPowerSource(dealer));
    EXPECT_TRUE(callsStartingWith({"addSource"}).empty());
    ASSERT_TRUE(fake().timerTick);
}

}  // namespace
