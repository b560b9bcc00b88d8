// The stand-in's registry, pmset, processes, files, launchd, own path and run loop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "VellShared/PowerTool.hpp"
#include "VellShared/Preferences.hpp"
#include "platform/clock.hpp"
#include "platform/files.hpp"
#include "platform/groups.hpp"
#include "platform/launchd.hpp"
#include "platform/process.hpp"
#include "platform/run_loop.hpp"
#include "tests/support/SimulatedMac.hpp"

namespace fs = std::filesystem;

namespace {

class StandIn : public ::testing::Test {
  protected:
    SimulatedMac mac;
    ScopedEnvironment root{"VELL_SYSTEM_ROOT", mac.root()};
    ScopedEnvironment home{"HOME", mac.home()};
};

TEST_F(StandIn, TheRegistryReadsBooleansAndNumbersOnly) {
    const std::string entry = "<plist><dict><key>SleepDisabled</key>", end = "</dict></plist>";
    const std::vector<std::pair<std::string, std::optional<bool>>> cases = {
        {entry + "<integer>1</integer>" + end, true},
        {entry + "<real>0.0</real>" + end, false},
        {entry + "<string>1</string>" + end, std::nullopt},
        {entry + "<array/>" + end, std::nullopt},
        {"<plist><dict><key>Other</key><true/></dict></plist>", std::nullopt},
        {"<plist><array><true/></array></plist>", std::nullopt},
        {"not a property list", std::nullopt},
    };
    for (const auto& [stored, expected] : cases) {
        writeFile(mac.at("/IORegistry/IOPMrootDomain.plist"), stored);
        EXPECT_EQ(PowerTool::sleepDisabled(), expected) << stored;
    }
    fs::remove(mac.at("/IORegistry/IOPMrootDomain.plist"));
    EXPECT_EQ(PowerTool::sleepDisabled(), std::nullopt);
}

TEST_F(StandIn, ThePowerToolTurnsTheOverrideOnAndOffThroughSudoAndPmset) {
    EXPECT_EQ(PowerTool::setSleepDisabled(true), std::nullopt);
    EXPECT_EQ(PowerTool::sleepDisabled(), true);
    EXPECT_EQ(PowerTool::setSleepDisabled(false), std::nullopt);
    EXPECT_EQ(PowerTool::sleepDisabled(), false);
    writeFile(mac.at("/pmset.fail"), "");
    EXPECT_EQ(PowerTool::setSleepDisabled(true), "pmset: failed on purpose");
    EXPECT_EQ(PowerTool::setSleepDisabled(false), std::nullopt);  // already off
    fs::remove(mac.at("/usr/bin/sudo"));
    EXPECT_EQ(PowerTool::setSleepDisabled(true), "No such file or directory");
}

// A registered agent is a copy of its bundle's job description.
TEST_F(StandIn, FilesReadAndAgentsRegisterInsideTheMac) {
    const std::string job = "org.vell.app.dealer.plist", agent = "/Library/LaunchAgents/" + job;
    const std::string inBundle = "/Applications/Vell.app/Contents" + agent,
                      registered = "/Users/ann" + agent;
    const PropertyListDictionary description = {{"Label", "org.vell.app.dealer"}};
    writeFile(mac.at(inBundle),
              "<plist><dict><key>Label</key><string>org.vell.app.dealer</string></dict></plist>");
    fs::create_symlink(mac.at("/nowhere"), mac.at("/Applications/Dangling.app"));
    EXPECT_TRUE(platform::fileExists("/Applications/Vell.app"));
    EXPECT_FALSE(platform::fileExists("/Applications/Other.app"));
    EXPECT_FALSE(platform::fileExists("/Applications/Dangling.app"));
    EXPECT_EQ(*platform::readDictionaryFile(inBundle), description);
    EXPECT_EQ(platform::registerAgentService(job, "/Applications/Vell.app"), std::nullopt);
    EXPECT_EQ(*platform::readDictionaryFile(registered), description);
    EXPECT_EQ(platform::unregisterAgentService(job), std::nullopt);
    EXPECT_FALSE(platform::fileExists(registered));
    EXPECT_NE(platform::unregisterAgentService(job), std::nullopt);  // gone already
    EXPECT_NE(platform::unregisterAgentService("../escape"), std::nullopt);
    EXPECT_NE(platform::registerAgentService(job, "/Missing.app"), std::nullopt);
}

// A profile's value wins over the user's, for every reader: the user's level over the computer's.
TEST_F(StandIn, AProfileForcesASettingAndGroupsAreThoseOfEtcGroup) {
    const std::string name = ::getpwuid(::getuid())->pw_name,
                      managed = "/Library/Managed Preferences/";
    const auto profile = [&](const std::string& level, const std::string& value) {
        writeFile(mac.at(managed + level + "org.vell.app.shared.plist"),
                  "<plist><dict><key>lowBatteryCutoff</key>" + value + "</dict></plist>");
    };
    VellPreferences::setLowBatteryCutoff(false);
    const auto suite = VellPreferences::store();
    EXPECT_FALSE(suite->isForced(VellPreferences::lowBatteryCutoffKey));
    profile("", "<true/>");
    EXPECT_TRUE(VellPreferences::lowBatteryCutoff() &&
                suite->isForced(VellPreferences::lowBatteryCutoffKey));
    profile(name + "/", "<false/>");
    EXPECT_FALSE(VellPreferences::lowBatteryCutoff());
    EXPECT_FALSE(suite->isForced(VellPreferences::wantedKey));

    EXPECT_EQ(platform::userIsInGroup(::getuid(), "admin"), true);
    writeFile(mac.at("/etc/group"),
              "staff:*:20:" + name + "\nadmin:*:80:x" + name + "," + name + "x\n");
    EXPECT_EQ(platform::userIsInGroup(::getuid(), "admin"), false);
    EXPECT_EQ(platform::userIsInGroup(::getuid(), "staff"), true);
    fs::remove(mac.at("/etc/group"));
    EXPECT_EQ(platform::userIsInGroup(::getuid(), "admin"), std::nullopt);
}

// Both streams in the order written; output that isn't UTF-8 reads as empty.
TEST(Process, RunsAProgramAndCollectsItsStatusAndOutput) {
    const int leaked = ::open("/dev/null", O_RDONLY);
    ScopedEnvironment marker("VELL_TEST_MARK", "inherited");
    // clang-format off
    const std::vector<std::tuple<std::string, std::optional<PowerTool::Environment>, int, std::string>> cases = {
        {"echo oops >&2; exit 3",                          {},   3, "oops\n"},
        {"printf a; printf b >&2; printf c; printf d >&2", {},   0, "abcd"},
        {"ls /proc/$$/fd",                                 {},   0, "0\n1\n2\n"},
        {"printf 'fine \\377 text'; exit 1",               {},   1, ""},
        {"kill -9 $$",                                     {},   9, ""},
        {"head -c 5000000 /dev/zero | tr '\\0' x",         {},   0, std::string(5000000, 'x')},
        {"echo $VELL_TEST_MARK $ONLY",                     {},   0, "inherited\n"},
        {"echo $VELL_TEST_MARK $ONLY",                     PowerTool::Environment{{"ONLY", "this"}}, 0, "this\n"},
    };
    // clang-format on
    for (const auto& [script, environment, code, output] : cases) {
        const CommandResult result = PowerTool::run("/bin/sh", {"-c", script}, environment);
        EXPECT_EQ(result.code, code) << script;
        EXPECT_TRUE(result.output == output) << script << ": " << result.output.substr(0, 80);
    }
    ::close(leaked);
}

// A child that has ended is gone, even before its parent collects it.
TEST(Process, AStartTimeIsKnownOnlyWhileTheProcessRuns) {
    const auto own = platform::processStartTime(platform::ownProcessId());
    ASSERT_TRUE(own.has_value());
    EXPECT_EQ(platform::processStartTime(::getpid()), own);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::_exit(0);
    }
    siginfo_t ended{};
    ASSERT_EQ(::waitid(P_PID, child, &ended, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(platform::processStartTime(child), std::nullopt) << "a zombie";
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(platform::processStartTime(child), std::nullopt);
    EXPECT_EQ(platform::processStartTime(0), std::nullopt);
}

TEST_F(StandIn, AnExecutableReadsItsOwnPathInsideTheMac) {
    const std::string path = "/Users/ann/.Trash/Vell.app/Contents/MacOS/VellDealer";
    fs::create_directories(fs::path(mac.at(path)).parent_path());
    fs::copy_file(VELL_OWN_PATH_PROBE, mac.at(path));
    EXPECT_EQ(PowerTool::run(path, {}).output, path + " exists\n" + path + " missing\n");
}

// The run loop never returns: each case runs in a child (standard input closed, so a descriptor
// 0 is handed out) until it has seen all it can, the thermal watcher's thread asleep or gone.
// On the real root the kernel announces power-supply changes only by
// uevent: the source joins the kobject-uevent netlink group.
TEST(RealRoot, APowerSourceListensForTheKernelsUevents) {
    ScopedEnvironment root("VELL_SYSTEM_ROOT", "/");
    const auto source = platform::createPowerSourceNotificationSource(
        +[](void*) {}, nullptr);
    ASSERT_TRUE(source);
    std::set<std::string> ours;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        ours.insert(fs::read_symlink(fd.path(), error).string());
    }
    std::ifstream table("/proc/net/netlink");  // sk Eth Pid Groups Rmem Wmem Dump Locks Drops Inode
    int listening = 0;
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string field[10];
        for (auto& value : field) {
            fields >> value;
        }
        listening +=
            field[1] == "15" && field[3] == "00000001" && ours.count("socket:[" + field[9] + "]");
    }
    EXPECT_EQ(listening, 1) << "sockets of ours in the uevent group";
}

