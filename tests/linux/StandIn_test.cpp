// The simulated Mac's registry, power tool, files, own path and launchd.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "VellShared/PowerTool.hpp"
#include "platform/files.hpp"
#include "platform/launchd.hpp"
#include "platform/run_loop.hpp"
#include "tests/support/Eventually.hpp"
#include "tests/support/SimulatedMac.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class StandIn : public ::testing::Test {
  protected:
    SimulatedMac mac;
    ScopedEnvironment root{"VELL_SYSTEM_ROOT", mac.root()};
    ScopedEnvironment home{"HOME", mac.home()};
};

TEST_F(StandIn, TheRegistryReadsBooleansAndNumbersOnly) {
    const std::vector<std::pair<std::string, std::optional<bool>>> cases = {
        {"<true/>", true},
        {"<false/>", false},
        {"<integer>1</integer>", true},
        {"<integer>0</integer>", false},
        {"<real>0.0</real>", false},
        {"<string>1</string>", std::nullopt},
        {"<array/>", std::nullopt},
    };
    for (const auto& [stored, expected] : cases) {
        mac.setSleepDisabledReading(stored);
        EXPECT_EQ(PowerTool::sleepDisabled(), expected) << stored;
    }
}

TEST_F(StandIn, ARegistryWithoutTheEntryOrPropertyGivesNoReading) {
    writeFile(mac.at("/IORegistry/IOPMrootDomain.plist"),
              "<plist><dict><key>Other</key><true/></dict></plist>");
    EXPECT_EQ(PowerTool::sleepDisabled(), std::nullopt);
    writeFile(mac.at("/IORegistry/IOPMrootDomain.plist"), "<plist><array><true/></array></plist>");
    EXPECT_EQ(PowerTool::sleepDisabled(), std::nullopt);
    writeFile(mac.at("/IORegistry/IOPMrootDomain.plist"), "not a property list");
    EXPECT_EQ(PowerTool::sleepDisabled(), std::nullopt);
    fs::remove(mac.at("/IORegistry/IOPMrootDomain.plist"));
    EXPECT_EQ(PowerTool::sleepDisabled(), std::nullopt);
}

TEST_F(StandIn, ThePowerToolTurnsTheOverrideOnAndOffThroughSudoAndPmset) {
    EXPECT_EQ(PowerTool::setSleepDisabled(true), std::nullopt);
    EXPECT_EQ(PowerTool::sleepDisabled(), true);
    EXPECT_EQ(PowerTool::setSleepDisabled(false), std::nullopt);
    EXPECT_EQ(PowerTool::sleepDisabled(), false);
}

TEST_F(StandIn, AFailingPmsetGivesItsMessageUnlessTheOverrideIsAlreadyOff) {
    mac.setPmsetFailing(true);
    EXPECT_EQ(PowerTool::setSleepDisabled(true), "pmset: failed on purpose");
    EXPECT_EQ(PowerTool::setSleepDisabled(false), std::nullopt);
    fs::remove(mac.at("/usr/bin/sudo"));
    EXPECT_EQ(PowerTool::setSleepDisabled(true), "No such file or directory");
}

TEST_F(StandIn, FilesExistAndBundleListsReadAsDictionaries) {
    writeFile(mac.at("/Applications/Vell.app/Contents/Info.plist"),
              "<plist><dict><key>CFBundleIdentifier</key><string>org.vell.app</string></dict>"
              "</plist>");
    EXPECT_TRUE(platform::fileExists("/Applications/Vell.app"));
    EXPECT_FALSE(platform::fileExists("/Applications/Other.app"));
    const auto info = platform::readDictionaryFile("/Applications/Vell.app/Contents/Info.plist");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->at("CFBundleIdentifier"), PropertyListValue("org.vell.app"));
    fs::create_symlink(mac.at("/Applications/Vell.app"), mac.at("/Applications/Link.app"));
    EXPECT_TRUE(platform::fileExists("/Applications/Link.app"));
    fs::create_symlink(mac.at("/nowhere"), mac.at("/Applications/Dangling.app"));
    EXPECT_FALSE(platform::fileExists("/Applications/Dangling.app"));
}

