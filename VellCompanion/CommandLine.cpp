// vell writes the user's wish into the shared suite and waits for the agent
// to act on it, shows what the agent and the machine are doing, checks the
// setup, and registers or unregisters the agent.
#include "VellCompanion/CommandLine.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <optional>

#include "VellCompanion/Companion.hpp"
#include "VellCompanion/StateText.hpp"
#include "VellDealer/VellDealer.hpp"
#include "VellShared/Preferences.hpp"
#include "platform/process.hpp"

namespace VellCompanion {
namespace {

constexpr int usageStatus = 2;
constexpr double defaultWait = 20.0;
constexpr double longestWait = 3600.0;
// What a shell answers for a command it can't start.
constexpr int cannotRunStatus = 127;
constexpr std::size_t statusLabelWidth = 21;

constexpr const char* usageText =
    "usage: vell on [--for DURATION] [--no-wait | --wait SECONDS]\n"
    "       vell off [--no-wait | --wait SECONDS]\n"
    "       vell run [--wait SECONDS] [--] COMMAND [ARGUMENTS...]\n"
    "       vell status [--json] | doctor | low-battery-cutoff on|off|PERCENT\n"
    "       vell register | unregister | --help | --version\n"
    "  on                      keep the Mac awake, even with the lid closed, and wait\n"
    "                          (20 s unless --wait says otherwise) until it is\n"
    "  on --for DURATION       the same for a time, e.g. 90s, 45m, 2h, 1h30m (up to a\n"
    "                          year), after which the agent lets the Mac sleep again\n"
    "  off                     let the Mac sleep normally again, and wait until it may\n"
    "  run COMMAND             keep the Mac awake while COMMAND runs, and exit with its\n"
    "                          status; the Mac sleeps again after the last run ends,\n"
    "                          unless it was kept awake before\n"
    "  status                  show the wish, the override and what the agent sees;\n"
    "                          --json prints it as one JSON object\n"
    "  doctor                  check the setup, one line each, with the fix for a failure\n"
    "  low-battery-cutoff on   turn the override off at 10 % battery (the default)\n"
    "  low-battery-cutoff PERCENT  turn it off at PERCENT (1-99) battery instead\n"
    "  low-battery-cutoff off  keep it on whatever the battery\n"
    "  register                start the agent now and at every login\n"
    "  unregister              let the Mac sleep again if Vell keeps it awake, then stop\n"
    "                          the agent and stop starting it\n";

constexpr const char* notSaved = "vell: the setting could not be saved, so the agent won't see it";

const char* yesNo(bool value) {
    return value ? "yes" : "no";
}

// Decimal seconds in the C locale, which vell never changes.
std::optional<double> parseSeconds(const std::string& text) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(seconds) || seconds > longestWait) {
        return std::nullopt;
    }
    return seconds;
}

// The word after `at`, or "" after the last, which no option takes.
std::string wordAfter(const std::vector<std::string>& words,
                      std::vector<std::string>::const_iterator at) {
    const std::vector<std::string> after(at + 1, words.end());
    return after.empty() ? std::string() : after.front();
}

// The wait the options after on/off ask for; absent for --no-wait, and a
// usage error for anything else.
struct WaitOption {
    bool valid = true;
    std::optional<double> seconds = defaultWait;
};

WaitOption parseWait(const std::vector<std::string>& options) {
    if (options.empty()) {
        return {};
    }
    if (options.size() == 1 && options[0] == "--no-wait") {
        return {true, std::nullopt};
    }
    if (options.size() == 2 && options[0] == "--wait") {
        if (const auto seconds = parseSeconds(options[1])) {
            return {true, seconds};
        }
    }
    return {false, std::nullopt};
}

