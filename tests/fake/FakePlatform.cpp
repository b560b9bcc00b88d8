#include "tests/fake/FakePlatform.hpp"

#include <algorithm>
#include <iterator>
#include <memory>

#include "platform/clock.hpp"
#include "platform/files.hpp"
#include "platform/groups.hpp"
#include "platform/launchd.hpp"
#include "platform/power_sources.hpp"
#include "platform/registry.hpp"
#include "platform/run_loop.hpp"
#include "platform/settings.hpp"
#include "platform/suite_lock.hpp"
#include "platform/this_process.hpp"

namespace {

void log(std::string line) {
    fake().calls.push_back(std::move(line));
}

std::string describe(const PropertyListValue& value) {
    if (const auto* boolean = value.as<bool>()) {
        return *boolean ? "true" : "false";
    }
    if (const auto* integer = value.as<std::int64_t>()) {
        return std::to_string(*integer);
    }
    const auto* text = value.as<std::string>();
    return text ? "\"" + *text + "\"" : "<object>";
}

class FakeSuite : public platform::SettingsSuite {
  public:
    explicit FakeSuite(std::string name) : name_(std::move(name)) {}

    std::optional<PropertyListValue> objectForKey(const std::string& key) override {
        log("get " + key);
        const auto& suite = fake().suites[name_];
        const auto found = suite.find(key);
        return found == suite.end() ? std::nullopt : std::optional(found->second);
    }
    bool boolForKey(const std::string& key) override { return typed<bool>(key).value_or(false); }
    std::optional<std::string> stringForKey(const std::string& key) override {
        return typed<std::string>(key);
    }
    void setBoolForKey(bool value, const std::string& key) override {
        setObjectForKey(PropertyListValue(value), key);
    }
    void setObjectForKey(const std::optional<PropertyListValue>& value,
                         const std::string& key) override {
        if (fake().suiteWritesFail || fake().suiteWritesIgnored) {
            return;
        }
        auto& suite = fake().suites[name_];
        if (!value) {
            log("remove " + key);
            suite.erase(key);
            return;
        }
        log("set " + key + "=" + describe(*value));
        suite[key] = *value;
    }
    bool synchronize() override {
        log("synchronize");
        if (fake().onSynchronize) {
            fake().onSynchronize();
        }
        return !fake().suiteWritesFail;
    }
    bool isForced(const std::string& key) override { return fake().forcedKeys.count(key) != 0; }

  private:
    template <typename T>
    std::optional<T> typed(const std::string& key) {
        const auto value = objectForKey(key);
        const auto* held = value ? value->as<T>() : nullptr;
        return held ? std::optional(*held) : std::nullopt;
    }

    std::string name_;
};

}  // namespace

FakePlatform& fake() {
    static FakePlatform platform;
    return platform;
}

void resetFake() {
    fake() = FakePlatform{};
}

std::vector<std::string> callsStartingWith(const std::vector<std::string>& prefixes) {
    std::vector<std::string> kept;
    std::ranges::copy_if(fake().calls, std::back_inserter(kept), [&](const std::string& call) {
        return std::ranges::any_of(prefixes, [&](const auto& p) { return call.starts_with(p); });
    });
    return kept;
}

PropertyListDictionary internalBattery(PropertyListValue current,
                                       PropertyListValue maximum,
                                       PropertyListDictionary changes) {
    changes.merge(PropertyListDictionary{{"Type", "InternalBattery"},
                                         {"Current Capacity", std::move(current)},
                                         {"Max Capacity", std::move(maximum)},
                                         {"Power Source State", "Battery Power"}});
    return changes;
}

