#include "VellCompanion/StateText.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "VellShared/Utf8.hpp"

namespace VellCompanion {
namespace {

using platform::AgentServiceStatus;

// Text from the suite may hold anything: invalid bytes become U+FFFD, and
// quotes, backslashes and control characters are escaped.
std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : decodeUtf8ReplacingInvalid(text)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

const char* jsonBool(bool value) {
    return value ? "true" : "false";
}

const char* registrationKey(AgentServiceStatus status) {
    switch (status) {
        case AgentServiceStatus::enabled:
            return "enabled";
        case AgentServiceStatus::requiresApproval:
            return "requiresApproval";
        case AgentServiceStatus::notRegistered:
            return "notRegistered";
        case AgentServiceStatus::notFound:
            return "notFound";
    }
    return "notFound";
}

std::string overrideKey(const std::optional<bool>& sleepDisabled) {
    if (!sleepDisabled) {
        return "unreadable";
    }
    return *sleepDisabled ? "on" : "off";
}

}  // namespace

std::string describeOverride(const std::optional<bool>& sleepDisabled) {
    if (!sleepDisabled) {
        return "unreadable";
    }
    return *sleepDisabled ? "on (sleep is disabled)" : "off (the Mac sleeps normally)";
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

std::string describeRegistration(AgentServiceStatus status) {
    switch (status) {
        case AgentServiceStatus::enabled:
            return "enabled";
        case AgentServiceStatus::requiresApproval:
            return std::string("requires approval in ") + loginItemsPlace;
        case AgentServiceStatus::notRegistered:
            return "not registered";
        case AgentServiceStatus::notFound:
            return "not found";
    }
    return "not found";
}

std::string doctorCommand(const std::optional<std::string>& bundlePath) {
    if (!bundlePath) {
        return "vell doctor";
    }
    std::string quoted = "'";
    for (const char c : *bundlePath + "/Contents/MacOS/vell") {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "' doctor";
}

std::string isoDate(double calendarSeconds) {
    using namespace std::chrono;
    constexpr double referenceDateInUnixTime = 978307200.0;
    // A date from the suite may be anything: kept to years 0 to 9999.
    constexpr double earliest = -62167219200.0, latest = 253402300799.0;
    const double unixTime = calendarSeconds + referenceDateInUnixTime;
    const double clamped = std::isnan(unixTime) ? 0.0 : std::clamp(unixTime, earliest, latest);
    const sys_seconds moment{seconds{static_cast<long long>(std::floor(clamped + 0.5))}};
    const sys_days day = floor<days>(moment);
    const year_month_day date{day};
    const hh_mm_ss time{moment - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

std::string describeTimeLeft(double seconds) {
    const double whole = std::ceil(std::clamp(std::isnan(seconds) ? 0.0 : seconds, 0.0, 1e9));
    const auto left = static_cast<long long>(whole);
    char text[48];
    if (left >= 3600) {
        std::snprintf(text, sizeof text, "%lld h %02lld min", left / 3600, left % 3600 / 60);
    } else if (left >= 60) {
        std::snprintf(text, sizeof text, "%lld min %02lld s", left / 60, left % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld s", left);
    }
    return text;
}

std::string stateAsJson(const State& state) {
    std::string json = "{";
    json += "\"wanted\":" + std::string(jsonBool(state.wanted));
    json += ",\"ownsOverride\":" + std::string(jsonBool(state.ownsOverride));
    json += ",\"override\":" + jsonString(overrideKey(state.sleepDisabled));
    json += ",\"cutoffReason\":" + (state.cutoffReason ? jsonString(*state.cutoffReason) : "null");
    json +=
        ",\"batteryPercent\":" + (state.battery ? std::to_string(state.battery->percent) : "null");
    json += ",\"onBattery\":" +
            std::string(state.battery ? jsonBool(state.battery->onBattery) : "null");
    json += ",\"thermalState\":" + jsonString(describeThermalState(state.thermalState));
    json += ",\"lowBatteryCutoff\":" + std::string(jsonBool(state.lowBatteryCutoff));
    json += ",\"lowBatteryCutoffManaged\":" + std::string(jsonBool(state.lowBatteryCutoffManaged));
    json += ",\"registration\":" + jsonString(registrationKey(state.registration));
    json += ",\"agentRunning\":" + std::string(jsonBool(state.agentRunning));
    json += ",\"passwordlessPmset\":" + std::string(jsonBool(state.passwordlessPmset));
    json += ",\"wantedUntil\":" +
            (state.wantedUntil ? jsonString(isoDate(*state.wantedUntil)) : std::string("null"));
    json += ",\"lowBatteryThreshold\":" + std::to_string(state.lowBatteryThreshold);
    return json + "}";
}

}  // namespace VellCompanion