TEST_F(StandIn, LaunchdRegistrationIsAFileInLaunchAgents) {
    const std::string job =
        "/Applications/Vell.app/Contents/Library/LaunchAgents/org.vell.app.dealer.plist";
    writeFile(mac.at(job),
              "<plist><dict><key>Label</key><string>org.vell.app.dealer</string></dict></plist>");
    const std::string registered = mac.home() + "/Library/LaunchAgents/org.vell.app.dealer.plist";

    EXPECT_EQ(platform::registerAgentService("org.vell.app.dealer.plist", "/Applications/Vell.app"),
              std::nullopt);
    EXPECT_TRUE(fs::exists(registered));
    EXPECT_EQ(platform::unregisterAgentService("org.vell.app.dealer.plist"), std::nullopt);
    EXPECT_FALSE(fs::exists(registered));
    // Gone already: an error.
    EXPECT_NE(platform::unregisterAgentService("org.vell.app.dealer.plist"), std::nullopt);
    EXPECT_NE(platform::unregisterAgentService("../escape"), std::nullopt);
    EXPECT_NE(platform::registerAgentService("org.vell.app.dealer.plist", "/Missing.app"),
              std::nullopt);
}

// The run loop belongs to its process, so each case runs in a child: without
// one of its resources the loop keeps every promise it still can (work
// posted from other threads runs, and so does the timer); without a way to
// wait for events or to keep time it says so in one line and fails, so that
// launchd starts it again.
TEST_F(StandIn, TheRunLoopKeepsWhatItCanWithoutEachResource) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"epoll", false},   // no way to wait: it gives up
        {"timer", false},   // no way to keep time: it gives up
        {"eventfd", true},  // queued work runs at the next wake-up
        {"inotify", true},  // the timer still runs passes
        {"thread", true},   // thermal changes are seen by the timer's passes
    };
    const std::string errors = mac.at("/stderr");
    for (const auto& [failing, keepsRunning] : cases) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::setenv("VELL_SIMULATED_FAILURES", failing.c_str(), 1);
            ::dup2(::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
            static bool posted = false;
            const auto source = platform::createPowerSourceNotificationSource(
                +[](void*) {}, nullptr);
            if ((source != nullptr) == (failing == "inotify")) {
                ::_exit(3);
            }
            if (source) {
                platform::addSourceToCurrentRunLoop(*source);
            }
            platform::observeThermalStateChanges([] {});
            std::thread([] { platform::performOnMainThread([] { posted = true; }); }).join();
            platform::scheduleRepeatingTimer(0.001, [] {
                if (posted) {
                    ::_exit(0);
                }
            });
            platform::runCurrentRunLoop();
            ::_exit(5);
        }
        int status = 0;
        const bool ended =
            eventually([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 10s);
        if (!ended) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
        }
        EXPECT_TRUE(ended) << failing << ": the loop neither ran nor gave up";
        const std::string said = readFile(errors).value_or("");
        if (keepsRunning) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << failing << ": " << status;
            EXPECT_EQ(said, "") << failing;
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << failing << ": " << status;
            EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << failing << ": " << said;
            EXPECT_TRUE(said.ends_with("\n")) << failing;
        }
    }
}

// A real executable reports its path inside the simulated Mac, and that
// path still reads as missing once the file is deleted.
class OwnPath : public StandIn {
  protected:
    std::string runProbe(const std::string& macPath, const std::string& mode) {
        fs::create_directories(fs::path(mac.at(macPath)).parent_path());
        fs::copy_file(VELL_OWN_PATH_PROBE, mac.at(macPath));
        return PowerTool::run(macPath, {mode}).output;
    }
};

TEST_F(OwnPath, InsideATrashTheRootIsTakenOff) {
    const std::string trashed = "/Users/ann/.Trash/Vell.app/Contents/MacOS/VellDealer";
    EXPECT_EQ(runProbe(trashed, "keep"), trashed + "\nexists\n");
}

TEST_F(OwnPath, ADeletedExecutableReportsItsPathWithoutTheSuffix) {
    const std::string agent = "/Applications/Vell.app/Contents/MacOS/VellDealer";
    EXPECT_EQ(runProbe(agent, "delete"), agent + "\nmissing\n");
}

}  // namespace
