// A scriptable platform for unit tests, linked in place of the real one.
// Tests set what each service answers and read back, in `calls`, what the
// logic asked of the platform in which order. Nothing here waits, spawns or
// touches a file.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/launchd.hpp"
#include "platform/process.hpp"
#include "platform/property_list.hpp"
#include "platform/thermal_state.hpp"

// What one run of "sudo -n pmset -a disablesleep X" does.
struct FakePmsetOutcome {
    std::int32_t status = 0;
    std::string output;
    // Whether the registry then reads the requested value.
    bool takesEffect = true;
};

struct FakePlatform {
    // Every call the logic made, e.g. "get vellWanted", "set vellWanted=false",
    // "run /usr/bin/sudo -n /usr/bin/pmset -a disablesleep 0", "registry".
    std::vector<std::string> calls;

    // Clock: pauses advance it, nothing else does.
    double now = 1000.0;
    int pauses = 0;

    // Registry: the reading of IOPMrootDomain/SleepDisabled.
    std::optional<bool> sleepDisabled = false;
    // When set, the reading comes from here instead, e.g. to change with time.
    std::function<std::optional<bool>()> registryReading;

    // Programs. sudo/pmset runs take their outcomes from `pmsetOutcomes` in
    // order; with none left they succeed and take effect. Other programs
    // answer from `programs`, or start, write nothing and exit 0.
    std::deque<FakePmsetOutcome> pmsetOutcomes;
    std::map<std::string, platform::ChildOutcome> programs;
    // Runs while a program runs, as the companion app might write meanwhile.
    std::function<void(const std::string& path, const std::vector<std::string>& arguments)>
        whileProgramRuns;
    std::vector<std::optional<std::map<std::string, std::string>>> environments;
    // For each sudo/pmset run: the override as the registry reads right after it.
    std::vector<std::optional<bool>> overrideAfterPmset;

    // Settings: suites by name; the standard defaults are "standard".
    std::map<std::string, PropertyListDictionary> suites;
    std::set<std::string> unopenableSuites;
    // Writes are dropped and synchronizing fails, as with a read-only disk.
    bool suiteWritesFail = false;
    // Writes are dropped though synchronizing succeeds, as with a value a profile enforces.
    bool suiteWritesIgnored = false;
    // Every settings read, with what it found.
    std::vector<std::pair<std::string, std::optional<PropertyListValue>>> reads;
    int synchronizations = 0;

    // Power sources and thermal state.
    std::optional<std::vector<PropertyListDictionary>> powerSources =
        std::vector<PropertyListDictionary>{};
    platform::ThermalState thermalState = platform::ThermalState::nominal;

    // Files.
    std::set<std::string> existingPaths;
    std::map<std::string, PropertyListDictionary> dictionaryFiles;

    // The running process.
    std::optional<std::string> executablePath;
    std::uint32_t uid = 501;
    std::vector<int> exits;

    // launchd.
    std::set<std::string> registeredAgents;
    bool unregistrationFails = false;
    // The status of a registered agent; one not registered reads notRegistered.
    platform::AgentServiceStatus registeredStatus = platform::AgentServiceStatus::enabled;

    // Run loop: what the logic installed, for tests to fire.
    std::function<void()> powerSourceCallback;
    bool powerSourceAvailable = true;
    std::function<void()> thermalHandler;
    std::function<void()> timerTick;
    double timerInterval = 0;
    std::deque<std::function<void()>> mainQueue;

    PropertyListDictionary& shared();
    void runMainQueue();
};

// The one fake, reset by `resetFake()` before each test.
FakePlatform& fake();
void resetFake();

// The log entries that start with one of `prefixes`, in order.
std::vector<std::string> callsStartingWith(const std::vector<std::string>& prefixes);
