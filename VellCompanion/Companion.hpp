// What the companion app shows and does, for both of its faces: the menu-bar
// app and vell. Every read goes to the platform afresh; nothing is cached.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "VellShared/Holds.hpp"
#include "VellShared/SafetyCutoff.hpp"
#include "platform/launchd.hpp"
#include "platform/thermal_state.hpp"

namespace VellCompanion {

// The rule that lets the admin group turn the override on and off without a
// password; packaging/vell-pmset.sudoers holds the same line.
inline constexpr const char* pmsetRule =
    "%admin ALL = (root) NOPASSWD: /usr/bin/pmset -a disablesleep 0, "
    "/usr/bin/pmset -a disablesleep 1";

// The same rule for a user who is not an administrator, by numeric user id,
// so that no name can bring anything else into the file.
std::string pmsetRuleForUser(std::uint32_t uid);

// Why the menu shows a setting disabled, and why vell refuses to change it.
inline constexpr const char* managedSettingNote =
    "set by your organization's configuration profile";

// Where the user approves login items.
inline constexpr const char* loginItemsPlace = "System Settings › General › Login Items";

struct State {
    bool wanted = false;
    bool ownsOverride = false;
    // The override: on, off, or absent when it can't be read.
    std::optional<bool> sleepDisabled;
    std::optional<std::string> cutoffReason;
    std::optional<SafetyCutoff::Battery> battery;
    platform::ThermalState thermalState = platform::ThermalState::nominal;
    bool lowBatteryCutoff = true;
    // A configuration profile forces the low-battery cutoff: no change holds.
    bool lowBatteryCutoffManaged = false;
    std::int64_t lowBatteryThreshold = SafetyCutoff::batteryThreshold;
    // When the wish ends, in seconds since 2001-01-01 UTC; absent for a wish
    // without an end, and without a wish.
    std::optional<double> wantedUntil;
    platform::AgentServiceStatus registration = platform::AgentServiceStatus::notRegistered;
    bool agentRunning = false;
    bool passwordlessPmset = false;
    // Whether the user is an administrator, whom the packaged rule covers;
    // absent when the user database can't tell.
    std::optional<bool> inAdminGroup;
};

// The app bundle around the running executable; absent when its path can't
// be had.
std::optional<std::string> ownBundlePath();

// The override alone, as it reads now: cheap enough for a timer.
std::optional<bool> readOverride();

// `state` with the settings, the override, the battery and the thermal state
// read afresh. Runs no program: cheap enough for a timer.
State withSettingsAndMachine(State state);

// `state` with the agent's registration, whether it runs and password-less
// pmset read afresh. Asks launchctl and sudo.
State withAgent(State state, const std::optional<std::string>& bundlePath);

// Everything at once, as it is now.
State readState(const std::optional<std::string>& bundlePath);

struct Check {
    std::string name;
    // How to put it right, one line; absent when the check passed.
    std::optional<std::string> fix;
};

// Every check, in order: the app's place, the agent's registration, the
// agent running, password-less pmset, the override readable, the settings
// writable. The last one writes a key of its own and removes it again.
std::vector<Check> runChecks(const std::optional<std::string>& bundlePath, const State& state);

// A first launch: registers the agent unless the app lies where it can't
// stay (the first check), gives launchd a few seconds to start it, then runs
// every check.
std::vector<Check> registerAndCheck(const std::optional<std::string>& bundlePath);

// Writes the wish (and, turning on, the agent's ownership) through to
// storage. False when the write did not hold, or, for the cutoff, when a
// configuration profile forces it (nothing is written then).
bool setKeepAwake(bool on);
bool setLowBatteryCutoff(bool on);
bool lowBatteryCutoffIsManaged();

// "90s", "45m", "2h", "1h30m" in seconds: hours, minutes and seconds, in
// that order and each at most once; absent for anything else, for none and
// for more than a year.
std::optional<double> parseDuration(const std::string& text);
// A whole percentage from 1 to 99 in one or two decimal digits; absent for
// anything else.
std::optional<std::int64_t> parsePercent(const std::string& text);

// Keeps the Mac awake for `seconds` from now, after which the agent
// withdraws the wish; false when the write did not hold. setKeepAwake()
// ends any such time limit.
bool setKeepAwakeFor(double seconds);
// Seconds until a timed wish ends, none below 0; absent without one.
std::optional<double> secondsLeft(const State& state);

// The cutoff at `percent` (1 to 99) battery, which also turns it on; false
// when the write did not hold.
bool setLowBatteryThreshold(std::int64_t percent);

// A hold on keep-awake for the life of this process (vell run); absent, and
// nothing held, when the suite did not take it.
std::optional<Holds::Hold> holdKeepAwake();
// Ends the hold; the last one withdraws a wish that only the holds raised.
void releaseKeepAwake(const std::optional<Holds::Hold>& hold);

enum class WaitOutcome { confirmed, cutOff, timedOut };

// Waits until the override reads `on`, or the agent withdraws a wish to keep
// awake (a safety cutoff), or `timeoutSeconds` have passed. Waiting for on,
// it grants the agent ownership again when a turn-off that crossed the wish
// gave it up.
WaitOutcome waitForOverride(bool on, double timeoutSeconds);

struct RegistrationOutcome {
    platform::AgentServiceStatus status = platform::AgentServiceStatus::notRegistered;
    // What the service manager said when it refused.
    std::optional<std::string> error;
    // Enabled, or waiting for the user's approval.
    bool succeeded() const;
};

// Registers the agent and reports where it stands afterwards.
RegistrationOutcome registerAgent(const std::string& bundlePath);

struct UnregistrationOutcome {
    bool wasRegistered = false;
    std::optional<std::string> error;
};

// Unregisters the agent; one that is not registered is left as it is. An
// override the agent owns that is on is turned off first, so that no Mac is
// left not sleeping with nothing guarding it: by the running agent, as `vell
// off` asks it, else (or when it does not act within `agentWaitSeconds`)
// directly; the wish and the ownership are withdrawn. When sleep can't be
// restored the agent stays registered, and `error` says why.
UnregistrationOutcome unregisterAgent(const std::string& bundlePath,
                                      double agentWaitSeconds = 20.0);

struct SetUpOutcome {
    // The user dismissed the administrator prompt; nothing changed.
    bool canceled = false;
    // What went wrong, for the user; absent on success and on a cancel.
    std::optional<std::string> error;
};

// The shell script that installs `rule` as `ruleFile`, run as root: what the
// administrator prompt runs, and what a Mac's CI runs through sudo.
std::string privilegedSetUpScript(const std::string& rule, const std::string& ruleFile);

// Installs the password-less pmset rule after one administrator prompt: the
// admin group's, or for a user outside it one for their user id. The script
// refuses when sudo would ignore the rule (no includedir line in
// /etc/sudoers, a sudoers.d that is not root's alone) and says so; after it,
// the check runs again, and a rule that still does not let pmset run
// without a password is an error too.
SetUpOutcome setUpPasswordlessPmset();

}  // namespace VellCompanion
