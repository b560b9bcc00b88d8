// The state in words, and `vell status --json`: every key and escape exact.
#include "VellCompanion/StateText.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace VellCompanion;

TEST(StateAsJson, AReasonFromTheSuiteIsEscapedAndMadeValidText) {
    State state;
    state.wanted = state.ownsOverride = state.agentRunning = state.passwordlessPmset = true;
    state.lowBatteryCutoff = false;
    state.lowBatteryCutoffManaged = true;
    state.sleepDisabled = true;
    state.cutoffReason = "\"hot\"\\\n\t\x01\x7f \xff — 45 °C";
    state.battery = SafetyCutoff::Battery{true, 9};
    state.thermalState = platform::ThermalState::critical;
    state.registration = platform::AgentServiceStatus::requiresApproval;
    state.wantedUntil = 818343000.4;  // 2026-12-07 13:30 UTC
    state.lowBatteryThreshold = 20;
    EXPECT_EQ(stateAsJson(state),
              R"({"wanted":true,"ownsOverride":true,"override":"on",)"
              R"("cutoffReason":"\"hot\"\\\u000a\u0009\u0001\u007f )"
              "\xEF\xBF\xBD — 45 °C"
              R"(","batteryPercent":9,"onBattery":true,"thermalState":"critical",)"
              R"("lowBatteryCutoff":false,"lowBatteryCutoffManaged":true,)"
              R"("registration":"requiresApproval","agentRunning":true,)"
              R"("passwordlessPmset":true,"wantedUntil":"2026-12-07T13:30:00Z",)"
              R"("lowBatteryThreshold":20})");
}

TEST(DoctorCommand, NamesTheBundlesVellQuotedForTheShell) {
    // clang-format off
    const struct { std::optional<std::string> bundle; std::string command; } rows[] = {
        {std::nullopt, "vell doctor"},
        {"/Applications/Vell.app", "'/Applications/Vell.app/Contents/MacOS/vell' doctor"},
        {"/Users/o'neil/My Apps/Vell.app", R"('/Users/o'\''neil/My Apps/Vell.app/Contents/MacOS/vell' doctor)"},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(doctorCommand(row.bundle), row.command) << row.bundle.value_or("no bundle");
    }
}

TEST(StateText, SaysEachValueInWordsAndEveryMomentToTheSecond) {
    using platform::AgentServiceStatus;
    // The words vell status shows for the usual values are shown with its lines.
    // clang-format off
    const auto registrationKey = [](AgentServiceStatus status) { State state; state.registration = status; const std::string json = stateAsJson(state); const std::size_t at = json.find("\"registration\":") + 15; return json.substr(at, json.find(',', at) - at); };
    const auto beyond = [](auto known) { return static_cast<decltype(known)>(9); };
    const struct { const char* name; std::string text, expected; } rows[] = {
        {"fair", describeThermalState(platform::ThermalState::fair), "fair"},
        {"serious", describeThermalState(platform::ThermalState::serious), "serious"},
        {"a thermal state beyond the four", describeThermalState(beyond(platform::ThermalState::fair)), "unknown"},
        {"a registration beyond the four", describeRegistration(beyond(AgentServiceStatus::enabled)), "not found"},
        {"JSON, enabled", registrationKey(AgentServiceStatus::enabled), "\"enabled\""},
        {"JSON, not found", registrationKey(AgentServiceStatus::notFound), "\"notFound\""},
        {"JSON, a registration beyond the four", registrationKey(beyond(AgentServiceStatus::enabled)), "\"notFound\""},
        {"the reference date", isoDate(0), "2001-01-01T00:00:00Z"},
        {"the Unix epoch", isoDate(-978307200), "1970-01-01T00:00:00Z"},
        {"half a second rounds up", isoDate(818343000.5), "2026-12-07T13:30:01Z"},
        {"not a number", isoDate(std::nan("")), "1970-01-01T00:00:00Z"},
        {"past year 9999", isoDate(1e300), "9999-12-31T23:59:59Z"},
        {"before year 0", isoDate(-1e300), "0000-01-01T00:00:00Z"},
        {"no time left", describeTimeLeft(0), "0 s"},
        {"a time past", describeTimeLeft(-5), "0 s"},
        {"no time at all", describeTimeLeft(std::nan("")), "0 s"},
        {"a fraction rounds up", describeTimeLeft(0.2), "1 s"},
        {"59 s", describeTimeLeft(59), "59 s"},
        {"just under a minute rounds up", describeTimeLeft(59.2), "1 min 00 s"},
        {"1 min 59 s", describeTimeLeft(119), "1 min 59 s"},
        {"just under an hour", describeTimeLeft(3599), "59 min 59 s"},
        {"an hour", describeTimeLeft(3600), "1 h 00 min"},
        {"just under two hours", describeTimeLeft(7199), "1 h 59 min"},
        {"beyond any wish", describeTimeLeft(1e12), "277777 h 46 min"},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(row.text, row.expected) << row.name;
    }
}
