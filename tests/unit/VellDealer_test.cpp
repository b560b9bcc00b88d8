#include "VellDealer/VellDealer.hpp"

#include <regex>
#include <thread>

#include "VellDealer/ExecutablePath.hpp"
#include "tests/unit/FakeTest.hpp"
#include "tests/unit/VellDealerTesting.hpp"

namespace {

using Calls = std::vector<std::string>;

const std::string appPath = "/Applications/Vell.app";
const std::string agentPath = appPath + "/Contents/MacOS/VellDealer";
const std::string trashed = "/Users/ann/.Trash/Vell.app/Contents/MacOS/VellDealer";
const std::string lowerCaseTrash = "/Users/ann/.trash/Vell.app/Contents/MacOS/VellDealer";
const FakePmsetOutcome failing{1, "sudo: a password is required", false};

void installApp() {
    fake().dictionaryFiles[appPath + "/Contents/Info.plist"] = {
        {"CFBundleIdentifier", appBundleIdentifier}};
}

// "owned, wanted, already on" -> "owned_wanted_already_on"
template <typename Row>
std::string testName(const ::testing::TestParamInfo<Row>& info) {
    return std::regex_replace(info.param.name, std::regex("[^A-Za-z0-9]+"), "_");
}

// A pass's calls in the agent's words: "reason", "on", "off" fold the calls
// behind them, a lone registry read is "read", settings reads are left out.
Calls passSummary() {
    const Calls& calls = fake().calls;
    Calls summary;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i] == "powerSources") {
            summary.push_back("reason");
            i += 2;  // the thermal state and the low-battery setting
        } else if (calls[i].starts_with("run /usr/bin/sudo")) {
            summary.push_back(calls[i].back() == '1' ? "on" : "off");
            while (i + 1 < calls.size() && calls[i + 1] == "registry") {
                ++i;  // confirmation reads
            }
        } else if (calls[i] == "registry") {
            summary.push_back("read");
        } else if (!calls[i].starts_with("get ")) {
            summary.push_back(calls[i]);
        }
    }
    return summary;
}

enum Place { installed, inTrash };
enum Cutoff { safe, hot, lowBattery };
enum Twist { none, pmsetFails, withdrawnDuringTurnOn, undoFails, unregistrationRefused };
const std::optional<bool> unreadable;

struct PassRow {
    const char* name;
    Place place;
    bool owned, wanted;
    Cutoff cutoff;
    std::optional<bool> override;
    Twist twist;
    Calls expected;
};

class Pass : public FakeTest, public ::testing::WithParamInterface<PassRow> {};

TEST_P(Pass, CallsWhatItsSituationCallsFor) {
    const PassRow& r = GetParam();
    if (r.place == installed) {
        installApp();
    } else {
        fake().executablePath = trashed;
    }
    fake().shared() = {{"vellWanted", r.wanted}, {"vellOwnsOverride", r.owned}};
    fake().sleepDisabled = r.override;
    fake().thermalState =
        r.cutoff == hot ? platform::ThermalState::critical : platform::ThermalState::nominal;
    if (r.cutoff == lowBattery) {
        fake().powerSources = {{{{"Type", "InternalBattery"},
                                 {"Current Capacity", 9},
                                 {"Max Capacity", 100},
                                 {"Power Source State", "Battery Power"}}}};
    }
    if (r.twist == pmsetFails || r.twist == undoFails) {
        fake().pmsetOutcomes = {r.twist == undoFails ? FakePmsetOutcome{} : failing, failing};
    }
    if (r.twist == withdrawnDuringTurnOn || r.twist == undoFails) {
        fake().whileProgramRuns = [](const std::string&, const std::vector<std::string>& args) {
            if (args.back() == "1") {
                fake().shared()["vellWanted"] = false;
            }
        };
    }
    fake().unregistrationFails = r.twist == unregistrationRefused;
    fake().uid = 502;
    VellDealer(appPath).poll();
    EXPECT_EQ(passSummary(), r.expected);
}

