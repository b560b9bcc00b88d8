// Linked into unit tests instead of the platform: tests script what each service answers and
// read back in `calls` what the logic asked. Nothing here waits, spawns or touches a file.
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
    std::int32_t status = 0;  // -1: it could not start, and `output` is why
    std::string output;
    bool takesEffect = true;  // whether the registry then reads the requested value
};

struct FakePlatform {
    std::vector<std::string> calls;  // every call the logic made: "get vellWanted", "exit 0"...

    double now = 1000.0;               // only pauses advance it
    double calendarNow = 800000000.0;  // seconds since 2001, also advanced by pauses
    // A wait that never ends would hang the tests: past 10000 registry reads
    // the fake moves the clock far on, answers both values in turn, and says so.
    int registryReads = 0;
    bool endedAWait = false;

    // The reading of IOPMrootDomain/SleepDisabled, or `registryReading`'s when set.
    std::optional<bool> sleepDisabled = false;
    std::function<std::optional<bool>()> registryReading;

    // sudo/pmset runs take their outcomes from `pmsetOutcomes` in order, then
    // succeed; other programs answer from `programs`, or exit 0 silently.
    std::deque<FakePmsetOutcome> pmsetOutcomes;
    std::map<std::string, platform::ChildOutcome> programs;
    // Runs while a program runs, as the companion app might write meanwhile.
    std::function<void(const std::vector<std::string>& arguments)> whileProgramRuns;

    std::map<std::string, PropertyListDictionary> suites;  // by name; the defaults: "standard"
    std::set<std::string> unopenableSuites;
    bool suiteWritesFail = false;  // as on a read-only disk
    // Writes are dropped though synchronizing succeeds, as with a value a profile enforces.
    bool suiteWritesIgnored = false;
    std::function<void()> onSynchronize;  // another process writing as a flush completes
    std::set<std::string> forcedKeys;     // by a configuration profile, in every suite

    std::optional<std::vector<PropertyListDictionary>> powerSources{std::in_place};
    platform::ThermalState thermalState = platform::ThermalState::nominal;

    std::set<std::string> existingPaths;
    std::map<std::string, PropertyListDictionary> dictionaryFiles;
    std::optional<std::string> executablePath;
    std::uint32_t uid = 501;
    std::optional<bool> inAdminGroup = true;

    std::set<std::string> registeredAgents;
    bool unregistrationFails = false;
    // The status of a registered agent; one not registered reads notRegistered.
    platform::AgentServiceStatus registeredStatus = platform::AgentServiceStatus::enabled;

    // Run loop: what the logic installed, for tests to fire.
    std::function<void()> powerSourceCallback, thermalHandler, timerTick, terminationHandler;
    bool powerSourceAvailable = true;
    double timerInterval = 0;
    std::deque<std::function<void()>> mainQueue;
    // The deadline timer: what fires it, and the moment it is set for.
    std::function<void()> deadlineFire;
    std::optional<double> deadlineSetFor;

    // Running processes by id, with their start times; this one is `ownPid`.
    std::map<std::int64_t, std::int64_t> processes{{4242, 77}};
    std::int64_t ownPid = 4242;

    PropertyListDictionary& shared() { return suites["org.vell.app.shared"]; }

    // What runInForeground answers, after logging "foreground" and the command's words.
    platform::ForegroundOutcome foregroundOutcome{true, "", 0};
    // What the service manager says when registering, besides registering.
    std::optional<std::string> registrationError;
};

FakePlatform& fake();
void resetFake();

std::vector<std::string> callsStartingWith(const std::vector<std::string>& prefixes);

// A power source description of an internal battery on battery power, but for `changes`.
PropertyListDictionary internalBattery(PropertyListValue current,
                                       PropertyListValue maximum,
                                       PropertyListDictionary changes = {});
