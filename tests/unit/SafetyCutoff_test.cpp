#include "VellShared/SafetyCutoff.hpp"

#include <cstdint>

#include "tests/unit/FakeTest.hpp"

namespace {

using platform::ThermalState;
using SafetyCutoff::Battery;

PropertyListDictionary internalBattery(PropertyListValue current,
                                       PropertyListValue maximum,
                                       const char* state = "Battery Power") {
    return {{"Type", "InternalBattery"},
            {"Current Capacity", std::move(current)},
            {"Max Capacity", std::move(maximum)},
            {"Power Source State", state}};
}

PropertyListDictionary with(PropertyListDictionary description,
                            const std::string& key,
                            PropertyListValue value) {
    description[key] = std::move(value);
    return description;
}

PropertyListDictionary without(PropertyListDictionary description, const std::string& key) {
    description.erase(key);
    return description;
}

struct BatteryCase {
    const char* name;
    std::vector<PropertyListDictionary> descriptions;
    std::optional<Battery> expected;
};

void PrintTo(const BatteryCase& value, std::ostream* out) {
    *out << value.name;
}

class BatteryFromDescriptions : public ::testing::TestWithParam<BatteryCase> {};

TEST_P(BatteryFromDescriptions, PicksTheFirstPassingInternalBattery) {
    EXPECT_EQ(SafetyCutoff::battery(GetParam().descriptions), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions,
    BatteryFromDescriptions,
    ::testing::Values(
        BatteryCase{"NoSources", {}, std::nullopt},
        BatteryCase{"OnlyOtherTypes", {with(internalBattery(5, 100), "Type", "UPS")}, std::nullopt},
        BatteryCase{"TypeNotAString", {with(internalBattery(5, 100), "Type", 1)}, std::nullopt},
        BatteryCase{"AbsentOneSkipped",
                    {with(internalBattery(5, 100), "Is Present", false), internalBattery(40, 100)},
                    Battery{true, 40}},
        BatteryCase{"FirstOfTwoWins",
                    {internalBattery(30, 100), internalBattery(90, 100)},
                    Battery{true, 30}},
        BatteryCase{"PresenceMissingIsFine", {internalBattery(50, 100)}, Battery{true, 50}},
        BatteryCase{"PresenceAsStringIsFine",
                    {with(internalBattery(50, 100), "Is Present", "no")},
                    Battery{true, 50}},
        BatteryCase{"PresenceAsOneIsFine",
                    {with(internalBattery(50, 100), "Is Present", 1)},
                    Battery{true, 50}},
        BatteryCase{"PresenceAsZeroRejects",
                    {with(internalBattery(50, 100), "Is Present", 0)},
                    std::nullopt},
        BatteryCase{"MaxZeroSkipped",
                    {internalBattery(5, 0), internalBattery(7, 10)},
                    Battery{true, 70}},
        BatteryCase{"MaxNegativeSkipped", {internalBattery(5, -100)}, std::nullopt},
        BatteryCase{"FractionalCurrentSkipped", {internalBattery(50.5, 100)}, std::nullopt},
        BatteryCase{"WholeRealsRead", {internalBattery(50.0, 100.0)}, Battery{true, 50}},
        BatteryCase{"CurrentMissingSkipped",
                    {without(internalBattery(5, 100), "Current Capacity")},
                    std::nullopt},
        BatteryCase{"OneEighthRoundsUp", {internalBattery(1, 8)}, Battery{true, 13}},
        BatteryCase{"TenAndAHalfRoundsUp", {internalBattery(105, 1000)}, Battery{true, 11}},
        BatteryCase{"TenPointFourNineRoundsDown",
                    {internalBattery(1049, 10000)},
                    Battery{true, 10}},
        BatteryCase{"NegativeHalfRoundsAwayFromZero", {internalBattery(-1, 8)}, Battery{true, -13}},
        BatteryCase{"AboveMaximumNotClamped", {internalBattery(150, 100)}, Battery{true, 150}},
        BatteryCase{"ExternalPower", {internalBattery(3, 100, "AC Power")}, Battery{false, 3}},
        BatteryCase{"StateMissing",
                    {without(internalBattery(3, 100), "Power Source State")},
                    Battery{false, 3}},
        BatteryCase{"HugePercentSkipped",
                    {internalBattery(PropertyListValue(9000000000000000000LL), 1)},
                    std::nullopt},
        BatteryCase{"MaxOfOneIsABattery", {internalBattery(1, 1)}, Battery{true, 100}},
        // 2^63 - 1 rounds to 2^63 as a double, one past the largest percent.
        BatteryCase{"PercentJustPastTheLargestSkipped",
                    {internalBattery(PropertyListValue(INT64_MAX), 100)},
                    std::nullopt},
        BatteryCase{"SmallestPercentRead",
                    {internalBattery(PropertyListValue(INT64_MIN), 100)},
                    Battery{true, INT64_MIN}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ReasonCase {
    const char* name;
    std::optional<Battery> battery;
    ThermalState thermal;
    bool lowBatteryEnabled;
    std::optional<std::string> expected;
};

void PrintTo(const ReasonCase& value, std::ostream* out) {
    *out << value.name;
}

class Reason : public ::testing::TestWithParam<ReasonCase> {};

TEST_P(Reason, AppliesTheRuleInOrder) {
    const ReasonCase& c = GetParam();
    EXPECT_EQ(SafetyCutoff::reason(c.battery, c.thermal, c.lowBatteryEnabled), c.expected);
}

const std::string tooHot = "Vell turned off: Mac is too hot";

INSTANTIATE_TEST_SUITE_P(
    Rule,
    Reason,
    ::testing::Values(
        ReasonCase{"DesktopNominal", std::nullopt, ThermalState::nominal, true, std::nullopt},
        ReasonCase{"DesktopCritical", std::nullopt, ThermalState::critical, true, tooHot},
        ReasonCase{"AtThreshold", Battery{true, 10}, ThermalState::nominal, true,
                   "Vell turned off: battery at 10%"},
        ReasonCase{"AboveThreshold", Battery{true, 11}, ThermalState::nominal, true, std::nullopt},
        ReasonCase{"Empty", Battery{true, 0}, ThermalState::nominal, true,
                   "Vell turned off: battery at 0%"},
        ReasonCase{"NegativePercent", Battery{true, -3}, ThermalState::fair, true,
                   "Vell turned off: battery at -3%"},
        ReasonCase{"ExternalPowerLow", Battery{false, 3}, ThermalState::nominal, true,
                   std::nullopt},
        ReasonCase{"SeriousIsNotCritical", Battery{false, 100}, ThermalState::serious, true,
                   std::nullopt},
        ReasonCase{"CriticalWithCutoffDisabled", Battery{false, 100}, ThermalState::critical, false,
                   tooHot},
        ReasonCase{"HeatBeatsBattery", Battery{true, 5}, ThermalState::critical, true, tooHot},
        ReasonCase{"CutoffDisabled", Battery{true, 2}, ThermalState::nominal, false, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

using CurrentReason = FakeTest;

TEST_F(CurrentReason, ReadsBatteryThermalStateAndSettingFresh) {
    fake().powerSources = std::vector{internalBattery(9, 100)};
    EXPECT_EQ(SafetyCutoff::currentReason(), "Vell turned off: battery at 9%");
    fake().shared()["lowBatteryCutoff"] = false;
    EXPECT_EQ(SafetyCutoff::currentReason(), std::nullopt);
    fake().thermalState = ThermalState::critical;
    fake().calls.clear();
    EXPECT_EQ(SafetyCutoff::currentReason(), tooHot);
    // The battery is read even when the heat alone decides.
    EXPECT_EQ(fake().calls,
              (std::vector<std::string>{"powerSources", "thermalState", "get lowBatteryCutoff"}));
}

TEST_F(CurrentReason, NoSnapshotMeansNoBattery) {
    fake().powerSources = std::nullopt;
    EXPECT_EQ(SafetyCutoff::battery(), std::nullopt);
    EXPECT_EQ(SafetyCutoff::currentReason(), std::nullopt);
}

}  // namespace