const std::string tooHot = "set cutoffReason=\"Vell turned off: Mac is too hot\"";
const std::string batteryLow = "set cutoffReason=\"Vell turned off: battery at 9%\"";
const std::string unwish = "set vellWanted=false";
const std::string disown = "set vellOwnsOverride=false";
const std::string keepOwning = "set vellOwnsOverride=true";
const std::string unregister = "unregister org.vell.app.dealer.plist";
const std::string bootout = "run /bin/launchctl bootout gui/502/org.vell.app.dealer";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Situations, Pass, ::testing::Values(
    // name                                                 place      owned  wanted cutoff      override    twist                  expected calls
    PassRow{"not owned, wanted, too hot, on",               installed, false, true,  hot,        true,       none,                  {}},
    PassRow{"not owned, not wanted, on",                    installed, false, false, safe,       true,       none,                  {}},
    PassRow{"owned, wanted, unreadable",                    installed, true,  true,  safe,       unreadable, none,                  {"reason", "read"}},
    PassRow{"owned, wanted, already on",                    installed, true,  true,  safe,       true,       none,                  {"reason", "read"}},
    PassRow{"owned, wanted, off",                           installed, true,  true,  safe,       false,      none,                  {"reason", "read", "on"}},
    PassRow{"owned, wanted, off, turn-on fails",            installed, true,  true,  safe,       false,      pmsetFails,            {"reason", "read", "on"}},
    PassRow{"owned, wanted, withdrawn during turn-on",      installed, true,  true,  safe,       false,      withdrawnDuringTurnOn, {"reason", "read", "on", "off"}},
    PassRow{"owned, withdrawn during turn-on, undo fails",  installed, true,  true,  safe,       false,      undoFails,             {"reason", "read", "on", "off", keepOwning}},
    PassRow{"owned, wanted, too hot, unreadable",           installed, true,  true,  hot,        unreadable, none,                  {"reason", tooHot, unwish, "read"}},
    PassRow{"owned, wanted, too hot, on, turn-off fails",   installed, true,  true,  hot,        true,       pmsetFails,            {"reason", tooHot, unwish, "read", "off"}},
    PassRow{"owned, wanted, too hot, on",                   installed, true,  true,  hot,        true,       none,                  {"reason", tooHot, unwish, "read", "off", disown}},
    PassRow{"owned, wanted, battery low, on",               installed, true,  true,  lowBattery, true,       none,                  {"reason", batteryLow, unwish, "read", "off", disown}},
    PassRow{"owned, wanted, too hot, off",                  installed, true,  true,  hot,        false,      none,                  {"reason", tooHot, unwish, "read", disown}},
    PassRow{"owned, not wanted, unreadable",                installed, true,  false, safe,       unreadable, none,                  {"read"}},
    PassRow{"owned, not wanted, on, turn-off fails",        installed, true,  false, safe,       true,       pmsetFails,            {"read", "off"}},
    PassRow{"owned, not wanted, on",                        installed, true,  false, safe,       true,       none,                  {"read", "off", disown}},
    PassRow{"owned, not wanted, off",                       installed, true,  false, safe,       false,      none,                  {"read", disown}},
    PassRow{"trashed, nothing owned or wanted",             inTrash,   false, false, safe,       true,       none,                  {"synchronize", unregister, "exit 0"}},
    PassRow{"trashed, owned, already off",                  inTrash,   true,  false, safe,       false,      none,                  {unwish, "off", disown, "synchronize", unregister, "exit 0"}},
    PassRow{"trashed, wanted, not owned, on",               inTrash,   false, true,  safe,       true,       none,                  {unwish, "off", disown, "synchronize", unregister, "exit 0"}},
    PassRow{"trashed, wanted, not owned, turn-off fails",   inTrash,   false, true,  safe,       true,       pmsetFails,            {unwish, "off"}},
    PassRow{"trashed, owned, on, turn-off fails",           inTrash,   true,  false, safe,       true,       pmsetFails,            {unwish, "off"}},
    PassRow{"trashed, owned, wanted, too hot, on",          inTrash,   true,  true,  hot,        true,       none,                  {unwish, "off", disown, "synchronize", unregister, "exit 0"}},
    PassRow{"trashed, unregistration refused",              inTrash,   false, false, safe,       false,      unregistrationRefused, {"synchronize", unregister, bootout, "exit 0"}}),
    testName<PassRow>);
// clang-format on

struct WatchRow {
    const char* name;
    bool installed;
    std::optional<std::string> ownPath;  // the agent's own path, which exists unless gone
    std::int64_t missesBefore, missesAfter;
    bool removes;
};

class Watch : public FakeTest, public ::testing::WithParamInterface<WatchRow> {};

TEST_P(Watch, CountsMissesAndDecides) {
    const WatchRow& r = GetParam();
    if (r.installed) {
        installApp();
    }
    fake().executablePath = r.ownPath;
    fake().existingPaths = {trashed, lowerCaseTrash, agentPath};
    VellDealer dealer(appPath);
    VellDealerTesting::missingChecks(dealer) = r.missesBefore;
    dealer.poll();
    EXPECT_EQ(VellDealerTesting::missingChecks(dealer), r.missesAfter);
    EXPECT_EQ(!callsStartingWith({"synchronize"}).empty(), r.removes);
}