TEST_F(StandIn, TheRunLoopKeepsWhatItCanWithoutEachResource) {
    const std::string ok = "exit 0\n", gaveUp = "exit 1\nlinux_tests: the run loop can't go on: ";
    // clang-format off
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"",               "posted power heat stopped threads RS", ok},
        {"eventfd",        "posted power heat stopped threads RS", ok},  // queued work runs at the next wake-up
        {"inotify",        "posted stopped threads R",             ok},  // the timer's passes still read all
        {"eventfd,thread", "posted power stopped threads R",       ok},
        {"signalfd",       "", "signal 15\n"},  // SIGTERM ends the process, as by default
        {"epoll",          "", gaveUp + "epoll_create1: Too many open files\n"},
        {"timer",          "", gaveUp + "timerfd_create: Too many open files\n"},
    };
    // clang-format on
    const std::string errors = mac.at("/stderr");
    fs::create_symlink("/bin/grep", mac.at("/bin/grep"));
    for (const auto& [failing, expected, outcome] : cases) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::alarm(5);
            mac.setTemperature(45000);
            ::setenv("VELL_SIMULATED_FAILURES", failing.c_str(), 1);
            ::dup2(::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
            ::close(STDIN_FILENO);
            std::atomic<bool> posted = false, power = false, heat = false, stopped = false;
            const auto source = platform::createPowerSourceNotificationSource(
                +[](void* power) { *static_cast<std::atomic<bool>*>(power) = true; }, &power);
            if (source) {
                platform::addSourceToCurrentRunLoop(*source);
            }
            platform::observeThermalStateChanges([&] { heat = true; });
            // Taken once the thermal watcher's thread runs, which must never take them;
            // the programs the process starts do, as usual.
            platform::observeTerminationSignals([&] { stopped = true; });
            const auto blocked = PowerTool::run("/bin/grep", {"SigBlk", "/proc/self/status"});
            if (blocked.output != "SigBlk:\t0000000000000000\n") {
                ::_exit(5);
            }
            std::thread([&] { platform::performOnMainThread([&] { posted = true; }); }).join();
            mac.setBattery(5, true);
            mac.setTemperature(105000);
            const auto seen = [&] {
                std::string states = std::string(posted ? "posted " : "") +
                                     (power ? "power " : "") + (heat ? "heat " : "") +
                                     (stopped ? "stopped " : "") + "threads ";
                // Each thread's state, the main one's (running: "R") first; "S" is asleep.
                for (const auto& task : fs::directory_iterator("/proc/self/task")) {
                    const std::string stat = readFile(task.path() / "stat").value_or(")  ");
                    states += stat.substr(stat.rfind(") ") + 2, 1);
                }
                return states;
            };
            // The shorter timer ticks first, even at an interval of nothing.
            platform::scheduleRepeatingTimer(1, [&] {
                std::cerr << seen();
                ::_exit(4);
            });
            platform::scheduleRepeatingTimer(0, [&, sent = false]() mutable {
                if (!std::exchange(sent, true)) {
                    ::kill(::getpid(), SIGTERM);
                }
                if (seen() == expected) {
                    ::_exit(0);
                }
            });
            platform::runCurrentRunLoop();
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        const int killedBy = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        const std::string ended = killedBy == SIGALRM ? "no outcome within 5 s"
                                  : killedBy != 0     ? "signal " + std::to_string(killedBy)
                                                  : "exit " + std::to_string(WEXITSTATUS(status));
        // A loop that hangs fails the test once, within seconds.
        ASSERT_EQ(ended + "\n" + readFile(errors).value_or(""), outcome) << failing;
    }
}

}  // namespace

