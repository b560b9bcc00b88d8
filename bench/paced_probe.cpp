// What one power event costs the agent, next to what it costs the floor
// probe (bench/floor_probe.cpp), both running side by side in one simulated
// Mac and woken by the same writes. One battery attribute is written every
// few milliseconds, far enough apart that each write is handled on its own.
// Each process's CPU time (user and system, from the scheduler's own count)
// is taken before and after a round; the figure is per event.
//   paced_probe cpu [events] [rounds] [interval ms]      (1000, 3, 3)
//   paced_probe syscalls [events] [interval ms]          (strace -c on both)
//   paced_probe instructions [events] [interval ms]      (callgrind on both)
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "VellShared/Preferences.hpp"
#include "tests/support/AgentProcess.hpp"
#include "tests/support/Eventually.hpp"
#include "tests/support/SimulatedMac.hpp"

namespace fs = std::filesystem;

namespace {

struct Usage {
    long long cpuNanoseconds = 0;
    long long wakeups = 0;
};

// The scheduler's count of CPU time and voluntary switches of every thread.
Usage usageOf(pid_t pid) {
    Usage usage;
    std::error_code error;
    for (const auto& task :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        long long onCpu = 0;
        schedstat >> onCpu;
        usage.cpuNanoseconds += onCpu;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                usage.wakeups += std::stoll(line.substr(line.find(':') + 1));
            }
        }
    }
    return usage;
}

void writeAttribute(const std::string& path, const char* value) {
    std::ofstream(path, std::ios::trunc) << value;
}

