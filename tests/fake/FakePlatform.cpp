#include "tests/fake/FakePlatform.hpp"

#include <memory>

#include "platform/clock.hpp"
#include "platform/files.hpp"
#include "platform/launchd.hpp"
#include "platform/power_sources.hpp"
#include "platform/registry.hpp"
#include "platform/run_loop.hpp"
#include "platform/settings.hpp"
#include "platform/this_process.hpp"

namespace {

FakePlatform& instance() {
    static FakePlatform platform;
    return platform;
}

std::string describe(const PropertyListValue& value) {
    if (const auto* boolean = value.as<bool>()) {
        return *boolean ? "true" : "false";
    }
    if (const auto* integer = value.as<std::int64_t>()) {
        return std::to_string(*integer);
    }
    if (const auto* text = value.as<std::string>()) {
        return "\"" + *text + "\"";
    }
    return "<object>";
}

std::string joined(const std::string& path, const std::vector<std::string>& arguments) {
    std::string line = path;
    for (const auto& argument : arguments) {
        line += " " + argument;
    }
    return line;
}

class FakeSuite : public platform::SettingsSuite {
  public:
    explicit FakeSuite(std::string name) : name_(std::move(name)) {}

    std::optional<PropertyListValue> objectForKey(const std::string& key) override {
        log("get " + key);
        const auto& suite = fake().suites[name_];
        const auto found = suite.find(key);
        std::optional<PropertyListValue> value;
        if (found != suite.end()) {
            value = found->second;
        }
        fake().reads.emplace_back(key, value);
        return value;
    }
    bool boolForKey(const std::string& key) override {
        const auto value = objectForKey(key);
        if (!value) {
            return false;
        }
        if (const auto* boolean = value->as<bool>()) {
            return *boolean;
        }
        if (const auto* integer = value->as<std::int64_t>()) {
            return *integer != 0;
        }
        return false;
    }
    std::optional<std::string> stringForKey(const std::string& key) override {
        const auto value = objectForKey(key);
        if (!value || !value->is<std::string>()) {
            return std::nullopt;
        }
        return *value->as<std::string>();
    }
    void setBoolForKey(bool value, const std::string& key) override {
        setObjectForKey(PropertyListValue(value), key);
    }
    void setObjectForKey(const std::optional<PropertyListValue>& value,
                         const std::string& key) override {
        auto& suite = fake().suites[name_];
        if (fake().suiteWritesFail || fake().suiteWritesIgnored) {
            log("dropped write of " + key);
            return;
        }
        if (!value) {
            log("remove " + key);
            suite.erase(key);
            return;
        }
        log("set " + key + "=" + describe(*value));
        suite[key] = *value;
    }
    bool synchronize() override {
        fake().calls.push_back("synchronize");
        ++fake().synchronizations;
        return !fake().suiteWritesFail;
    }

  private:
    void log(const std::string& line) {
        // The shared suite is the one nearly every test watches; others say their name.
        const bool shared = name_ == "org.vell.app.shared";
        fake().calls.push_back(shared ? line : line + " @" + name_);
    }

    std::string name_;
};

class FakeRunLoopSource : public platform::RunLoopSource {};

}  // namespace

FakePlatform& fake() {
    return instance();
}

void resetFake() {
    instance() = FakePlatform{};
}

PropertyListDictionary& FakePlatform::shared() {
    return suites["org.vell.app.shared"];
}

void FakePlatform::runMainQueue() {
    while (!mainQueue.empty()) {
        auto work = std::move(mainQueue.front());
        mainQueue.pop_front();
        work();
    }
}

std::vector<std::string> callsStartingWith(const std::vector<std::string>& prefixes) {
    std::vector<std::string> kept;
    for (const auto& call : fake().calls) {
        for (const auto& prefix : prefixes) {
            if (call.rfind(prefix, 0) == 0) {
                kept.push_back(call);
                break;
            }
        }
    }
    return kept;
}

