// The stand-in's registry, pmset, processes, files, launchd, own path and run loop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <thread>
#include <tuple>

#include "VellShared/PowerTool.hpp"
#include "VellShared/Preferences.hpp"
#include "platform/clock.hpp"
#include "platform/files.hpp"
#include "platform/groups.hpp"
#include "platform/launchd.hpp"
#include "platform/process.hpp"
#include "platform/registry.hpp"
#include "platform/run_loop.hpp"
#include "platform/suite_lock.hpp"
#include "tests/support/SimulatedMac.hpp"

namespace fs = std::filesystem;

namespace {

// First, and collected rows first, as a hang here is a failure. Each row runs in a session of its
// own under alarm(4). Its report: how a collected command ended ("status N: " and its output, both
// streams in order; output that isn't UTF-8 reads as empty), or what one in the foreground wrote
// and its status. An ended child has no start time, even before it is collected.
TEST(Process, RunsCommandsInTheForegroundOrCollectsTheirOutputWhateverTheSignals) {
    // clang-format off
    const auto sh = [](const std::string& script) { return std::vector<std::string>{"/bin/sh", "-c", script}; };
    const std::string queue = "/bin/kill -q 0 -s ", idle = "; while kill -0 $PPID; do sleep 0.01; done";
    const std::vector<std::string> masks = {"/usr/bin/perl", "-e", "kill HUP => $$; open S, '/proc/self/status'; print grep /SigBlk/, <S>"};  // dash clears its mask
    const std::optional<PowerTool::Environment> ours, only = PowerTool::Environment{{"ONLY", "this"}};
    const std::vector<std::tuple<const char*, std::string, bool, std::vector<std::string>, std::optional<PowerTool::Environment>, std::string>> rows = {
        {"collected: both streams",          "",            false, sh("printf a; printf b >&2; printf c; printf d >&2; exit 3"), ours, "status 3: abcd"},
        {"collected: no descriptor leaks",   "",            false, sh("ls /proc/$$/fd"),   ours, "status 0: 0\n1\n2\n"},
        {"collected: not UTF-8",             "",            false, sh("printf 'fine \\377 text'; exit 1"), ours, "status 1: "},
        {"collected: 5 MB",                  "",            false, sh("head -c 5000000 /dev/zero | tr '\\0' x"), ours, "status 0: " + std::string(5000000, 'x')},
        {"collected: our environment",       "",            false, sh("echo $VELL_TEST_MARK $ONLY"), ours, "status 0: inherited\n"},
        {"collected: a given environment",   "",            false, sh("echo $VELL_TEST_MARK $ONLY"), only, "status 0: this\n"},
        {"collected: nohup",                 "nohup",       false, masks,                 ours, "status 1: "},
        {"collected: children reaped",       "reaped",      false, sh("echo a; exit 3"),  ours, "status -1: a\n"},
        {"collected: no such program",       "",            false, {"/no/such/program"},  ours, "status -1: No such file or directory"},
        {"collected: out of descriptors",    "no files",    false, sh("exit 0"),          ours, "status -1: Too many open files"},
        {"collected: interrupted",           "interrupted", false, sh("echo a; sleep 0.1; echo b; exec >&- 2>&-; sleep 0.1; exit 3"), ours, "status 3: a\nb\n"},
        {"an exit status",                   "",            true,  sh("echo ran; exit 3"), ours, "ran\nstatus 3"},
        {"a signal's end",                   "",            true,  sh("kill -TERM $$"),    ours, "status 143"},
        {"no such program",                  "",            true,  {"/no/such/program"},  ours, "can't start: No such file or directory"},
        {"no command",                       "",            true,  {},                    ours, "can't start: No such file or directory"},
        {"a queued interrupt, no terminal",  "",            true,  sh("trap 'exit 8' INT; " + queue + "INT $PPID" + idle), ours, "status 8"},
        {"the terminal's interrupt",         "terminal",    true,  sh("trap 'exit 8' INT; trap 'exit 7' TERM; " + queue + "INT $PPID; " + queue + "TERM $PPID" + idle), ours, "status 7"},
        {"a kill() with a terminal",         "terminal",    true,  sh("trap 'exit 8' INT; kill -INT $PPID" + idle), ours, "status 8"},
        {"nohup",                            "nohup",       true,  masks,                 ours, "SigBlk:\t0000000000000004\nstatus 0"},
        {"children reaped unseen",           "reaped",      true,  sh("exit 3"),          ours, "status 1"},
        {"interrupted waits",                "interrupted", true,  sh("sleep 0.1; exit 3"), ours, "status 3"},
    };
    // clang-format on
    const TempDir dir;
    ScopedEnvironment marker("VELL_TEST_MARK", "inherited");
    for (const auto& [situation, setup, foreground, command, environment, expected] : rows) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::alarm(4);
            ::setsid();
            ::dup2(::creat((dir.path() + "/report").c_str(), 0600), STDOUT_FILENO);
            if (setup == "terminal") {
                const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
                ::grantpt(terminal), ::unlockpt(terminal);
                ::close(::open(::ptsname(terminal), O_RDWR));  // a session's first one is its own
            }
            sigset_t quit;
            sigemptyset(&quit), sigaddset(&quit, SIGQUIT);
            ::sigprocmask(setup == "nohup" ? SIG_BLOCK : SIG_UNBLOCK, &quit, nullptr);
            // As from a shell's foreground, whatever started the test (nohup, a background job).
            ::signal(SIGINT, SIG_DFL), ::signal(SIGTERM, SIG_DFL), ::signal(SIGQUIT, SIG_DFL);
            ::signal(SIGHUP, setup == "nohup" ? SIG_IGN : SIG_DFL);
            ::signal(SIGCHLD, setup == "reaped" ? SIG_IGN : SIG_DFL);
            if (setup == "no files") {
                const rlimit none{};
                ::setrlimit(RLIMIT_NOFILE, &none);
            }
            // A handler without SA_RESTART: reads and waits fail with EINTR.
            if (setup == "interrupted") {
                struct sigaction interrupting {};
                interrupting.sa_handler = +[](int) {};
                ::sigaction(SIGUSR1, &interrupting, nullptr);
                std::thread([main = ::pthread_self()] {
                    for (;; ::usleep(1000))
                        ::pthread_kill(main, SIGUSR1);
                }).detach();
            }
            std::string text;
            if (foreground) {
                const auto outcome = platform::runInForeground(command);
                text = outcome.started ? "status " + std::to_string(outcome.status)
                                       : "can't start: " + outcome.startError;
            } else {
                const auto outcome =
                    PowerTool::run(command[0], {command.begin() + 1, command.end()}, environment);
                text = "status " + std::to_string(outcome.code) + ": " + outcome.output;
            }
            text += ::signal(SIGINT, SIG_DFL) == SIG_DFL ? "" : " (the relay left in place)";
            // Not through stdio, which holds what we had buffered.
            ::_exit(::write(STDOUT_FILENO, text.data(), text.size()) < 0);
        }
        siginfo_t ended{};
        ::waitid(P_PID, child, &ended, WEXITED | WNOWAIT);
        ::kill(-child, SIGKILL);  // whatever the row's command left running
        const std::string outcome =
            (ended.si_code != CLD_EXITED ? "killed by signal " + std::to_string(ended.si_status) +
                                               " (14: no outcome in 4 s): "
                                         : "") +
            readFile(dir.path() + "/report").value_or("");
        ASSERT_TRUE(outcome == expected) << situation << ": " << outcome.substr(0, 80);
        EXPECT_EQ(platform::processStartTime(child), std::nullopt) << "a zombie";
        ::waitpid(child, nullptr, 0);
    }
    const auto ticks = platform::processStartTime(platform::ownProcessId());
    ASSERT_GT(ticks.value_or(0), 0);
    const double uptime = std::stod(readFile("/proc/uptime").value_or("0"));  // we began in 10 min
    EXPECT_NEAR(ticks.value_or(-1) / double(::sysconf(_SC_CLK_TCK)), uptime - 300, 300);
}

