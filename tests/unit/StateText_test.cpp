// `vell status --json`: what scripts read, so every key and every escape is exact.
#include <gtest/gtest.h>

#include "VellCompanion/StateText.hpp"

using namespace VellCompanion;

TEST(StateAsJson, NothingKnownReadsAsFalseAndNull) {
    EXPECT_EQ(stateAsJson(State{}),
              R"({"wanted":false,"ownsOverride":false,"override":"unreadable","cutoffReason":null,)"
              R"("batteryPercent":null,"onBattery":null,"thermalState":"nominal",)"
              R"("lowBatteryCutoff":true,"lowBatteryCutoffManaged":false,)"
              R"("registration":"notRegistered","agentRunning":false,)"
              R"("passwordlessPmset":false,"wantedUntil":null,"lowBatteryThreshold":10})");
}

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