namespace platform {

ChildOutcome runChild(const std::string& path,
                      const std::vector<std::string>& arguments,
                      const std::optional<std::map<std::string, std::string>>& environment) {
    FakePlatform& f = fake();
    f.calls.push_back("run " + joined(path, arguments));
    f.environments.push_back(environment);
    if (f.whileProgramRuns) {
        f.whileProgramRuns(path, arguments);
    }
    const bool isPmset = path == "/usr/bin/sudo" && arguments.size() == 5 &&
                         arguments[1] == "/usr/bin/pmset" && arguments[3] == "disablesleep";
    if (isPmset) {
        FakePmsetOutcome outcome;
        if (!f.pmsetOutcomes.empty()) {
            outcome = f.pmsetOutcomes.front();
            f.pmsetOutcomes.pop_front();
        }
        if (outcome.takesEffect) {
            f.sleepDisabled = arguments[4] == "1";
        }
        f.overrideAfterPmset.push_back(f.registryReading ? f.registryReading() : f.sleepDisabled);
        if (outcome.status == -1) {
            return {false, outcome.output, "", 0};
        }
        return {true, "", outcome.output, outcome.status};
    }
    const auto scripted = f.programs.find(path);
    if (scripted != f.programs.end()) {
        return scripted->second;
    }
    return {true, "", "", 0};
}

std::optional<bool> readRegistryTruthValue(const std::string& entryClass,
                                           const std::string& property) {
    fake().calls.push_back("registry");
    if (entryClass != "IOPMrootDomain" || property != "SleepDisabled") {
        return std::nullopt;
    }
    if (fake().registryReading) {
        return fake().registryReading();
    }
    return fake().sleepDisabled;
}

double monotonicSeconds() {
    return fake().now;
}

void pauseFor(double seconds) {
    fake().now += seconds;
    ++fake().pauses;
}

std::unique_ptr<SettingsSuite> openSettingsSuite(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos ||
        fake().unopenableSuites.count(name) != 0) {
        return nullptr;
    }
    return std::make_unique<FakeSuite>(name);
}

std::unique_ptr<SettingsSuite> standardSettings() {
    return std::make_unique<FakeSuite>("standard");
}

std::optional<std::vector<PropertyListDictionary>> copyPowerSourceDescriptions() {
    fake().calls.push_back("powerSources");
    return fake().powerSources;
}

ThermalState currentThermalState() {
    fake().calls.push_back("thermalState");
    return fake().thermalState;
}

bool fileExists(const std::string& path) {
    fake().calls.push_back("exists " + path);
    return fake().existingPaths.count(path) != 0;
}

std::optional<PropertyListDictionary> readDictionaryFile(const std::string& path) {
    fake().calls.push_back("read " + path);
    const auto found = fake().dictionaryFiles.find(path);
    if (found == fake().dictionaryFiles.end()) {
        return std::nullopt;
    }
    return found->second;
}

int ownExecutablePath(char* buffer, std::size_t size) {
    fake().calls.push_back("ownPath");
    const auto& path = fake().executablePath;
    if (!path) {
        return 0;
    }
    const std::size_t length = std::min(size, path->size());
    path->copy(buffer, length);
    return static_cast<int>(length);
}

std::uint32_t userId() {
    return fake().uid;
}

void exitProcess(int status) {
    fake().calls.push_back("exit " + std::to_string(status));
    fake().exits.push_back(status);
}

std::optional<std::string> registerAgentService(const std::string& plistName,
                                                const std::string& bundlePath) {
    fake().calls.push_back("register " + plistName + " " + bundlePath);
    fake().registeredAgents.insert(plistName);
    return std::nullopt;
}

AgentServiceStatus agentServiceStatus(const std::string& plistName, const std::string&) {
    if (fake().registeredAgents.count(plistName) == 0) {
        return AgentServiceStatus::notRegistered;
    }
    return fake().registeredStatus;
}

std::optional<std::string> unregisterAgentService(const std::string& plistName) {
    fake().calls.push_back("unregister " + plistName);
    fake().registeredAgents.erase(plistName);
    if (fake().unregistrationFails) {
        return "Operation not permitted";
    }
    return std::nullopt;
}

std::unique_ptr<RunLoopSource> createPowerSourceNotificationSource(RunLoopCallback callback,
                                                                   void* context) {
    fake().calls.push_back("createPowerSource");
    if (!fake().powerSourceAvailable) {
        return nullptr;
    }
    fake().powerSourceCallback = [callback, context] { callback(context); };
    return std::make_unique<FakeRunLoopSource>();
}

void addSourceToCurrentRunLoop(RunLoopSource&) {
    fake().calls.push_back("addSource");
}

void observeThermalStateChanges(std::function<void()> handler) {
    fake().calls.push_back("observeThermal");
    fake().thermalHandler = std::move(handler);
}

void performOnMainThread(std::function<void()> work) {
    fake().mainQueue.push_back(std::move(work));
}

void scheduleRepeatingTimer(double intervalSeconds, std::function<void()> tick) {
    fake().calls.push_back("scheduleTimer");
    fake().timerInterval = intervalSeconds;
    fake().timerTick = std::move(tick);
}

void runCurrentRunLoop() {
    fake().calls.push_back("runLoop");
}

}  // namespace platform
