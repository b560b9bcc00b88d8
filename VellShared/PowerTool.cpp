#include "VellShared/PowerTool.hpp"

#include <cmath>

#include "VellShared/Utf8.hpp"
#include "platform/clock.hpp"
#include "platform/process.hpp"
#include "platform/registry.hpp"

namespace {

constexpr const char* sudoPath = "/usr/bin/sudo";
constexpr const char* pmsetPath = "/usr/bin/pmset";
constexpr const char* registryEntryClass = "IOPMrootDomain";
constexpr const char* registryProperty = "SleepDisabled";
constexpr double confirmationTimeout = 2.0;
constexpr double pauseBetweenReads = 0.1;
constexpr const char* notConfirmedMessage = "macOS did not confirm the power setting.";

std::string failureMessage(const CommandResult& result) {
    std::string trimmed = trimWhitespaceAndNewlines(result.output);
    if (!trimmed.empty()) {
        return trimmed;
    }
    return "Power setting failed (exit " + std::to_string(result.code) + ").";
}

}  // namespace

namespace PowerTool {

CommandResult run(const std::string& path,
                  const std::vector<std::string>& arguments,
                  const std::optional<Environment>& environment) {
    platform::ChildOutcome outcome = platform::runChild(path, arguments, environment);
    if (!outcome.started) {
        return {-1, std::move(outcome.startError)};
    }
    if (!isValidUtf8(outcome.output)) {
        return {outcome.terminationStatus, ""};
    }
    return {outcome.terminationStatus, std::move(outcome.output)};
}

std::optional<bool> sleepDisabled() {
    return platform::readRegistryTruthValue(registryEntryClass, registryProperty);
}

std::optional<std::string> setSleepDisabled(bool disabled) {
    const CommandResult result =
        run(sudoPath, {"-n", pmsetPath, "-a", "disablesleep", disabled ? "1" : "0"});
    if (result.code == 0) {
        if (waitForSleepDisabled(disabled, confirmationTimeout)) {
            return std::nullopt;
        }
        return std::string(notConfirmedMessage);
    }
    // A failed turn-off has still done its job when the override already
    // reads off; a failed turn-on is a failure whatever the override reads.
    if (!disabled && sleepDisabled() == false) {
        return std::nullopt;
    }
    return failureMessage(result);
}

bool waitForSleepDisabled(bool expected, double timeout) {
    // A NaN deadline would never be reached: treat it as no time at all.
    const double allowed = std::isnan(timeout) ? 0.0 : timeout;
    const double deadline = platform::monotonicSeconds() + allowed;
    for (;;) {
        if (sleepDisabled() == expected) {
            return true;
        }
        if (platform::monotonicSeconds() >= deadline) {
            return false;
        }
        platform::pauseFor(pauseBetweenReads);
    }
}

}  // namespace PowerTool