class CommandLine {
  public:
    CommandLine(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

    int dispatch(const std::vector<std::string>& arguments) {
        if (arguments.empty()) {
            return usage();
        }
        const std::string& command = arguments[0];
        const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
        if (command == "on" || command == "off") {
            return keepAwake(command == "on", rest);
        }
        if (command == "low-battery-cutoff" && rest.size() == 1) {
            return lowBatteryCutoff(rest[0]);
        }
        if (command == "run") {
            return runCommand(rest);
        }
        if (command == "status" && (rest.empty() || (rest.size() == 1 && rest[0] == "--json"))) {
            return status(!rest.empty());
        }
        if (!rest.empty()) {
            return usage();
        }
        if (command == "doctor") {
            return doctor();
        }
        if (command == "register") {
            return registerWithLaunchd();
        }
        if (command == "unregister") {
            return unregisterFromLaunchd();
        }
        if (command == "--help") {
            out_ << usageText;
            return 0;
        }
        if (command == "--version") {
            out_ << "vell " VELL_VERSION "\n";
            return 0;
        }
        return usage();
    }

  private:
    int usage() {
        err_ << usageText;
        return usageStatus;
    }

    void printFailedChecks(const std::vector<Check>& checks) {
        for (const Check& check : checks) {
            if (check.fix) {
                err_ << "  " << check.name << ": " << *check.fix << "\n";
            }
        }
    }

    // After a wait that ran out: the failing checks, or what else holds it up.
    void explainUnconfirmed(bool on) {
        const auto bundle = ownBundlePath();
        const State state = readState(bundle);
        const std::vector<Check> checks = runChecks(bundle, state);
        printFailedChecks(checks);
        for (const Check& check : checks) {
            if (check.fix) {
                return;
            }
        }
        if (!on && state.sleepDisabled == true && !state.ownsOverride) {
            err_ << "  the override was turned on outside Vell: sudo pmset -a disablesleep 0\n";
            return;
        }
        err_ << "  every check passes; the agent has not acted yet: try a longer --wait\n";
    }

    int keepAwake(bool on, std::vector<std::string> options) {
        std::optional<double> duration;
        const auto forOption = std::find(options.begin(), options.end(), "--for");
        if (on && forOption != options.end()) {
            duration = parseDuration(wordAfter(options, forOption));
            if (!duration) {
                return usage();
            }
            options.erase(forOption, forOption + 2);
        }
        const WaitOption wait = parseWait(options);
        if (!wait.valid) {
            return usage();
        }
        if (!(duration ? setKeepAwakeFor(*duration) : setKeepAwake(on))) {
            err_ << notSaved << "\n";
            return 1;
        }
        // The end as written, read before the agent drops it for having passed.
        const std::optional<double> until =
            duration ? VellPreferences::wantedUntil() : std::nullopt;
        if (!wait.seconds) {
            out_ << "wanted: " << yesNo(on) << (until ? " until " + isoDate(*until) : "")
                 << " (not waiting for the agent)\n";
            return 0;
        }
        switch (waitForOverride(on, *wait.seconds)) {
            case WaitOutcome::confirmed:
                out_ << (on ? "sleep override: on; the Mac stays awake, lid closed or not\n"
                            : "sleep override: off; the Mac sleeps normally\n");
                if (until) {
                    out_ << "until " << isoDate(*until) << ", then the agent lets it sleep\n";
                }
                return 0;
            case WaitOutcome::cutOff:
                err_ << "vell: the agent did not keep the Mac awake: "
                     << VellPreferences::cutoffReason().value_or("a safety cutoff") << "\n";
                return 1;
            case WaitOutcome::timedOut:
                break;
        }
        err_ << "vell: the sleep override is not " << (on ? "on" : "off") << " after "
             << *wait.seconds << " s\n";
        explainUnconfirmed(on);
        if (on) {
            err_ << "  the wish stays: the agent turns the override on once it can; "
                    "`vell off` withdraws it\n";
        }
        return 1;
    }

    // vell run: the command runs whether or not the Mac could be kept awake.
    int runCommand(const std::vector<std::string>& arguments) {
        auto at = arguments.begin();
        double wait = defaultWait;
        if (at != arguments.end() && *at == "--wait") {
            const auto seconds = parseSeconds(wordAfter(arguments, at));
            if (!seconds) {
                return usage();
            }
            wait = *seconds;
            at += 2;
        }
        if (at != arguments.end() && *at == "--") {
            ++at;
        }
        if (at == arguments.end()) {
            return usage();
        }
        const std::vector<std::string> command(at, arguments.end());
        const std::optional<Holds::Hold> hold = holdKeepAwake();
        if (!hold) {
            err_ << notSaved << "; running the command all the same\n";
        } else if (const WaitOutcome outcome = waitForOverride(true, wait);
                   outcome == WaitOutcome::cutOff) {
            err_ << "vell: the agent did not keep the Mac awake: "
                 << VellPreferences::cutoffReason().value_or("a safety cutoff")
                 << "; running the command all the same\n";
        } else if (outcome == WaitOutcome::timedOut) {
            err_ << "vell: the sleep override is not on after " << wait
                 << " s; running the command all the same\n";
            explainUnconfirmed(true);
        }
        const platform::ForegroundOutcome outcome = platform::runInForeground(command);
        releaseKeepAwake(hold);
        if (!outcome.started) {
            err_ << "vell: can't run " << command[0] << ": " << outcome.startError << "\n";
            return cannotRunStatus;
        }
        return outcome.status;
    }

    void line(const std::string& label, const std::string& value) {
        std::string padded = label;
        padded.resize(std::max(padded.size(), statusLabelWidth), ' ');
        out_ << padded << value << "\n";
    }

    // Scripts tell an override that can't be read by the exit status.
    int status(bool json) {
        const State state = readState(ownBundlePath());
        const int exitStatus = state.sleepDisabled ? 0 : 1;
        if (json) {
            out_ << stateAsJson(state) << "\n";
            return exitStatus;
        }
        line("wanted:", yesNo(state.wanted));
        if (state.wantedUntil) {
            line("until:", isoDate(*state.wantedUntil) + " (" +
                               describeTimeLeft(*secondsLeft(state)) + " left)");
        }
        line("agent owns it:", yesNo(state.ownsOverride));
        line("sleep override:", describeOverride(state.sleepDisabled));
        line("last cutoff:", state.cutoffReason.value_or("none"));
        line("battery:", describeBattery(state.battery));
        line("thermal state:", describeThermalState(state.thermalState));
        line("low-battery cutoff:",
             (state.lowBatteryCutoff ? "on at " + std::to_string(state.lowBatteryThreshold) + "%"
                                     : std::string("off")) +
                 (state.lowBatteryCutoffManaged ? std::string(", ") + managedSettingNote
                                                : std::string()));
        line("agent:", describeRegistration(state.registration) +
                           (state.agentRunning ? ", running" : ", not running"));
        line("password-less pmset:", yesNo(state.passwordlessPmset));
        return exitStatus;
    }

    int doctor() {
        const auto bundle = ownBundlePath();
        bool allPassed = true;
        for (const Check& check : runChecks(bundle, readState(bundle))) {
            if (check.fix) {
                out_ << "FAIL  " << check.name << ": " << *check.fix << "\n";
                allPassed = false;
            } else {
                out_ << "ok    " << check.name << "\n";
            }
        }
        return allPassed ? 0 : 1;
    }

    // "on", "off" or a percentage, which also turns the cutoff on.
    int lowBatteryCutoff(const std::string& choice) {
        const std::optional<std::int64_t> percent = parsePercent(choice);
        if (!percent && choice != "on" && choice != "off") {
            return usage();
        }
        if (lowBatteryCutoffIsManaged()) {
            err_ << "vell: the low-battery cutoff is " << managedSettingNote
                 << ", so it can't be changed here\n";
            return 1;
        }
        const bool saved =
            percent ? setLowBatteryThreshold(*percent) : setLowBatteryCutoff(choice == "on");
        if (!saved) {
            err_ << notSaved << "\n";
            return 1;
        }
        if (choice == "off") {
            out_ << "low-battery cutoff: off\n";
        } else {
            out_ << "low-battery cutoff: on at " << VellPreferences::lowBatteryThreshold() << "%\n";
        }
        return 0;
    }

    int registerWithLaunchd() {
        const auto bundle = ownBundlePath();
        if (!bundle) {
            err_ << "vell: can't find the app bundle this program lies in\n";
            return 1;
        }
        const RegistrationOutcome outcome = registerAgent(*bundle);
        if (outcome.succeeded()) {
            out_ << "registered " << agentLabel << ": " << describeRegistration(outcome.status)
                 << "\n";
            return 0;
        }
        err_ << "vell: " << agentLabel << " is " << describeRegistration(outcome.status)
             << (outcome.error ? ": " + *outcome.error : std::string()) << "\n";
        return 1;
    }

    int unregisterFromLaunchd() {
        const UnregistrationOutcome outcome = unregisterAgent(ownBundlePath().value_or(""));
        if (!outcome.wasRegistered) {
            out_ << agentLabel << ": not registered\n";
            return 0;
        }
        if (outcome.error) {
            err_ << "vell: " << *outcome.error << "\n";
            return 1;
        }
        out_ << "unregistered " << agentLabel << "\n";
        return 0;
    }

    std::ostream& out_;
    std::ostream& err_;
};

}  // namespace

int runCommandLine(const std::vector<std::string>& arguments,
                   std::ostream& out,
                   std::ostream& err) {
    return CommandLine(out, err).dispatch(arguments);
}

}  // namespace VellCompanion
