// vell: the companion app for a shell. It writes the user's wish into the
// shared suite and waits for the agent to act on it, shows what the agent and
// the machine are doing, checks the setup, and registers or unregisters the
// agent. Everything it knows and does comes from the companion model.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "VellCompanion/Companion.hpp"
#include "VellCompanion/StateText.hpp"
#include "VellDealer/VellDealer.hpp"
#include "VellShared/Preferences.hpp"
#include "platform/process.hpp"

#ifndef VELL_VERSION
#define VELL_VERSION "unknown"
#endif

namespace {

using namespace VellCompanion;

constexpr int usageStatus = 2;
constexpr double defaultWait = 20.0;
constexpr double longestWait = 3600.0;
// What a shell answers for a command it can't start.
constexpr int cannotRunStatus = 127;

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

int usage() {
    std::fputs(usageText, stderr);
    return usageStatus;
}

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

void printFailedChecks(const std::vector<Check>& checks) {
    for (const Check& check : checks) {
        if (check.fix) {
            std::fprintf(stderr, "  %s: %s\n", check.name.c_str(), check.fix->c_str());
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
        std::fputs("  the override was turned on outside Vell: sudo pmset -a disablesleep 0\n",
                   stderr);
        return;
    }
    std::fputs("  every check passes; the agent has not acted yet: try a longer --wait\n", stderr);
}

int keepAwake(bool on, std::vector<std::string> options) {
    std::optional<double> duration;
    const auto forOption = std::find(options.begin(), options.end(), "--for");
    if (on && forOption != options.end()) {
        duration = forOption + 1 == options.end() ? std::nullopt : parseDuration(*(forOption + 1));
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
        std::fputs("vell: the setting could not be saved, so the agent won't see it\n", stderr);
        return 1;
    }
    if (!wait.seconds) {
        const std::string until =
            duration ? " until " + isoDate(VellPreferences::wantedUntil().value_or(0)) : "";
        std::printf("wanted: %s%s (not waiting for the agent)\n", yesNo(on), until.c_str());
        return 0;
    }
    switch (waitForOverride(on, *wait.seconds)) {
        case WaitOutcome::confirmed:
            std::puts(on ? "sleep override: on; the Mac stays awake, lid closed or not"
                         : "sleep override: off; the Mac sleeps normally");
            if (duration) {
                std::printf("until %s, then the agent lets it sleep\n",
                            isoDate(VellPreferences::wantedUntil().value_or(0)).c_str());
            }
            return 0;
        case WaitOutcome::cutOff:
            std::fprintf(stderr, "vell: the agent did not keep the Mac awake: %s\n",
                         VellPreferences::cutoffReason().value_or("a safety cutoff").c_str());
            return 1;
        case WaitOutcome::timedOut:
            break;
    }
    std::fprintf(stderr, "vell: the sleep override is not %s after %g s\n", on ? "on" : "off",
                 *wait.seconds);
    explainUnconfirmed(on);
    if (on) {
        std::fputs(
            "  the wish stays: the agent turns the override on once it can; "
            "`vell off` withdraws it\n",
            stderr);
    }
    return 1;
}

// vell run: the command runs whether or not the Mac could be kept awake.
int runCommand(const std::vector<std::string>& arguments) {
    auto at = arguments.begin();
    double wait = defaultWait;
    if (at != arguments.end() && *at == "--wait") {
        const auto seconds = at + 1 == arguments.end() ? std::nullopt : parseSeconds(*(at + 1));
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
        std::fputs(
            "vell: the setting could not be saved, so the agent won't see it; "
            "running the command all the same\n",
            stderr);
    } else if (const WaitOutcome outcome = waitForOverride(true, wait);
               outcome == WaitOutcome::cutOff) {
        std::fprintf(stderr,
                     "vell: the agent did not keep the Mac awake: %s; running the command "
                     "all the same\n",
                     VellPreferences::cutoffReason().value_or("a safety cutoff").c_str());
    } else if (outcome == WaitOutcome::timedOut) {
        std::fprintf(stderr,
                     "vell: the sleep override is not on after %g s; running the command "
                     "all the same\n",
                     wait);
        explainUnconfirmed(true);
    }
    const platform::ForegroundOutcome outcome = platform::runInForeground(command);
    releaseKeepAwake(hold);
    if (!outcome.started) {
        std::fprintf(stderr, "vell: can't run %s: %s\n", command[0].c_str(),
                     outcome.startError.c_str());
        return cannotRunStatus;
    }
    return outcome.status;
}

void line(const char* label, const std::string& value) {
    std::printf("%-21s%s\n", label, value.c_str());
}

// Scripts tell an override that can't be read by the exit status.
int status(bool json) {
    const State state = readState(ownBundlePath());
    const int exitStatus = state.sleepDisabled ? 0 : 1;
    if (json) {
        std::puts(stateAsJson(state).c_str());
        return exitStatus;
    }
    line("wanted:", yesNo(state.wanted));
    if (state.wantedUntil) {
        line("until:", isoDate(*state.wantedUntil) + " (" +
                           describeTimeLeft(secondsLeft(state).value_or(0)) + " left)");
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
            std::printf("FAIL  %s: %s\n", check.name.c_str(), check.fix->c_str());
            allPassed = false;
        } else {
            std::printf("ok    %s\n", check.name.c_str());
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
        std::fprintf(stderr, "vell: the low-battery cutoff is %s, so it can't be changed here\n",
                     managedSettingNote);
        return 1;
    }
    const bool saved =
        percent ? setLowBatteryThreshold(*percent) : setLowBatteryCutoff(choice == "on");
    if (!saved) {
        std::fputs("vell: the setting could not be saved, so the agent won't see it\n", stderr);
        return 1;
    }
    if (choice == "off") {
        std::puts("low-battery cutoff: off");
    } else {
        std::printf("low-battery cutoff: on at %lld%%\n",
                    static_cast<long long>(VellPreferences::lowBatteryThreshold()));
    }
    return 0;
}

int registerWithLaunchd() {
    const auto bundle = ownBundlePath();
    if (!bundle) {
        std::fputs("vell: can't find the app bundle this program lies in\n", stderr);
        return 1;
    }
    const RegistrationOutcome outcome = registerAgent(*bundle);
    if (outcome.succeeded()) {
        std::printf("registered %s: %s\n", agentLabel,
                    describeRegistration(outcome.status).c_str());
        return 0;
    }
    std::fprintf(stderr, "vell: %s is %s%s%s\n", agentLabel,
                 describeRegistration(outcome.status).c_str(), outcome.error ? ": " : "",
                 outcome.error.value_or("").c_str());
    return 1;
}

int unregisterFromLaunchd() {
    const UnregistrationOutcome outcome = unregisterAgent(ownBundlePath().value_or(""));
    if (!outcome.wasRegistered) {
        std::printf("%s: not registered\n", agentLabel);
        return 0;
    }
    if (outcome.error) {
        std::fprintf(stderr, "vell: %s\n", outcome.error->c_str());
        return 1;
    }
    std::printf("unregistered %s\n", agentLabel);
    return 0;
}

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
        std::fputs(usageText, stdout);
        return 0;
    }
    if (command == "--version") {
        std::puts("vell " VELL_VERSION);
        return 0;
    }
    return usage();
}

}  // namespace

int main(int argc, char** argv) {
    VellPreferences::migrateLegacyDomainIfNeeded();
    return dispatch(std::vector<std::string>(argv + 1, argv + argc));
}