class StandIn : public ::testing::Test {
  protected:
    SimulatedMac mac;
    ScopedEnvironment root{"VELL_SYSTEM_ROOT", mac.root()};
    ScopedEnvironment home{"HOME", mac.home()};
};

TEST_F(StandIn, TheOverrideIsReadFromTheRegistryAndSetThroughSudoAndPmset) {
    const std::string entry = "<plist><dict><key>SleepDisabled</key>", end = "</dict></plist>";
    const std::vector<std::pair<std::string, std::optional<bool>>> cases = {
        {entry + "<integer>1</integer>" + end, true},
        {entry + "<real>0.0</real>" + end, false},
        {entry + "<string>1</string>" + end, std::nullopt},
        {entry + "<array/>" + end, std::nullopt},
        {"<plist><dict><key>Other</key><true/></dict></plist>", std::nullopt},
        {"<plist><array><true/></array></plist>", std::nullopt},
        {"not a property list", std::nullopt},
        {entry + "<true/>" + end, true},
    };
    for (const auto& [stored, expected] : cases) {
        writeFile(mac.at("/IORegistry/IOPMrootDomain.plist"), stored);
        ASSERT_EQ(PowerTool::sleepDisabled(), expected) << stored;
    }
    writeFile(mac.at("/IORegistry/.plist"), entry + "<true/>" + end);
    for (const char* refused : {"", "../IORegistry/IOPMrootDomain"})  // class names only
        EXPECT_EQ(platform::readRegistryTruthValue(refused, "SleepDisabled"), std::nullopt);
    fs::remove(mac.at("/IORegistry/IOPMrootDomain.plist"));
    EXPECT_EQ(PowerTool::sleepDisabled(), std::nullopt);
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

TEST_F(StandIn, FilesReadAgentsRegisterAndAnExecutableFindsItselfInsideTheMac) {
    using platform::AgentServiceStatus;
    const std::string job = "org.vell.app.dealer.plist", agent = "/Library/LaunchAgents/" + job;
    const std::string app = "/Applications/Vell.app", registered = "/Users/ann" + agent;
    const PropertyListDictionary description = {{"Label", "org.vell.app.dealer"}};
    writeFile(mac.at(app + "/Contents" + agent),
              "<plist><dict><key>Label</key><string>org.vell.app.dealer</string></dict></plist>");
    fs::create_symlink(mac.at("/nowhere"), mac.at("/Applications/Dangling.app"));
    EXPECT_TRUE(platform::fileExists(app));
    EXPECT_FALSE(platform::fileExists("/Applications/Other.app"));
    EXPECT_FALSE(platform::fileExists("/Applications/Dangling.app"));
    EXPECT_EQ(platform::agentServiceStatus(job, app), AgentServiceStatus::notRegistered);
    EXPECT_EQ(platform::registerAgentService(job, app), std::nullopt);
    const auto copy = platform::readDictionaryFile(registered);
    ASSERT_TRUE(copy && *copy == description) << "no copy in the home";
    EXPECT_EQ(platform::agentServiceStatus(job, "/Missing.app"), AgentServiceStatus::enabled);
    for (const char* folder : {"/Users/ann/Library", "/Users/ann/Library/LaunchAgents"})
        EXPECT_EQ(fs::status(mac.at(folder)).permissions(), fs::perms::owner_all) << folder;
    EXPECT_EQ(platform::unregisterAgentService(job), std::nullopt);
    EXPECT_EQ(platform::agentServiceStatus(job, "/Missing.app"), AgentServiceStatus::notFound);
    EXPECT_EQ(platform::unregisterAgentService(job), "No such file or directory");  // gone already
    for (const char* name : {"", "../escape", ".", ".."})
        EXPECT_EQ(platform::unregisterAgentService(name), "Invalid job name.") << name;
    EXPECT_EQ(platform::registerAgentService("..", app), "Invalid job name.");
    EXPECT_EQ(platform::agentServiceStatus("..", app), AgentServiceStatus::notFound);
    EXPECT_EQ(platform::registerAgentService(job, "/Missing.app"),
              "No job description at " + mac.at("/Missing.app/Contents" + agent) + ".");
    writeFile(mac.at("/List.app/Contents" + agent), "<plist><array/></plist>");
    EXPECT_NE(platform::registerAgentService(job, "/List.app"), std::nullopt);
    fs::create_symlink("/dev/full", mac.at(registered));  // a write that fails once flushed
    EXPECT_EQ(platform::registerAgentService(job, app),
              "Could not write " + mac.at(registered) + ".");
    const std::string path = "/Users/ann/.Trash/Vell.app/Contents/MacOS/VellDealer";
    fs::create_directories(fs::path(mac.at(path)).parent_path());
    fs::copy_file(VELL_OWN_PATH_PROBE, mac.at(path));
    ScopedEnvironment slashed("VELL_SYSTEM_ROOT", mac.root() + "//");  // the same root
    EXPECT_EQ(PowerTool::run(path, {}).output, path + " exists\n" + path + " missing\n");
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

// A waiter gives up on a holder that never lets go, then takes the lock from one that lets go
// while it waits: once it found it taken and paused (state S) or gave up (Z).
TEST(SuiteLock, PassesOnWhenItsHolderLetsGoAndRefusesBadNames) {
    const double unixTime = ::time(nullptr), start = platform::monotonicSeconds();
    EXPECT_NEAR(platform::calendarSeconds() - (unixTime - 978307200), 30, 30) << "from 2001";
    platform::pauseFor(0.1);
    EXPECT_GE(platform::monotonicSeconds() - start, 0.099) << "a pause lasts at least as asked";
    const TempDir home;
    std::string state(1, ' ');
    for (const auto& [folder, name] :
         {std::pair{std::string(), "ok"}, {home.path(), ""}, {home.path(), "../b"}}) {
        ScopedEnvironment scoped("HOME", folder);
        EXPECT_FALSE(platform::lockSettingsSuite(name)) << "HOME=" << folder << ", " << name;
    }
    ScopedEnvironment scoped("HOME", home.path());
    auto held = platform::lockSettingsSuite("ok");
    ASSERT_TRUE(held);
    EXPECT_EQ(fs::status(home.path() + "/Library/Caches").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(home.path() + "/Library/Caches/ok.lock").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    int gaveUp[2];
    const pid_t waiter = ::pipe(gaveUp) == 0 ? ::fork() : -1;
    ASSERT_GE(waiter, 0);
    if (waiter == 0) {
        ::alarm(5);
        ::close_range(3, gaveUp[1] - 1, 0);  // the holder's descriptor too
        const bool tookIt = platform::lockSettingsSuite("ok") != nullptr;
        ::close(gaveUp[1]);
        ::_exit(tookIt ? 2 : platform::lockSettingsSuite("ok") ? 0 : 1);
    }
    ::close(gaveUp[1]);
    ASSERT_EQ(::read(gaveUp[0], state.data(), 1), 0) << "the first wait ended";
    for (int tries = 0; tries < 4000 && state != "S" && state != "Z"; ++tries, ::usleep(1000)) {
        const std::string stat =
            readFile("/proc/" + std::to_string(waiter) + "/stat").value_or(") ?");
        state = stat.substr(stat.rfind(") ") + 2, 1);
    }
    held.reset();
    int status = 0;
    ::waitpid(waiter, &status, 0);
    EXPECT_EQ(status, 0) << "(1 or 2) << 8: gave up, or took it held; 14: no outcome in 5 s";
}

// On the real root the kernel announces power-supply changes only by uevent: the source joins
// the kobject-uevent netlink group. Resources fail only in a simulated Mac.
TEST(RealRoot, APowerSourceListensForTheKernelsUevents) {
    ScopedEnvironment root("VELL_SYSTEM_ROOT", "/"), failing("VELL_SIMULATED_FAILURES", "inotify");
    const auto source = platform::createPowerSourceNotificationSource(
        +[](void*) {}, nullptr);
    ASSERT_TRUE(source);
    int listening = 0;
    for (int fd = 0; fd < 256; ++fd) {
        sockaddr_nl address{};
        socklen_t size = sizeof address;
        listening += ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
                     address.nl_family == AF_NETLINK && address.nl_groups == 1;
    }
    EXPECT_EQ(listening, 1) << "sockets of ours in the uevent group";
}

// The run loop never returns: each case runs in a child (standard input closed, so a descriptor
// 0 is handed out) until it has seen all it can, the thermal watcher's thread asleep or gone.
TEST_F(StandIn, TheRunLoopKeepsWhatItCanWithoutEachResource) {
    const std::string ok = "exit 0\n",
                      gaveUp = "exit 1\nno deadline timer\nlinux_tests: the run loop can't go on: ";
    // clang-format off
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"",               "posted power heat stopped threads RS", ok},
        {"eventfd",        "posted power heat stopped threads RS", ok},  // queued work runs at the next wake-up
        {"inotify",        "sourceless posted stopped threads R", ok},  // the timer's passes still read all
        {"eventfd,thread", "posted power stopped threads R",       ok},
        {"signalfd",       "", "signal 15\n"},  // SIGTERM ends the process, as by default
        {"epoll,timer",    "", gaveUp + "epoll_create1: Too many open files\n"},  // the first reason
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
            std::atomic<int> posted = 0, power = 0, heat = 0, stopped = 0;
            const auto source = platform::createPowerSourceNotificationSource(
                +[](void* power) { ++*static_cast<std::atomic<int>*>(power); }, &power);
            if (source) {
                platform::addSourceToCurrentRunLoop(*source);
            }
            platform::observeThermalStateChanges([&] { heat = 1; });
            // Taken once the thermal watcher's thread runs, which must never take them;
            // the programs the process starts do, as usual.
            platform::observeTerminationSignals([&] { stopped = 1; });
            const auto blocked = PowerTool::run("/bin/grep", {"SigBlk", "/proc/self/status"});
            if (blocked.output != "SigBlk:\t0000000000000000\n") {
                ::_exit(5);
            }
            std::thread([&] { platform::performOnMainThread([&] { posted = 1; }); }).join();
            // A supply that appears, as a link to its folder, is watched from then on: once the
            // loop has seen it appear, a file created there is no change, its write the second.
            const std::string supplies = mac.at("/sys/class/power_supply/");
            writeFile(mac.at("/sys/devices/BAT1/capacity"), "50\n");
            fs::remove(supplies + "BAT1");
            fs::create_directory_symlink(mac.at("/sys/devices/BAT1"), supplies + "BAT1");
            mac.setTemperature(105000);
            bool created = false, wrote = false;
            const auto seen = [&] {
                std::string states = std::string(source ? "" : "sourceless ") +
                                     (posted ? "posted " : "") +
                                     (power == 2 && wrote ? "power " : "") + (heat ? "heat " : "") +
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
                if (power == 1 && !std::exchange(created, true)) {
                    ::open((supplies + "BAT1/new" + failing).c_str(), O_CREAT | O_WRONLY, 0600);
                } else if (power == 1 && !std::exchange(wrote, true)) {
                    writeFile(supplies + "BAT1/capacity", "5\n");
                }
            });
            std::cerr << (platform::createDeadlineTimer([] {}) ? "" : "no deadline timer\n");
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

// In a child (the run loop never returns): exit 0 once a deadline timer fired at a moment just
// past (before a repeating timer's first tick, else 4), was set again after firing to moments
// past (after the epoch, and before it) and to come, firing each time, the loop asleep while it
// waited (else 5). A cancelled timer whose moment came first never fires (else 3).
TEST(DeadlineTimer, FiresOnceAtItsMomentCanBeSetAgainAndCancelled) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(5);
        const auto cancelled = platform::createDeadlineTimer([] { ::_exit(3); });
        const auto cpuSeconds = [] { return std::clock() / double(CLOCKS_PER_SEC); };
        int fired = 0;
        double waitedFrom = 0;
        std::unique_ptr<platform::DeadlineTimer> timer;
        timer = platform::createDeadlineTimer([&] {
            if (fired == 3) {
                ::_exit(cpuSeconds() - waitedFrom < 0.05 ? 0 : 5);
            }
            waitedFrom = cpuSeconds();
            const double moments[] = {-978307198.25, -1e10, platform::calendarSeconds() + 0.5};
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
        std::thread([main = ::pthread_self()] {
            ::usleep(250000);
            ::pthread_kill(main, SIGUSR1);
        }).detach();
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
