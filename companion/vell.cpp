// vell: the least of a companion app, for driving the agent from a shell.
// It writes the user's wish into the shared suite, shows what the agent and
// the machine are doing, and registers or unregisters the agent.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "VellDealer/ExecutablePath.hpp"
#include "VellDealer/VellDealer.hpp"
#include "VellShared/PowerTool.hpp"
#include "VellShared/Preferences.hpp"
#include "VellShared/SafetyCutoff.hpp"
#include "platform/launchd.hpp"
#include "platform/thermal_state.hpp"

namespace {

constexpr int usageStatus = 2;

int usage() {
    std::fputs(
        "usage: vell on | off | status | low-battery-cutoff on|off | register | unregister\n"
        "  on                      keep the Mac awake, even with the lid closed\n"
        "  off                     let the Mac sleep normally again\n"
        "  status                  show the wish, the override and what the agent sees\n"
        "  low-battery-cutoff on   turn the override off at 10 % battery (the default)\n"
        "  low-battery-cutoff off  keep it on whatever the battery\n"
        "  register                start the agent now and at every login\n"
        "  unregister              stop starting the agent\n",
        stderr);
    return usageStatus;
}

const char* yesNo(bool value) {
    return value ? "yes" : "no";
}

std::string describeOverride(const std::optional<bool>& state) {
    if (!state) {
        return "unreadable";
    }
    return *state ? "on (sleep is disabled)" : "off (the Mac sleeps normally)";
}

std::string describeBattery(const std::optional<SafetyCutoff::Battery>& battery) {
    if (!battery) {
        return "none";
    }
    return std::to_string(battery->percent) + "%" +
           (battery->onBattery ? " on battery" : " on external power");
}

const char* describeThermalState(platform::ThermalState state) {
    switch (state) {
        case platform::ThermalState::nominal:
            return "nominal";
        case platform::ThermalState::fair:
            return "fair";
        case platform::ThermalState::serious:
            return "serious";
        case platform::ThermalState::critical:
            return "critical";
    }
    return "unknown";
}

int status() {
    std::printf("wanted:             %s\n", yesNo(VellPreferences::wanted()));
    std::printf("agent owns it:      %s\n", yesNo(VellPreferences::ownsOverride()));
    std::printf("sleep override:     %s\n", describeOverride(PowerTool::sleepDisabled()).c_str());
    std::printf("last cutoff:        %s\n",
                VellPreferences::cutoffReason().value_or("none").c_str());
    std::printf("battery:            %s\n", describeBattery(SafetyCutoff::battery()).c_str());
    std::printf("thermal state:      %s\n", describeThermalState(platform::currentThermalState()));
    std::printf("low-battery cutoff: %s\n", VellPreferences::lowBatteryCutoff() ? "on" : "off");
    return 0;
}

std::optional<std::string> ownBundlePath() {
    const std::optional<std::string> executable = readOwnExecutablePath();
    if (!executable) {
        return std::nullopt;
    }
    return appBundlePath(*executable);
}

int changeRegistration(bool registering) {
    const std::string plistName = std::string(agentLabel) + ".plist";
    std::optional<std::string> error;
    if (registering) {
        const std::optional<std::string> bundle = ownBundlePath();
        if (!bundle) {
            std::fputs("vell: can't find the app bundle this program lies in\n", stderr);
            return 1;
        }
        error = platform::registerAgentService(plistName, *bundle);
    } else {
        error = platform::unregisterAgentService(plistName);
    }
    if (error) {
        std::fprintf(stderr, "vell: %s\n", error->c_str());
        return 1;
    }
    std::printf("%s %s\n", registering ? "registered" : "unregistered", agentLabel);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    VellPreferences::migrateLegacyDomainIfNeeded();
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 1 && arguments[0] == "on") {
        VellPreferences::setWanted(true);
        VellPreferences::setOwnsOverride(true);
        std::puts("wanted: yes; the agent will keep the Mac awake");
        return 0;
    }
    if (arguments.size() == 1 && arguments[0] == "off") {
        VellPreferences::setWanted(false);
        std::puts("wanted: no; the agent will let the Mac sleep again");
        return 0;
    }
    if (arguments.size() == 1 && arguments[0] == "status") {
        return status();
    }
    if (arguments.size() == 2 && arguments[0] == "low-battery-cutoff" &&
        (arguments[1] == "on" || arguments[1] == "off")) {
        VellPreferences::setLowBatteryCutoff(arguments[1] == "on");
        std::printf("low-battery cutoff: %s\n", arguments[1].c_str());
        return 0;
    }
    if (arguments.size() == 1 && (arguments[0] == "register" || arguments[0] == "unregister")) {
        return changeRegistration(arguments[0] == "register");
    }
    return usage();
}
