#include "VellDealer/VellDealer.hpp"

#include <algorithm>
#include <cmath>
#include <thread>

#include "VellDealer/ExecutablePath.hpp"
#include "VellShared/Preferences.hpp"
#include "tests/unit/FakeTest.hpp"
#include "tests/unit/VellDealerTesting.hpp"

namespace {

using AgentTest = FakeTest;

using Calls = std::vector<std::string>;

const std::string appPath = "/Applications/Vell.app";
const std::string agentPath = appPath + "/Contents/MacOS/VellDealer";
const std::string trashed = "/Users/ann/.Trash/Vell.app/Contents/MacOS/VellDealer";
const std::string lowerCaseTrash = "/Users/ann/.trash/Vell.app/Contents/MacOS/VellDealer";
const FakePmsetOutcome failing{1, "sudo: a password is required", false};

PropertyListDictionary& info(const std::string& app) {
    return fake().dictionaryFiles[app + "/Contents/Info.plist"];
}

void installApp() {
    info(appPath) = {{"CFBundleIdentifier", appBundleIdentifier}};
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

enum Place { installed, inTrash, stopped };  // stopped: installed, and stopped from outside
enum Cutoff { safe, hot, lowBattery };
enum Twist { none, pmsetFails, withdrawnDuringTurnOn, undoFails, unregistrationRefused };
const std::optional<bool> unreadable;

const std::string tooHot = "set cutoffReason=\"Vell turned off: Mac is too hot\"";
const std::string batteryLow = "set cutoffReason=\"Vell turned off: battery at 9%\"";
const std::string unwish = "set vellWanted=false";
const std::string disown = "set vellOwnsOverride=false";
const std::string keepOwning = "set vellOwnsOverride=true";
const std::string unregister = "unregister org.vell.app.dealer.plist";
const std::string bootout = "run /bin/launchctl bootout gui/502/org.vell.app.dealer";

// clang-format off
const struct { const char* name; Place place; bool owned, wanted; Cutoff cutoff; std::optional<bool> override; Twist twist; Calls expected; } passRows[] = {
    {"not owned, wanted, too hot, on",               installed, false, true,  hot,        true,       none,                  {}},
    {"not owned, not wanted, on",                    installed, false, false, safe,       true,       none,                  {}},
    {"owned, wanted, unreadable",                    installed, true,  true,  safe,       unreadable, none,                  {"reason", "read"}},
    {"owned, wanted, already on",                    installed, true,  true,  safe,       true,       none,                  {"reason", "read"}},
    {"owned, wanted, off",                           installed, true,  true,  safe,       false,      none,                  {"reason", "read", "on"}},
    {"owned, wanted, off, turn-on fails",            installed, true,  true,  safe,       false,      pmsetFails,            {"reason", "read", "on"}},
    {"owned, wanted, withdrawn during turn-on",      installed, true,  true,  safe,       false,      withdrawnDuringTurnOn, {"reason", "read", "on", "off"}},
    {"owned, withdrawn during turn-on, undo fails",  installed, true,  true,  safe,       false,      undoFails,             {"reason", "read", "on", "off", keepOwning}},
    {"owned, wanted, too hot, unreadable",           installed, true,  true,  hot,        unreadable, none,                  {"reason", tooHot, unwish, "read"}},
    {"owned, wanted, too hot, on, turn-off fails",   installed, true,  true,  hot,        true,       pmsetFails,            {"reason", tooHot, unwish, "read", "off"}},
    {"owned, wanted, too hot, on",                   installed, true,  true,  hot,        true,       none,                  {"reason", tooHot, unwish, "read", "off", disown}},
    {"owned, wanted, battery low, on",               installed, true,  true,  lowBattery, true,       none,                  {"reason", batteryLow, unwish, "read", "off", disown}},
    {"owned, wanted, too hot, off",                  installed, true,  true,  hot,        false,      none,                  {"reason", tooHot, unwish, "read", disown}},
    {"owned, not wanted, unreadable",                installed, true,  false, safe,       unreadable, none,                  {"read"}},
    {"owned, not wanted, on, turn-off fails",        installed, true,  false, safe,       true,       pmsetFails,            {"read", "off"}},
    {"owned, not wanted, on",                        installed, true,  false, safe,       true,       none,                  {"read", "off", disown}},
    {"owned, not wanted, off",                       installed, true,  false, safe,       false,      none,                  {"read", disown}},
    {"trashed, nothing owned or wanted",             inTrash,   false, false, safe,       true,       none,                  {"synchronize", unregister, "exit 0"}},
    {"trashed, owned, already off",                  inTrash,   true,  false, safe,       false,      none,                  {unwish, "off", disown, "synchronize", unregister, "exit 0"}},
    {"trashed, wanted, not owned, on",               inTrash,   false, true,  safe,       true,       none,                  {unwish, "off", disown, "synchronize", unregister, "exit 0"}},
    {"trashed, wanted, not owned, turn-off fails",   inTrash,   false, true,  safe,       true,       pmsetFails,            {unwish, "off"}},
    {"trashed, owned, on, turn-off fails",           inTrash,   true,  false, safe,       true,       pmsetFails,            {unwish, "off"}},
    {"trashed, owned, wanted, too hot, on",          inTrash,   true,  true,  hot,        true,       none,                  {unwish, "off", disown, "synchronize", unregister, "exit 0"}},
    {"trashed, unregistration refused",              inTrash,   false, false, safe,       false,      unregistrationRefused, {"synchronize", unregister, bootout, "exit 0"}},
    {"stopped, owned, on",                           stopped,   true,  true,  safe,       true,       none,                  {"read", "off", "synchronize", "exit 0"}},
    {"stopped, owned, on, turn-off fails",           stopped,   true,  true,  safe,       true,       pmsetFails,            {"read", "off", "synchronize", "exit 0"}},
    {"stopped, owned, already off",                  stopped,   true,  true,  safe,       false,      none,                  {"read", "synchronize", "exit 0"}},
    {"stopped, owned, unreadable",                   stopped,   true,  true,  safe,       unreadable, none,                  {"read", "synchronize", "exit 0"}},
    {"stopped, not owned, on",                       stopped,   false, true,  safe,       true,       none,                  {"synchronize", "exit 0"}},
};
// clang-format on

TEST_F(AgentTest, APassCallsWhatItsSituationCallsFor) {
    forEachRow(passRows, [](const auto& r) {
        if (r.place == inTrash) {
            fake().executablePath = trashed;
        } else {
            installApp();
        }
        fake().shared() = {{"vellWanted", r.wanted}, {"vellOwnsOverride", r.owned}};
        fake().sleepDisabled = r.override;
        fake().thermalState =
            r.cutoff == hot ? platform::ThermalState::critical : platform::ThermalState::nominal;
        if (r.cutoff == lowBattery) {
            fake().powerSources = {{internalBattery(9, 100)}};
        }
        if (r.twist == pmsetFails || r.twist == undoFails) {
            fake().pmsetOutcomes = {r.twist == undoFails ? FakePmsetOutcome{} : failing, failing};
        }
        if (r.twist == withdrawnDuringTurnOn || r.twist == undoFails) {
            fake().whileProgramRuns = [](const std::vector<std::string>& args) {
                if (args.back() == "1") {
                    fake().shared()["vellWanted"] = false;
                }
            };
        }
        fake().unregistrationFails = r.twist == unregistrationRefused;
        fake().uid = 502;
        VellDealer dealer(appPath);
        // A stop keeps the wish and the ownership for the next start: it writes no setting.
        r.place == stopped ? VellDealerTesting::stop(dealer) : dealer.poll();
        EXPECT_EQ(passSummary(), r.expected);
    });
}

const double now = 800000000.0;  // the fake's calendar clock
const PropertyListDictionary liveRun = {{"pid", 4242}, {"started", 77}};
const PropertyListDictionary deadRun = {{"pid", 999}, {"started", 5}};
const PropertyListDictionary reusedPid = {{"pid", 4242}, {"started", 12}};
const std::string endless = "remove vellWantedUntil";
const std::string forRuns = "set vellWantedForHolds=true";

// clang-format off
// Owned, wanted and on, but for the deadline and holds in the suite.
const struct { const char* name; std::optional<PropertyListValue> until, holds; bool forHolds; Calls expected; std::optional<double> timer; std::size_t holdsLeft; bool disowned = false; } settleRows[] = {
    {"deadline ahead: the timer is set for it",   PropertyListDate{now + 60}, {},                                    false, {"reason", "read"},                                                    now + 60, 0},
    {"deadline now: withdrawn as by off",         PropertyListDate{now},      {},                                    false, {"lock", unwish, endless, "unlock", "read", "off", disown},           {}, 0},
    {"deadline passed while stopped",             PropertyListDate{now - 1e6}, {},                                   false, {"lock", unwish, endless, "unlock", "read", "off", disown},           {}, 0},
    {"deadline not a date: none",                 "2026-12-07",               {},                                    false, {"reason", "read"},                                                    {}, 0},
    {"deadline no moment (NaN): none",            PropertyListDate{std::nan("")}, {},                                false, {"reason", "read"},                                                    {}, 0},
    {"deadline now, a run holds: it keeps it",    PropertyListDate{now},      PropertyListArray{liveRun},            false, {"lock", forRuns, endless, "unlock", "reason", "read"},               {}, 1},
    {"a live run: nothing written",               {},                         PropertyListArray{liveRun},            true,  {"lock", "unlock", "reason", "read"},                                 {}, 1},
    {"a live run, disowned by a turn-off begun before it: owned again", {}, PropertyListArray{liveRun},         true,  {"lock", "set vellOwnsOverride=true", "unlock", "reason", "read"},    {}, 1, true},
    {"the only run died: its wish goes",          {},                         PropertyListArray{deadRun},            true,  {"lock", "remove vellHolds", unwish, "remove vellWantedForHolds", "unlock", "read", "off", disown}, {}, 0},
    {"deadline now, the only run died: both go",  PropertyListDate{now},      PropertyListArray{deadRun},            true,  {"lock", "remove vellHolds", unwish, "remove vellWantedForHolds", unwish, endless, "unlock", "read", "off", disown}, {}, 0},
    {"a dead run, the wish the user's: stays",    {},                         PropertyListArray{deadRun},            false, {"lock", "remove vellHolds", "unlock", "reason", "read"},             {}, 0},
    {"a run's id reused: dropped",                {},                         PropertyListArray{reusedPid},          true,  {"lock", "remove vellHolds", unwish, "remove vellWantedForHolds", "unlock", "read", "off", disown}, {}, 0},
    {"one of two runs died: the other holds",     {},                         PropertyListArray{deadRun, liveRun},   true,  {"lock", "set vellHolds=<object>", "unlock", "reason", "read"},       {}, 1},
    {"the wish the runs', none recorded: it goes", {},                        {},                                    true,  {"lock", unwish, "remove vellWantedForHolds", "unlock", "read", "off", disown}, {}, 0},
    {"holds not a list: dropped",                 {},                         "4242",                                true,  {"lock", "remove vellHolds", unwish, "remove vellWantedForHolds", "unlock", "read", "off", disown}, {}, 0},
};
// clang-format on

TEST_F(AgentTest, APassEndsATimedWishOnTimeAndDropsTheHoldsOfRunsThatAreGone) {
    forEachRow(settleRows, [](const auto& r) {
        installApp();
        const auto arrange = [&r] {
            fake().shared() = {{"vellWanted", true}, {"vellOwnsOverride", !r.disowned}};
            for (const auto& [key, value] :
                 {std::pair{"vellWantedUntil", r.until}, {"vellHolds", r.holds}}) {
                if (value) {
                    fake().shared()[key] = *value;
                }
            }
            if (r.forHolds) {
                fake().shared()["vellWantedForHolds"] = true;
            }
            fake().sleepDisabled = true;
        };
        arrange();
        VellDealer dealer(appPath);
        dealer.run();  // its first pass comes before the timer: a later one must set it
        arrange();
        fake().calls.clear();
        dealer.poll();
        EXPECT_EQ(passSummary(), r.expected);
        EXPECT_EQ(fake().deadlineSetFor, r.timer);
        const auto holds = VellPreferences::store()->objectForKey("vellHolds");
        const auto* runs = holds ? holds->as<PropertyListArray>() : nullptr;
        EXPECT_EQ(runs ? runs->size() : 0u, r.holdsLeft);
    });
}

TEST_F(AgentTest, TheDeadlineTimerFiresAPassThatEndsTheWish) {
    installApp();
    fake().shared() = {{"vellWanted", true},
                       {"vellOwnsOverride", true},
                       {"vellWantedUntil", PropertyListDate{now + 30}}};
    VellDealer dealer(appPath);
    dealer.run();
    ASSERT_EQ(fake().deadlineSetFor, now + 30);
    fake().calendarNow = now + 30;
    fake().deadlineFire();
    EXPECT_FALSE(VellPreferences::wanted());
    EXPECT_EQ(fake().deadlineSetFor, std::nullopt);
    EXPECT_FALSE(VellPreferences::cutoffReason());
}

const std::string trashedOnVolume = "/Volumes/Data/.Trashes/501/Vell.app/Contents/MacOS/VellDealer";
const std::string gone = "/Applications/Old.app/Contents/MacOS/VellDealer";

// clang-format off
// ownPath: the agent's own path, which exists unless gone.
const struct { const char* name; bool installed; std::optional<std::string> ownPath; std::int64_t missesBefore, missesAfter; bool removes; } watchRows[] = {
    {"installed after a miss, count starts again",  true,  std::nullopt,    1, 0, false},
    {"own path unknown, first miss",                false, std::nullopt,    0, 1, false},
    {"own path unknown, second miss removes",       false, std::nullopt,    1, 2, true},
    {"in the Trash, removes at once",               false, trashed,         0, 0, true},
    {"in a volume's Trashes, removes at once",      false, trashedOnVolume, 1, 1, true},
    {"in a lower-case .trash folder, not a Trash",  false, lowerCaseTrash,  1, 0, false},
    {"executable still there, count starts again",  false, agentPath,       1, 0, false},
    {"executable gone, first miss",                 false, gone,            0, 1, false},
    {"executable gone, second miss removes",        false, gone,            1, 2, true},
};
// clang-format on

TEST_F(AgentTest, AMissedAppIsCountedAndRemovalDecided) {
    forEachRow(watchRows, [](const auto& r) {
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
    });
}

TEST_F(AgentTest, InstalledMeansTheRightIdentifierAsAStringOutsideATrash) {
    info("/x/.Trash/Vell.app") = info("/D.app") = {{"CFBundleIdentifier", "org.vell.app"}};
    info("/A.app") = {{"CFBundleName", "Vell"}};
    info("/B.app") = {{"CFBundleIdentifier", 7}};
    info("/C.app") = {{"CFBundleIdentifier", "org.vell.app.other"}};
    const VellDealer dealer(appPath);
    for (const auto* path :
         {"", "/x/.Trash/Vell.app", "/A.app", "/B.app", "/C.app", "/Missing.app"}) {
        EXPECT_FALSE(VellDealerTesting::appIsInstalled(dealer, path)) << path;
    }
    EXPECT_FALSE(VellDealerTesting::appIsInstalled(dealer, std::nullopt));
    EXPECT_TRUE(VellDealerTesting::appIsInstalled(dealer, "/D.app"));
    EXPECT_TRUE(VellDealerTesting::appIsInstalled(dealer, "/D.app/"));
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
    EXPECT_EQ(appBundlePath("/a/b") + appBundlePath("/x/a/b//c") + appBundlePath("//"), "//x/");
    EXPECT_EQ(deletingLastPathComponent("a/") + deletingLastPathComponent(""), "");
}

TEST_F(ProcessTest, RunPassesOnceInstallsTheSourcesAndEachEventIsOnePassOnTheMainThread) {
    installApp();
    VellDealer dealer(appPath);
    dealer.run();
    const auto passes = [] {
        return static_cast<int>(std::ranges::count(fake().calls, "get vellWanted"));
    };
    // The termination signals are taken before the first pass, which may take seconds.
    const auto firstPass = std::ranges::find(fake().calls, "get vellWanted");
    EXPECT_NE(std::find(fake().calls.begin(), firstPass, "observeTermination"), firstPass);
    const Calls setUp = {"observeTermination", "createPowerSource", "addSource",
                         "observeThermal",     "scheduleTimer",     "runLoop"};
    EXPECT_EQ(passes(), 1);
    EXPECT_EQ(callsStartingWith(setUp), setUp);
    EXPECT_EQ(fake().timerInterval, 15.0);
    fake().powerSourceCallback();
    fake().timerTick();
    EXPECT_EQ(passes(), 3);
    // A thermal change posted on another thread only queues a pass.
    std::thread(fake().thermalHandler).join();
    EXPECT_EQ(passes(), 3);
    ASSERT_EQ(fake().mainQueue.size(), 1u);
    fake().mainQueue.front()();
    EXPECT_EQ(passes(), 4);
}

TEST_F(ProcessTest, WithoutAPowerSourceTheTimerStillRuns) {
    fake().powerSourceAvailable = false;
    VellDealer(appPath).run();
    EXPECT_TRUE(callsStartingWith({"addSource"}).empty());
    EXPECT_TRUE(fake().timerTick);
}

}  // namespace