namespace {

// In a child, as the run loop never returns: exit 0 once a deadline timer fired at a moment just
// past (before a repeating timer's first tick, else exit 4), was set again after firing to moments
// past (a fraction of a second after the epoch, and before it) and to come, and fired each time;
// while it waits, the loop sleeps (exit 5). A cancelled timer whose moment came first must never
// fire (exit 3).
TEST(DeadlineTimer, FiresOnceAtItsMomentCanBeSetAgainAndCancelled) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(5);
        const auto cancelled = platform::createDeadlineTimer([] { ::_exit(3); });
        const auto cpuSeconds = [] {
            timespec used{};
            ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
            return used.tv_sec + used.tv_nsec / 1e9;
        };
        int fired = 0;
        double waitedFrom = 0;
        std::unique_ptr<platform::DeadlineTimer> timer;
        timer = platform::createDeadlineTimer([&] {
            if (fired == 3) {
                ::_exit(cpuSeconds() - waitedFrom < 0.05 ? 0 : 5);
            }
            waitedFrom = cpuSeconds();
            const double moments[] = {-978307199.25, -1e10, platform::calendarSeconds() + 0.5};
            timer->fireAt(moments[fired++]);
        });
        if (!timer || !cancelled) {
            ::_exit(2);
        }
        cancelled->fireAt(platform::calendarSeconds() + 0.05);
        cancelled->cancel();
        platform::performOnMainThread([&] { timer->fireAt(platform::calendarSeconds() - 0.1); });
        platform::scheduleRepeatingTimer(0.75, [&] {
            if (fired == 0) {
                ::_exit(4);
            }
        });
        // A signal interrupts the wait for the last moment (as SIGSTOP and SIGCONT do): it goes on.
        ::signal(SIGUSR1, [](int) {});
        sigevent interrupt{};
        interrupt.sigev_notify = SIGEV_SIGNAL;
        interrupt.sigev_signo = SIGUSR1;
        timer_t signalTimer{};
        const itimerspec quarterSecond{{}, {0, 250000000}};
        ::timer_create(CLOCK_MONOTONIC, &interrupt, &signalTimer);
        ::timer_settime(signalTimer, 0, &quarterSecond, nullptr);
        platform::runCurrentRunLoop();
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status))
        << "killed by signal " << WTERMSIG(status) << " (14: no outcome in 5 s)";
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "2: no timer, 3: the cancelled one fired, 4: a moment past waited, 5: the loop spun";
}

}  // namespace