const std::string trashedOnVolume = "/Volumes/Data/.Trashes/501/Vell.app/Contents/MacOS/VellDealer";
const std::string gone = "/Applications/Old.app/Contents/MacOS/VellDealer";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Situations, Watch, ::testing::Values(
    WatchRow{"installed after a miss, count starts again",  true,  std::nullopt,    1, 0, false},
    WatchRow{"own path unknown, first miss",                false, std::nullopt,    0, 1, false},
    WatchRow{"own path unknown, second miss removes",       false, std::nullopt,    1, 2, true},
    WatchRow{"in the Trash, removes at once",               false, trashed,         0, 0, true},
    WatchRow{"in a volume's Trashes, removes at once",      false, trashedOnVolume, 1, 1, true},
    WatchRow{"in a lower-case .trash folder, not a Trash",  false, lowerCaseTrash,  1, 0, false},
    WatchRow{"executable still there, count starts again",  false, agentPath,       1, 0, false},
    WatchRow{"executable gone, first miss",                 false, gone,            0, 1, false},
    WatchRow{"executable gone, second miss removes",        false, gone,            1, 2, true}),
    testName<WatchRow>);
// clang-format on

using WatchTest = FakeTest;

TEST_F(WatchTest, InstalledMeansTheRightIdentifierAsAStringOutsideATrash) {
    const VellDealer dealer(appPath);
    const auto installed = [&](const std::optional<std::string>& path) {
        return VellDealerTesting::appIsInstalled(dealer, path);
    };
    const std::string plist = "/Contents/Info.plist";
    fake().dictionaryFiles["/x/.Trash/Vell.app" + plist] = {{"CFBundleIdentifier", "org.vell.app"}};
    fake().dictionaryFiles["/A.app" + plist] = {{"CFBundleName", "Vell"}};
    fake().dictionaryFiles["/B.app" + plist] = {{"CFBundleIdentifier", 7}};
    fake().dictionaryFiles["/C.app" + plist] = {{"CFBundleIdentifier", "org.vell.app.other"}};
    fake().dictionaryFiles["/D.app" + plist] = {{"CFBundleIdentifier", "org.vell.app"}};
    for (const auto* path :
         {"", "/x/.Trash/Vell.app", "/A.app", "/B.app", "/C.app", "/Missing.app"}) {
        EXPECT_FALSE(installed(path)) << path;
    }
    EXPECT_FALSE(installed(std::nullopt));
    EXPECT_TRUE(installed("/D.app"));
    EXPECT_TRUE(installed("/D.app/"));
}

using ProcessTest = FakeTest;

TEST_F(ProcessTest, InitFindsTheBundleFromTheExecutableOrHasNone) {
    fake().executablePath = "/Applications/Example.app/Contents/Tools/agent";
    EXPECT_EQ(VellDealerTesting::launchAppPath(), "/Applications/Example.app");
    fake().executablePath = std::nullopt;
    EXPECT_EQ(VellDealerTesting::launchAppPath(), std::nullopt);
    // Bytes that are not UTF-8 are replaced, not dropped.
    fake().executablePath = "/Apps/\xFF.app/Contents/MacOS/VellDealer";
    EXPECT_EQ(VellDealerTesting::launchAppPath(), "/Apps/\xEF\xBF\xBD.app");
    EXPECT_EQ(appBundlePath("/a/b"), "/");
    EXPECT_EQ(deletingLastPathComponent("/a/b/"), "/a");
}

TEST_F(ProcessTest, RunPassesOnceInstallsTheSourcesAndEachEventIsOnePassOnTheMainThread) {
    installApp();
    VellDealer dealer(appPath);
    dealer.run();
    const auto passes = [] { return callsStartingWith({"get vellWanted"}).size(); };
    EXPECT_EQ(callsStartingWith({"get vellWanted", "createPowerSource", "addSource",
                                 "observeThermal", "scheduleTimer", "runLoop"}),
              (Calls{"get vellWanted", "createPowerSource", "addSource", "observeThermal",
                     "scheduleTimer", "runLoop"}));
    EXPECT_EQ(fake().timerInterval, 15.0);
    fake().powerSourceCallback();
    fake().timerTick();
    EXPECT_EQ(passes(), 3u);
    // A thermal change posted on another thread only queues a pass.
    std::thread(fake().thermalHandler).join();
    EXPECT_EQ(passes(), 3u);
    ASSERT_EQ(fake().mainQueue.size(), 1u);
    fake().mainQueue.front()();
    EXPECT_EQ(passes(), 4u);
}

TEST_F(ProcessTest, WithoutAPowerSourceTheTimerStillRuns) {
    fake().powerSourceAvailable = false;
    VellDealer(appPath).run();
    EXPECT_TRUE(callsStartingWith({"addSource"}).empty());
    EXPECT_TRUE(fake().timerTick);
}

}  // namespace
