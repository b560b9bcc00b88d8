// The cost of what the agent does over and over, on the Linux stand-in in a
// simulated Mac: a steady pass, a settings read against suites of growing
// size, and starting a program.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "VellShared/PowerTool.hpp"
#include "VellShared/Preferences.hpp"
#include "tests/support/SimulatedMac.hpp"
#include "tests/unit/VellDealerTesting.hpp"

namespace {

const std::string appPath = "/Applications/Vell.app";

// Files the stand-in caches are served from the cache only once their last
// change is a few seconds old: date every file under `folder` back.
void letFilesSettle(const std::string& folder) {
    const timespec longAgo[2] = {{0, UTIME_OMIT}, {1'000'000'000, 0}};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        ::utimensat(AT_FDCWD, entry.path().c_str(), longAgo, AT_SYMLINK_NOFOLLOW);
    }
}

// Owned, wanted, override already on, no cutoff: the pass every timer tick
// of a normal night runs.
void BM_SteadyPass(benchmark::State& state) {
    SimulatedMac mac;
    ScopedEnvironment root("VELL_SYSTEM_ROOT", mac.root());
    ScopedEnvironment home("HOME", mac.home());
    writeFile(mac.at(appPath + "/Contents/Info.plist"),
              "<plist><dict><key>CFBundleIdentifier</key><string>org.vell.app</string></dict>"
              "</plist>");
    VellPreferences::setWanted(true);
    VellPreferences::setOwnsOverride(true);
    mac.setSleepDisabledReading("<true/>");
    letFilesSettle(mac.root());

    VellDealer dealer(appPath);
    for (auto _ : state) {
        VellDealerTesting::reconcile(dealer);
    }
    if (PowerTool::sleepDisabled() != true || !VellPreferences::wanted()) {
        state.SkipWithError("the pass did not stay steady");
    }
}
BENCHMARK(BM_SteadyPass)->Unit(benchmark::kMicrosecond);

// One settings read with the suite holding `range(0)` other keys.
void BM_SettingsRead(benchmark::State& state) {
    TempDir home;
    ScopedEnvironment homeVariable("HOME", home.path());
    std::string body;
    for (int i = 0; i < state.range(0); ++i) {
        body += "<key>companion.key." + std::to_string(i) + "</key><string>value " +
                std::to_string(i) + "</string>";
    }
    writeFile(home.path() + "/Library/Preferences/org.vell.app.shared.plist",
              "<plist><dict><key>lowBatteryCutoff</key><false/>" + body + "</dict></plist>");
    letFilesSettle(home.path());
    for (auto _ : state) {
        benchmark::DoNotOptimize(VellPreferences::lowBatteryCutoff());
    }
}
BENCHMARK(BM_SettingsRead)->Arg(1)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_RunProgram(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(PowerTool::run("/bin/true", {}));
    }
}
BENCHMARK(BM_RunProgram)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
