#include "VellCompanion/Companion.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <string_view>
#include <utility>

#include "VellCompanion/SudoListing.hpp"
#include "VellDealer/ExecutablePath.hpp"
#include "VellDealer/VellDealer.hpp"
#include "VellShared/PowerTool.hpp"
#include "VellShared/Preferences.hpp"
#include "VellShared/Utf8.hpp"
#include "platform/clock.hpp"
#include "platform/groups.hpp"
#include "platform/this_process.hpp"

namespace VellCompanion {
namespace {

using platform::AgentServiceStatus;

constexpr const char* writeCheckKey = "vellWriteCheck";
constexpr double pauseBetweenReads = 0.25;
constexpr double longestTimedWish = 366 * 24 * 3600.0;
// How long launchd may take to start a job it was just given.
constexpr double agentStartAllowance = 3.0;
// What osascript says when the user dismisses the administrator prompt.
constexpr const char* userCanceled = "(-128)";
// What osascript puts before the message of a script that failed.
constexpr std::string_view scriptFailed = "execution error: ";
constexpr const char* adminGroup = "admin";

std::string plistName() {
    return std::string(agentLabel) + ".plist";
}

std::string launchdTarget() {
    return "gui/" + std::to_string(platform::userId()) + "/" + agentLabel;
}

bool agentIsRunning() {
    const CommandResult result = PowerTool::run("/bin/launchctl", {"print", launchdTarget()});
    if (result.code != 0) {
        return false;
    }
    // Character by character, so that no scan can stall on a line.
    std::string line;
    for (const char c : result.output + '\n') {
        if (c != '\n') {
            line += c;
            continue;
        }
        if (trimWhitespaceAndNewlines(line) == "state = running") {
            return true;
        }
        line.clear();
    }
    return false;
}

// -k: a password the user typed a moment ago in this terminal must not count,
// since the agent has none. A listing that needs a password fails.
bool pmsetRunsWithoutPassword() {
    const CommandResult listing = PowerTool::run("/usr/bin/sudo", {"-k", "-n", "-l"});
    return listing.code == 0 && listingLetsPmsetRunWithoutPassword(listing.output);
}

std::string lastComponent(const std::string& path) {
    const std::string parent = deletingLastPathComponent(path);
    const std::size_t start = parent == "/" ? 1 : parent.size() + 1;
    return start < path.size() ? path.substr(start) : std::string();
}

std::optional<std::string> placeFix(const std::optional<std::string>& bundlePath) {
    if (!bundlePath) {
        return "Move Vell.app into /Applications.";
    }
    if (isInTrash(*bundlePath)) {
        return "Vell.app is in the Trash: move it back into /Applications.";
    }
    if (bundlePath->rfind("/Volumes/", 0) == 0) {
        return "Vell.app runs from a disk image: copy it into /Applications and open it there.";
    }
    if (lastComponent(deletingLastPathComponent(*bundlePath)) != "Applications") {
        return "Move Vell.app into /Applications.";
    }
    return std::nullopt;
}

std::optional<std::string> registrationFix(AgentServiceStatus status) {
    switch (status) {
        case AgentServiceStatus::enabled:
            return std::nullopt;
        case AgentServiceStatus::requiresApproval:
            return std::string("Allow Vell in ") + loginItemsPlace + ".";
        case AgentServiceStatus::notRegistered:
            return "Run `vell register`, or choose Run Agent in Background in Vell's menu.";
        case AgentServiceStatus::notFound:
            return "Run `vell register`; if it still says not found, install Vell.app afresh.";
    }
    return std::nullopt;
}

std::optional<std::string> runningFix(const State& state) {
    if (state.agentRunning) {
        return std::nullopt;
    }
    if (state.registration != AgentServiceStatus::enabled) {
        return "It starts once it is registered and allowed (see above).";
    }
    return "Start it: launchctl kickstart " + launchdTarget();
}

std::optional<std::string> pmsetFix(const State& state) {
    if (state.passwordlessPmset) {
        return std::nullopt;
    }
    if (state.inAdminGroup == false) {
        return "You are not an administrator, so the admin group's rule does not cover you: "
               "choose Set Up Password-less pmset… in Vell's menu and give an administrator's "
               "name and password, for a rule for your user id.";
    }
    return "Choose Set Up Password-less pmset… in Vell's menu, or install "
           "packaging/vell-pmset.sudoers as /etc/sudoers.d/vell-pmset.";
}

std::optional<std::string> fixUnless(bool passed, const char* fix) {
    if (passed) {
        return std::nullopt;
    }
    return std::string(fix);
}

// A value unlike the stored one, written, flushed and read back, then removed.
bool suiteIsWritable() {
    const auto suite = VellPreferences::store();
    const auto stored = suite->objectForKey(writeCheckKey);
    const std::int64_t* before = stored ? stored->as<std::int64_t>() : nullptr;
    const PropertyListValue probe(before && *before == 1 ? std::int64_t{2} : std::int64_t{1});
    suite->setObjectForKey(probe, writeCheckKey);
    const bool held = suite->synchronize() && suite->objectForKey(writeCheckKey) == probe;
    suite->setObjectForKey(std::nullopt, writeCheckKey);
    return suite->synchronize() && held;
}

// The user's own wish, with its end or none: it is no longer the holds'.
bool writeWish(bool on, const std::optional<double>& until) {
    const auto lock = Holds::lock();
    VellPreferences::setWanted(on);
    if (on) {
        VellPreferences::setOwnsOverride(true);
    }
    VellPreferences::setWantedUntil(until);
    VellPreferences::setWantedForHolds(false);
    if (!VellPreferences::store()->synchronize()) {
        return false;
    }
    // A turn-off the agent began before this wish gives ownership up just
    // after it was written: granted again, or the agent never acts on it.
    if (on && VellPreferences::wanted() && !VellPreferences::ownsOverride()) {
        VellPreferences::setOwnsOverride(true);
        if (!VellPreferences::store()->synchronize()) {
            return false;
        }
    }
    return VellPreferences::wanted() == on && (!on || VellPreferences::ownsOverride()) &&
           VellPreferences::wantedUntil() == until;
}

// launchd starts a job some moments after it is registered.
void waitForAgentToRun() {
    const double deadline = platform::monotonicSeconds() + agentStartAllowance;
    while (!agentIsRunning() && platform::monotonicSeconds() < deadline) {
        platform::pauseFor(pauseBetweenReads);
    }
}

std::string appleScriptString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

// A wish that stands without the agent's ownership was crossed by a
// turn-off: the agent read it withdrawn, turned the override off and gave
// ownership up after the wish was written again, and would never act on it.
void regrantOwnership() {
    const auto lock = Holds::lock();
    if (VellPreferences::wanted()) {
        VellPreferences::setOwnsOverride(true);
        VellPreferences::store()->synchronize();
    }
}

}  // namespace

// Runs as root and takes nothing from outside. It stops, saying why, where
// sudo would ignore the rule: /etc/sudoers without an includedir line for
// sudoers.d, or a sudoers.d that is not root's or that others may write.
// The rule is written into a fresh root-owned file in sudoers.d, whose name
// (with a dot) sudo ignores, checked there, and renamed into place in one step.
std::string privilegedSetUpScript(const std::string& rule, const std::string& ruleFile) {
    return std::string(
               "/bin/mkdir -p -m 755 /private/etc/sudoers.d || exit 1; "
               "/usr/bin/grep -Eq '^[[:space:]]*[#@]includedir[[:space:]]+(/private)?/etc/"
               "sudoers\\.d/?[[:space:]]*$' /private/etc/sudoers || { echo '/etc/sudoers has "
               "no #includedir line for /private/etc/sudoers.d, so sudo would not read the rule: "
               "add one with visudo.' >&2; exit 1; }; "
               "case \"$(/usr/bin/stat -f '%u %OLp' /private/etc/sudoers.d)\" in "
               "'0 '*[0145][0145]) ;; *) echo 'sudo ignores /private/etc/sudoers.d unless it "
               "belongs to root and neither group nor others may write to it: chown root:wheel "
               "and chmod 755 it.' >&2; exit 1;; esac; "
               "f=$(/usr/bin/mktemp /private/etc/sudoers.d/.vell-pmset.XXXXXX) || exit 1; "
               "/bin/echo '") +
           rule +
           "' > \"$f\" && /usr/sbin/chown root:wheel \"$f\" && /bin/chmod 0440 \"$f\" && "
           "/usr/sbin/visudo -cf \"$f\" && /bin/mv -f \"$f\" " +
           ruleFile + " || { /bin/rm -f \"$f\"; exit 1; }";
}

namespace {

// "0:98: execution error: MESSAGE (1)": the message alone.
std::string scriptMessage(const std::string& output) {
    const std::string said = trimWhitespaceAndNewlines(output);
    const std::size_t at = said.find(scriptFailed);
    if (at == std::string::npos) {
        return said;
    }
    std::string message = said.substr(at + scriptFailed.size());
    const std::size_t number = message.rfind(" (");
    if (number != std::string::npos && message.ends_with(')')) {
        message.resize(number);
    }
    return message;
}

// An override the agent owns that is on, turned off before nothing guards
// it: absent when sleep is restored (or was never Vell's to restore).
std::optional<std::string> restoreSleepBeforeUnregistering(double agentWaitSeconds) {
    if (!VellPreferences::ownsOverride() || PowerTool::sleepDisabled() == false) {
        return std::nullopt;
    }
    // The running agent turns it off as `vell off` asks it; one that does not
    // act in time is no reason to leave it on.
    const bool byAgent = agentIsRunning() && setKeepAwake(false) &&
                         waitForOverride(false, agentWaitSeconds) == WaitOutcome::confirmed;
    if (!byAgent) {
        if (const auto error = PowerTool::setSleepDisabled(false)) {
            return "Sleep could not be restored, so the agent stays registered to guard it: " +
                   *error;
        }
    }
    // Nothing is kept to turn on at the agent's next start. Should this not
    // reach storage, the agent finds the override off and gives it up itself.
    VellPreferences::setWanted(false);
    VellPreferences::setOwnsOverride(false);
    VellPreferences::store()->synchronize();
    return std::nullopt;
}

}  // namespace

std::optional<std::string> ownBundlePath() {
    const std::optional<std::string> executable = readOwnExecutablePath();
    if (!executable) {
        return std::nullopt;
    }
    return appBundlePath(*executable);
}

std::string pmsetRuleForUser(std::uint32_t uid) {
    const std::string_view adminRule = pmsetRule;
    std::string rule = "#";
    rule += std::to_string(uid);
    rule += adminRule.substr(adminRule.find(' '));
    return rule;
}

std::optional<bool> readOverride() {
    return PowerTool::sleepDisabled();
}

State withSettingsAndMachine(State state) {
    state.wanted = VellPreferences::wanted();
    state.ownsOverride = VellPreferences::ownsOverride();
    state.sleepDisabled = readOverride();
    state.cutoffReason = VellPreferences::cutoffReason();
    state.battery = SafetyCutoff::battery();
    state.thermalState = platform::currentThermalState();
    state.lowBatteryCutoff = VellPreferences::lowBatteryCutoff();
    state.lowBatteryCutoffManaged = lowBatteryCutoffIsManaged();
    state.lowBatteryThreshold = VellPreferences::lowBatteryThreshold();
    // A deadline outlives a wish that a cutoff withdrew, until the agent drops it.
    state.wantedUntil = state.wanted ? VellPreferences::wantedUntil() : std::nullopt;
    return state;
}

State withAgent(State state, const std::optional<std::string>& bundlePath) {
    state.registration = platform::agentServiceStatus(plistName(), bundlePath.value_or(""));
    state.agentRunning = agentIsRunning();
    state.passwordlessPmset = pmsetRunsWithoutPassword();
    state.inAdminGroup = platform::userIsInGroup(platform::userId(), adminGroup);
    return state;
}

State readState(const std::optional<std::string>& bundlePath) {
    return withAgent(withSettingsAndMachine({}), bundlePath);
}

std::vector<Check> runChecks(const std::optional<std::string>& bundlePath, const State& state) {
    return {
        {"app in an Applications folder", placeFix(bundlePath)},
        {"agent registered and enabled", registrationFix(state.registration)},
        {"agent running", runningFix(state)},
        {"pmset runs without a password", pmsetFix(state)},
        {"sleep override readable",
         fixUnless(state.sleepDisabled.has_value(),
                   "macOS does not report the override (IOPMrootDomain SleepDisabled): "
                   "restart the Mac.")},
        {"settings writable",
         fixUnless(suiteIsWritable(),
                   "Make ~/Library/Preferences and its files yours and writable.")},
    };
}

std::vector<Check> registerAndCheck(const std::optional<std::string>& bundlePath) {
    if (bundlePath && !placeFix(bundlePath) &&
        registerAgent(*bundlePath).status == AgentServiceStatus::enabled) {
        waitForAgentToRun();
    }
    return runChecks(bundlePath, readState(bundlePath));
}

bool setKeepAwake(bool on) {
    return writeWish(on, std::nullopt);
}

// A profile that forces the cutoff or its threshold decides the cutoff.
bool lowBatteryCutoffIsManaged() {
    const auto store = VellPreferences::store();
    return store->isForced(VellPreferences::lowBatteryCutoffKey) ||
           store->isForced(VellPreferences::lowBatteryThresholdKey);
}

bool setLowBatteryCutoff(bool on) {
    if (lowBatteryCutoffIsManaged()) {
        return false;
    }
    VellPreferences::setLowBatteryCutoff(on);
    return VellPreferences::store()->synchronize() && VellPreferences::lowBatteryCutoff() == on;
}

std::optional<double> parseDuration(const std::string& text) {
    constexpr std::pair<char, double> units[] = {{'h', 3600.0}, {'m', 60.0}, {'s', 1.0}};
    std::size_t unit = 0;
    double total = 0;
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    while (at != end) {
        unsigned count = 0;
        const auto [digitsEnd, error] = std::from_chars(at, end, count);
        if (error != std::errc() || digitsEnd == end) {
            return std::nullopt;
        }
        const char letter = *digitsEnd;
        const auto* const found =
            std::find_if(std::begin(units) + unit, std::end(units),
                         [letter](const auto& u) { return u.first == letter; });
        if (found == std::end(units)) {
            return std::nullopt;
        }
        total += count * found->second;
        unit = found - std::begin(units) + 1;
        at = digitsEnd + 1;
    }
    if (!(total > 0 && total <= longestTimedWish)) {
        return std::nullopt;
    }
    return total;
}

std::optional<std::int64_t> parsePercent(const std::string& text) {
    int percent = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), percent);
    if (error != std::errc() || end != text.data() + text.size() || text.size() > 2 ||
        percent < 1 || percent > 99) {
        return std::nullopt;
    }
    return percent;
}