void sleepUntil(std::chrono::steady_clock::time_point when) {
    const auto since = when.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    const timespec until{static_cast<time_t>(seconds.count()),
                         static_cast<long>((since - seconds).count())};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

class Bench {
  public:
    Bench(const std::vector<std::string>& agentWrapper,
          const std::vector<std::string>& floorWrapper)
        : root_("VELL_SYSTEM_ROOT", mac_.root()), home_("HOME", mac_.home()) {
        mac_.installApp(VELL_APP_DIR, "/Applications/Vell.app");
        // A normal night: owned, wanted, already on, no cutoff.
        VellPreferences::setWanted(true);
        VellPreferences::setOwnsOverride(true);
        mac_.setSleepDisabledReading("<true/>");
        // Files settled, as they are on a Mac that has been up a while.
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        agent_ = start(
            wrapped(agentWrapper, {mac_.at("/Applications/Vell.app/Contents/MacOS/VellDealer")}));
        floor_ = start(wrapped(floorWrapper, {VELL_FLOOR_PROBE, mac_.root(), mac_.home()}));
    }

    bool ready() {
        return eventually([&] { return agent_->listening() && bothIdle(); },
                          std::chrono::seconds(60));
    }

    pid_t agent() const { return agent_->pid(); }
    pid_t floor() const { return floor_->pid(); }

    // `events` writes to the battery's capacity, `interval` apart, between
    // two moments when both processes have handled everything.
    std::pair<Usage, Usage> round(int events, std::chrono::microseconds interval) {
        waitUntilBothIdle();
        const Usage agentBefore = usageOf(agent()), floorBefore = usageOf(floor());
        const std::string capacity = mac_.at("/sys/class/power_supply/BAT0/capacity");
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < events; ++i) {
            sleepUntil(start + interval * i);
            writeAttribute(capacity, i % 2 == 0 ? "79\n" : "80\n");
        }
        waitUntilBothIdle();
        const Usage agentAfter = usageOf(agent()), floorAfter = usageOf(floor());
        return {{agentAfter.cpuNanoseconds - agentBefore.cpuNanoseconds,
                 agentAfter.wakeups - agentBefore.wakeups},
                {floorAfter.cpuNanoseconds - floorBefore.cpuNanoseconds,
                 floorAfter.wakeups - floorBefore.wakeups}};
    }

    bool bothRunning() { return agent_->running() && floor_->running(); }

  private:
    static std::vector<std::string> wrapped(std::vector<std::string> wrapper,
                                            const std::vector<std::string>& command) {
        wrapper.insert(wrapper.end(), command.begin(), command.end());
        return wrapper;
    }

    std::unique_ptr<AgentProcess> start(const std::vector<std::string>& command) {
        return std::make_unique<AgentProcess>(
            command.front(), mac_.environment(),
            std::vector<std::string>(command.begin() + 1, command.end()));
    }

    bool bothIdle() const { return agent_->idle() && floor_->idle(); }

    // Idle twice, a little apart: nothing was still on its way.
    void waitUntilBothIdle() {
        for (int settled = 0; settled < 2;) {
            settled = bothIdle() ? settled + 1 : 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    SimulatedMac mac_;
    ScopedEnvironment root_;
    ScopedEnvironment home_;
    std::unique_ptr<AgentProcess> agent_;
    std::unique_ptr<AgentProcess> floor_;
};

double perEvent(long long total, int events) {
    return static_cast<double>(total) / events;
}

int measureCpu(int events, int rounds, std::chrono::microseconds interval) {
    Bench bench({}, {});
    if (!bench.ready()) {
        std::fprintf(stderr, "paced_probe: the agent or the floor probe never settled\n");
        return 1;
    }
    std::vector<double> ratios;
    for (int r = 1; r <= rounds; ++r) {
        const auto [agent, floor] = bench.round(events, interval);
        const double agentMicros = perEvent(agent.cpuNanoseconds, events) / 1000;
        const double floorMicros = perEvent(floor.cpuNanoseconds, events) / 1000;
        ratios.push_back(agentMicros / floorMicros);
        std::printf(
            "round %d: agent %.1f us, floor %.1f us of CPU per event: %.2fx "
            "(wake-ups per event: agent %.2f, floor %.2f)\n",
            r, agentMicros, floorMicros, ratios.back(), perEvent(agent.wakeups, events),
            perEvent(floor.wakeups, events));
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("paced ratio, median of %d rounds: %.2fx\n", rounds, ratios[ratios.size() / 2]);
    return bench.bothRunning() ? 0 : 1;
}

// strace -c's table as system call name to calls.
std::map<std::string, long> callsIn(const std::string& table) {
    std::map<std::string, long> calls;
    std::ifstream lines(table);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;) {
            words.push_back(word);
        }
        if (words.size() >= 5 && std::isdigit(static_cast<unsigned char>(words[0][0]))) {
            calls[words.back()] = std::atol(words[3].c_str());
        }
    }
    return calls;
}

pid_t spawnStrace(pid_t traced, const std::string& table) {
    const pid_t tracer = ::fork();
    if (tracer == 0) {
        const std::string pid = std::to_string(traced);
        ::execlp("strace", "strace", "-c", "-f", "-o", table.c_str(), "-p", pid.c_str(),
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return tracer;
}

bool traced(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("TracerPid:", 0) == 0) {
            return std::stol(line.substr(10)) != 0;
        }
    }
    return false;
}

void printCalls(const char* who, const std::map<std::string, long>& calls, int events) {
    std::string detail;
    for (const auto& [name, count] : calls) {
        if (name != "total") {
            char part[64];
            std::snprintf(part, sizeof part, "%s%s %.1f", detail.empty() ? "" : ", ", name.c_str(),
                          perEvent(count, events));
            detail += part;
        }
    }
    const auto total = calls.find("total");
    std::printf("%s: %.1f system calls per event (%s)\n", who,
                perEvent(total == calls.end() ? 0 : total->second, events), detail.c_str());
}

int measureSyscalls(int events, std::chrono::microseconds interval) {
    Bench bench({}, {});
    if (!bench.ready()) {
        std::fprintf(stderr, "paced_probe: the agent or the floor probe never settled\n");
        return 1;
    }
    const TempDir tables;
    const std::string agentTable = tables.path() + "/agent", floorTable = tables.path() + "/floor";
    const pid_t agentTracer = spawnStrace(bench.agent(), agentTable);
    const pid_t floorTracer = spawnStrace(bench.floor(), floorTable);
    if (!eventually([&] { return traced(bench.agent()) && traced(bench.floor()); })) {
        std::fprintf(stderr, "paced_probe: strace never attached\n");
        return 1;
    }
    bench.round(events, interval);
    for (const pid_t tracer : {agentTracer, floorTracer}) {
        ::kill(tracer, SIGINT);
        ::waitpid(tracer, nullptr, 0);
    }
    printCalls("agent", callsIn(agentTable), events);
    printCalls("floor", callsIn(floorTable), events);
    return 0;
}

// The instructions of the last dump of a callgrind profile.
long long instructionsIn(const std::string& profile) {
    std::ifstream lines(profile);
    long long total = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("totals:", 0) == 0 || line.rfind("summary:", 0) == 0) {
            total = std::atoll(line.substr(line.find(':') + 1).c_str());
        }
    }
    return total;
}