namespace platform {

ChildOutcome runChild(const std::string& path,
                      const std::vector<std::string>& arguments,
                      const std::optional<std::map<std::string, std::string>>&) {
    FakePlatform& f = fake();
    std::string line = "run " + path;
    for (const auto& argument : arguments) {
        line += " " + argument;
    }
    log(line);
    if (f.whileProgramRuns) {
        f.whileProgramRuns(arguments);
    }
    if (!line.starts_with("run /usr/bin/sudo -n /usr/bin/pmset -a disablesleep ")) {
        const auto scripted = f.programs.find(path);
        return scripted == f.programs.end() ? ChildOutcome{true, "", "", 0} : scripted->second;
    }
    FakePmsetOutcome outcome;
    if (!f.pmsetOutcomes.empty()) {
        outcome = f.pmsetOutcomes.front();
        f.pmsetOutcomes.pop_front();
    }
    if (outcome.takesEffect) {
        f.sleepDisabled = arguments.back() == "1";
    }
    return outcome.status == -1 ? ChildOutcome{false, outcome.output, "", 0}
                                : ChildOutcome{true, "", outcome.output, outcome.status};
}

std::optional<bool> readRegistryTruthValue(const std::string& entryClass,
                                           const std::string& property) {
    FakePlatform& f = fake();
    log("registry");
    if (++f.registryReads > 10000) {
        f.endedAWait = true;
        f.now += 1e9;
        return f.registryReads % 2 == 0;
    }
    if (entryClass != "IOPMrootDomain" || property != "SleepDisabled") {
        return std::nullopt;
    }
    return f.registryReading ? f.registryReading() : f.sleepDisabled;
}

double monotonicSeconds() {
    return fake().now;
}

double calendarSeconds() {
    return fake().calendarNow;
}

void pauseFor(double seconds) {
    fake().now += seconds;
    fake().calendarNow += seconds;
}

std::int64_t ownProcessId() {
    return fake().ownPid;
}

std::optional<std::int64_t> processStartTime(std::int64_t pid) {
    const auto found = fake().processes.find(pid);
    return found == fake().processes.end() ? std::nullopt : std::optional(found->second);
}

// Logged, so that tests see what happened while it was held.
class FakeSuiteLock : public SuiteLock {
  public:
    FakeSuiteLock() { log("lock"); }
    ~FakeSuiteLock() override { log("unlock"); }
};

std::unique_ptr<SuiteLock> lockSettingsSuite(const std::string&) {
    return std::make_unique<FakeSuiteLock>();
}

std::unique_ptr<SettingsSuite> openSettingsSuite(const std::string& name) {
    return fake().unopenableSuites.count(name) != 0 ? nullptr : std::make_unique<FakeSuite>(name);
}

std::unique_ptr<SettingsSuite> standardSettings() {
    return std::make_unique<FakeSuite>("standard");
}

std::shared_ptr<const PowerSourceDescriptions> copyPowerSourceDescriptions() {
    log("powerSources");
    if (!fake().powerSources) {
        return nullptr;
    }
    return std::make_shared<const PowerSourceDescriptions>(*fake().powerSources);
}

ThermalState currentThermalState() {
    log("thermalState");
    return fake().thermalState;
}

bool fileExists(const std::string& path) {
    return fake().existingPaths.count(path) != 0;
}

std::shared_ptr<const PropertyListDictionary> readDictionaryFile(const std::string& path) {
    const auto found = fake().dictionaryFiles.find(path);
    if (found == fake().dictionaryFiles.end()) {
        return nullptr;
    }
    return std::make_shared<const PropertyListDictionary>(found->second);
}

int ownExecutablePath(char* buffer, std::size_t size) {
    const auto& path = fake().executablePath;
    return path ? static_cast<int>(path->copy(buffer, size)) : 0;
}

std::uint32_t userId() {
    return fake().uid;
}

std::optional<bool> userIsInGroup(std::uint32_t, const std::string& group) {
    return group == "admin" ? fake().inAdminGroup : std::nullopt;
}

void exitProcess(int status) {
    log("exit " + std::to_string(status));
}

std::optional<std::string> registerAgentService(const std::string& plistName,
                                                const std::string& bundlePath) {
    log("register " + plistName + " " + bundlePath);
    fake().registeredAgents.insert(plistName);
    return fake().registrationError;
}

AgentServiceStatus agentServiceStatus(const std::string& plistName, const std::string&) {
    const bool registered = fake().registeredAgents.count(plistName) != 0;
    return registered ? fake().registeredStatus : AgentServiceStatus::notRegistered;
}

std::optional<std::string> unregisterAgentService(const std::string& plistName) {
    log("unregister " + plistName);
    fake().registeredAgents.erase(plistName);
    return fake().unregistrationFails ? std::optional("Operation not permitted") : std::nullopt;
}

std::unique_ptr<RunLoopSource> createPowerSourceNotificationSource(RunLoopCallback callback,
                                                                   void* context) {
    log("createPowerSource");
    if (!fake().powerSourceAvailable) {
        return nullptr;
    }
    fake().powerSourceCallback = [callback, context] { callback(context); };
    return std::make_unique<RunLoopSource>();
}

void addSourceToCurrentRunLoop(RunLoopSource&) {
    log("addSource");
}

void observeThermalStateChanges(std::function<void()> handler) {
    log("observeThermal");
    fake().thermalHandler = std::move(handler);
}

void performOnMainThread(std::function<void()> work) {
    fake().mainQueue.push_back(std::move(work));
}

void scheduleRepeatingTimer(double intervalSeconds, std::function<void()> tick) {
    log("scheduleTimer");
    fake().timerInterval = intervalSeconds;
    fake().timerTick = std::move(tick);
}

void observeTerminationSignals(std::function<void()> handler) {
    log("observeTermination");
    fake().terminationHandler = std::move(handler);
}

class FakeDeadlineTimer : public DeadlineTimer {
  public:
    void fireAt(double calendarSeconds) override { fake().deadlineSetFor = calendarSeconds; }
    void cancel() override { fake().deadlineSetFor.reset(); }
};

std::unique_ptr<DeadlineTimer> createDeadlineTimer(std::function<void()> fire) {
    fake().deadlineFire = std::move(fire);
    return std::make_unique<FakeDeadlineTimer>();
}

void runCurrentRunLoop() {
    log("runLoop");
}

ForegroundOutcome runInForeground(const std::vector<std::string>& command) {
    std::string line = "foreground";
    for (const auto& word : command) {
        line += " " + word;
    }
    log(line);
    return fake().foregroundOutcome;
}

}  // namespace platform