bool setKeepAwakeFor(double seconds) {
    // Whole seconds: every platform's dates carry them exactly.
    return writeWish(true, std::round(platform::calendarSeconds() + seconds));
}

std::optional<double> secondsLeft(const State& state) {
    if (!state.wantedUntil) {
        return std::nullopt;
    }
    return std::max(*state.wantedUntil - platform::calendarSeconds(), 0.0);
}

bool setLowBatteryThreshold(std::int64_t percent) {
    if (lowBatteryCutoffIsManaged()) {
        return false;
    }
    VellPreferences::setLowBatteryThreshold(percent);
    VellPreferences::setLowBatteryCutoff(true);
    return VellPreferences::store()->synchronize() &&
           VellPreferences::lowBatteryThreshold() == percent && VellPreferences::lowBatteryCutoff();
}

std::optional<Holds::Hold> holdKeepAwake() {
    const auto lock = Holds::lock();
    const std::optional<Holds::Hold> hold = Holds::take();
    if (!hold || !VellPreferences::store()->synchronize()) {
        return std::nullopt;
    }
    return hold;
}

void releaseKeepAwake(const std::optional<Holds::Hold>& hold) {
    const auto lock = Holds::lock();
    Holds::release(hold);
    VellPreferences::store()->synchronize();
}

