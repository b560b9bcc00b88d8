#include "VellShared/SafetyCutoff.hpp"

#include <cstdint>

#include "tests/unit/FakeTest.hpp"

namespace {

using platform::ThermalState;
using SafetyCutoff::Battery;

// An internal battery on battery power, but for `changes`.
PropertyListDictionary internal(PropertyListValue current,
                                PropertyListValue maximum,
                                PropertyListDictionary changes = {}) {
    changes.merge(PropertyListDictionary{{"Type", "InternalBattery"},
                                         {"Current Capacity", std::move(current)},
                                         {"Max Capacity", std::move(maximum)},
                                         {"Power Source State", "Battery Power"}});
    return changes;
}

struct BatteryRow {
    const char* name;
    std::vector<PropertyListDictionary> descriptions;
    std::optional<Battery> expected;
};

class BatteryFromDescriptions : public ::testing::TestWithParam<BatteryRow> {};

TEST_P(BatteryFromDescriptions, PicksTheFirstPassingInternalBattery) {
    EXPECT_EQ(SafetyCutoff::battery(GetParam().descriptions), GetParam().expected);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Descriptions, BatteryFromDescriptions, ::testing::Values(
    BatteryRow{"NoSources",                        {},                                                               std::nullopt},
    BatteryRow{"OnlyOtherTypes",                   {internal(5, 100, {{"Type", "UPS"}})},                            std::nullopt},
    BatteryRow{"TypeNotAString",                   {internal(5, 100, {{"Type", 1}})},                                std::nullopt},
    BatteryRow{"AbsentOneSkipped",                 {internal(5, 100, {{"Is Present", false}}), internal(40, 100)},   Battery{true, 40}},
    BatteryRow{"FirstOfTwoWins",                   {internal(30, 100), internal(90, 100)},                           Battery{true, 30}},
    BatteryRow{"PresenceAsStringIsFine",           {internal(50, 100, {{"Is Present", "no"}})},                      Battery{true, 50}},
    BatteryRow{"PresenceAsOneIsFine",              {internal(50, 100, {{"Is Present", 1}})},                         Battery{true, 50}},
    BatteryRow{"PresenceAsZeroRejects",            {internal(50, 100, {{"Is Present", 0}})},                         std::nullopt},
    BatteryRow{"MaxZeroSkipped",                   {internal(5, 0), internal(7, 10)},                                Battery{true, 70}},
    BatteryRow{"MaxNegativeSkipped",               {internal(5, -100)},                                              std::nullopt},
    BatteryRow{"MaxOfOneIsABattery",               {internal(1, 1)},                                                 Battery{true, 100}},
    BatteryRow{"FractionalCurrentSkipped",         {internal(50.5, 100)},                                            std::nullopt},
    BatteryRow{"WholeRealsRead",                   {internal(50.0, 100.0)},                                          Battery{true, 50}},
    BatteryRow{"CurrentMissingSkipped",            {{{"Type", "InternalBattery"}, {"Max Capacity", 100}}},                   std::nullopt},
    BatteryRow{"OneEighthRoundsUp",                {internal(1, 8)},                                                 Battery{true, 13}},
    BatteryRow{"TenAndAHalfRoundsUp",              {internal(105, 1000)},                                            Battery{true, 11}},
    BatteryRow{"TenPointFourNineRoundsDown",       {internal(1049, 10000)},                                          Battery{true, 10}},
    BatteryRow{"NegativeHalfRoundsAwayFromZero",   {internal(-1, 8)},                                                Battery{true, -13}},
    BatteryRow{"AboveMaximumNotClamped",           {internal(150, 100)},                                             Battery{true, 150}},
    BatteryRow{"ExternalPower",                    {internal(3, 100, {{"Power Source State", "AC Power"}})},         Battery{false, 3}},
    BatteryRow{"StateMissing",                     {{{"Type", "InternalBattery"}, {"Current Capacity", 3}, {"Max Capacity", 100}}}, Battery{false, 3}},
    BatteryRow{"HugePercentSkipped",               {internal(PropertyListValue(9000000000000000000LL), 1)},          std::nullopt},
    // 2^63 - 1 rounds to 2^63 as a double, one past the largest percent.
    BatteryRow{"PercentJustPastTheLargestSkipped", {internal(PropertyListValue(INT64_MAX), 100)},                    std::nullopt},
    BatteryRow{"SmallestPercentRead",              {internal(PropertyListValue(INT64_MIN), 100)},                    Battery{true, INT64_MIN}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

struct ReasonRow {
    const char* name;
    std::optional<Battery> battery;
    ThermalState thermal;
    bool lowBatteryEnabled;
    std::optional<std::string> expected;
};

class Reason : public ::testing::TestWithParam<ReasonRow> {};

TEST_P(Reason, AppliesTheRuleInOrder) {
    const ReasonRow& r = GetParam();
    EXPECT_EQ(SafetyCutoff::reason(r.battery, r.thermal, r.lowBatteryEnabled), r.expected);
}

const std::string tooHot = "Vell turned off: Mac is too hot";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rule, Reason, ::testing::Values(
    ReasonRow{"DesktopNominal",             std::nullopt,       ThermalState::nominal,  true,  std::nullopt},
    ReasonRow{"DesktopCritical",            std::nullopt,       ThermalState::critical, true,  tooHot},
    ReasonRow{"AtThreshold",                Battery{true, 10},  ThermalState::nominal,  true,  "Vell turned off: battery at 10%"},
    ReasonRow{"AboveThreshold",             Battery{true, 11},  ThermalState::nominal,  true,  std::nullopt},
    ReasonRow{"Empty",                      Battery{true, 0},   ThermalState::nominal,  true,  "Vell turned off: battery at 0%"},
    ReasonRow{"NegativePercent",            Battery{true, -3},  ThermalState::fair,     true,  "Vell turned off: battery at -3%"},
    ReasonRow{"ExternalPowerLow",           Battery{false, 3},  ThermalState::nominal,  true,  std::nullopt},
    ReasonRow{"SeriousIsNotCritical",       Battery{false, 100},ThermalState::serious,  true,  std::nullopt},
    ReasonRow{"CriticalWithCutoffDisabled", Battery{false, 100},ThermalState::critical, false, tooHot},
    ReasonRow{"HeatBeatsBattery",           Battery{true, 5},   ThermalState::critical, true,  tooHot},
    ReasonRow{"CutoffDisabled",             Battery{true, 2},   ThermalState::nominal,  false, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

using CurrentReason = FakeTest;

TEST_F(CurrentReason, ReadsBatteryThermalStateAndSettingFresh) {
    fake().powerSources = std::vector{internal(9, 100)};
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
}

}  // namespace