// The instructions spent inside the allocator (malloc, free and their
// helpers in glibc's malloc.c), from callgrind_annotate's exclusive costs.
long long allocatorInstructions(const std::string& profile) {
    const std::string command = "callgrind_annotate --threshold=100 '" + profile + "' 2>/dev/null";
    std::FILE* annotate = ::popen(command.c_str(), "r");
    if (annotate == nullptr) {
        return 0;
    }
    long long total = 0;
    char line[4096];
    while (std::fgets(line, sizeof line, annotate) != nullptr) {
        const std::string text = line;
        if (text.find("malloc/malloc.c:") == std::string::npos &&
            text.find("malloc/arena.c:") == std::string::npos) {
            continue;
        }
        std::string digits;
        for (const char c : text.substr(0, text.find('('))) {
            if (std::isdigit(static_cast<unsigned char>(c))) {
                digits += c;
            }
        }
        total += std::atoll(digits.c_str());
    }
    ::pclose(annotate);
    return total;
}

int runTool(const std::vector<std::string>& command) {
    std::string line;
    for (const auto& word : command) {
        line += "'" + word + "' ";
    }
    return std::system((line + ">/dev/null 2>&1").c_str());
}

int measureInstructions(int events, std::chrono::microseconds interval) {
    const TempDir profiles;
    const auto callgrind = [&](const std::string& who) {
        return std::vector<std::string>{"/usr/bin/valgrind", "--tool=callgrind", "-q",
                                        "--callgrind-out-file=" + profiles.path() + "/" + who};
    };
    Bench bench(callgrind("agent"), callgrind("floor"));
    if (!bench.ready()) {
        std::fprintf(stderr, "paced_probe: the agent or the floor probe never settled\n");
        return 1;
    }
    for (const pid_t pid : {bench.agent(), bench.floor()}) {
        runTool({"callgrind_control", "--zero", std::to_string(pid)});
    }
    const auto [agent, floor] = bench.round(events, interval);
    for (const pid_t pid : {bench.agent(), bench.floor()}) {
        runTool({"callgrind_control", "--dump", std::to_string(pid)});
    }
    for (const auto& [who, usage] : {std::pair{"agent", agent}, std::pair{"floor", floor}}) {
        std::string last;
        for (const auto& entry : fs::directory_iterator(profiles.path())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(who, 0) == 0 && name > last) {
                last = name;
            }
        }
        const std::string profile = profiles.path() + "/" + last;
        const long long instructions = instructionsIn(profile);
        std::printf(
            "%s: %.0f instructions per event, %.0f %% of them in malloc and free "
            "(wake-ups per event %.2f)\n",
            who, perEvent(instructions, events),
            100.0 * static_cast<double>(allocatorInstructions(profile)) /
                static_cast<double>(std::max(1LL, instructions)),
            perEvent(usage.wakeups, events));
        if (const char* keep = std::getenv("VELL_KEEP_PROFILES")) {
            fs::copy_file(profile, fs::path(keep) / (std::string(who) + ".callgrind"),
                          fs::copy_options::overwrite_existing);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "cpu";
    const auto number = [&](int at, int otherwise) {
        return argc > at ? std::atoi(argv[at]) : otherwise;
    };
    const int events = std::max(1, number(2, 1000));
    if (mode == "cpu") {
        return measureCpu(events, std::max(1, number(3, 3)),
                          std::chrono::milliseconds(number(4, 3)));
    }
    if (mode == "syscalls") {
        return measureSyscalls(events, std::chrono::milliseconds(number(3, 3)));
    }
    if (mode == "instructions") {
        return measureInstructions(events, std::chrono::milliseconds(number(3, 30)));
    }
    std::fprintf(stderr, "usage: paced_probe cpu|syscalls|instructions [events] ...\n");
    return 2;
}