WaitOutcome waitForOverride(bool on, double timeoutSeconds) {
    const double allowed = std::isnan(timeoutSeconds) ? 0.0 : timeoutSeconds;
    const double deadline = platform::monotonicSeconds() + allowed;
    for (;;) {
        if (PowerTool::sleepDisabled() == on) {
            return WaitOutcome::confirmed;
        }
        if (on && !VellPreferences::wanted()) {
            return WaitOutcome::cutOff;
        }
        if (on && !VellPreferences::ownsOverride()) {
            regrantOwnership();
        }
        if (platform::monotonicSeconds() >= deadline) {
            return WaitOutcome::timedOut;
        }
        platform::pauseFor(pauseBetweenReads);
    }
}

bool RegistrationOutcome::succeeded() const {
    return status == AgentServiceStatus::enabled || status == AgentServiceStatus::requiresApproval;
}

RegistrationOutcome registerAgent(const std::string& bundlePath) {
    RegistrationOutcome outcome;
    outcome.error = platform::registerAgentService(plistName(), bundlePath);
    outcome.status = platform::agentServiceStatus(plistName(), bundlePath);
    return outcome;
}

UnregistrationOutcome unregisterAgent(const std::string& bundlePath, double agentWaitSeconds) {
    const AgentServiceStatus status = platform::agentServiceStatus(plistName(), bundlePath);
    if (status == AgentServiceStatus::notRegistered || status == AgentServiceStatus::notFound) {
        return {};
    }
    if (auto error = restoreSleepBeforeUnregistering(agentWaitSeconds)) {
        return {true, std::move(error)};
    }
    return {true, platform::unregisterAgentService(plistName())};
}

SetUpOutcome setUpPasswordlessPmset() {
    const std::uint32_t uid = platform::userId();
    // The admin group's rule covers an administrator; when the user database
    // can't tell, that is still the likeliest case.
    const bool administrator = platform::userIsInGroup(uid, adminGroup).value_or(true);
    const std::string ruleFile = administrator
                                     ? std::string("/private/etc/sudoers.d/vell-pmset")
                                     : "/private/etc/sudoers.d/vell-pmset-" + std::to_string(uid);
    const std::string script = privilegedSetUpScript(
        administrator ? std::string(pmsetRule) : pmsetRuleForUser(uid), ruleFile);
    const std::string command =
        "do shell script " + appleScriptString(script) + " with administrator privileges";
    const CommandResult result = PowerTool::run("/usr/bin/osascript", {"-e", command});
    if (result.code == 1 && result.output.find(userCanceled) != std::string::npos) {
        return {true, std::nullopt};
    }
    if (result.code != 0) {
        const std::string said = scriptMessage(result.output);
        return {false, said.empty() ? "The rule could not be installed." : said};
    }
    // sudo reads the rules in order and the last match wins: one further on
    // in /etc/sudoers can still ask for a password.
    if (!pmsetRunsWithoutPassword()) {
        return {false, "The rule is in " + ruleFile +
                           ", but sudo still asks for a password for pmset: a rule after it in "
                           "/etc/sudoers may take precedence (sudo -l lists them in order)."};
    }
    return {};
}

}  // namespace VellCompanion
