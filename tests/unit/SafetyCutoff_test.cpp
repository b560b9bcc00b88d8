#include "VellShared/SafetyCutoff.hpp"

#include <cstdint>

#include "tests/unit/FakeTest.hpp"

namespace {

using platform::ThermalState;
using SafetyCutoff::Battery;

TEST(SafetyCutoff, TheBatteryIsTheFirstPassingInternalOne) {
    // clang-format off
    const struct { const char* name; std::vector<PropertyListDictionary> descriptions; std::optional<Battery> expected; } rows[] = {
        {"NoSources",                        {},                                                               std::nullopt},
        {"OnlyOtherTypes",                   {internalBattery(5, 100, {{"Type", "UPS"}})},                     std::nullopt},
        {"TypeNotAString",                   {internalBattery(5, 100, {{"Type", 1}})},                         std::nullopt},
        {"AbsentOneSkipped",                 {internalBattery(5, 100, {{"Is Present", false}}), internalBattery(40, 100)}, Battery{true, 40}},
        {"FirstOfTwoWins",                   {internalBattery(30, 100), internalBattery(90, 100)},             Battery{true, 30}},
        {"PresenceAsStringIsFine",           {internalBattery(50, 100, {{"Is Present", "no"}})},               Battery{true, 50}},
        {"PresenceAsOneIsFine",              {internalBattery(50, 100, {{"Is Present", 1}})},                  Battery{true, 50}},
        {"PresenceAsZeroRejects",            {internalBattery(50, 100, {{"Is Present", 0}})},                  std::nullopt},
        {"MaxZeroSkipped",                   {internalBattery(5, 0), internalBattery(7, 10)},                  Battery{true, 70}},
        {"MaxNegativeSkipped",               {internalBattery(5, -100)},                                       std::nullopt},
        {"MaxOfOneIsABattery",               {internalBattery(1, 1)},                                          Battery{true, 100}},
        {"FractionalCurrentSkipped",         {internalBattery(50.5, 100)},                                     std::nullopt},
        {"WholeRealsRead",                   {internalBattery(50.0, 100.0)},                                   Battery{true, 50}},
        {"CurrentMissingSkipped",            {{{"Type", "InternalBattery"}, {"Max Capacity", 100}}},                   std::nullopt},
        {"OneEighthRoundsUp",                {internalBattery(1, 8)},                                          Battery{true, 13}},
        {"TenPointFourNineRoundsDown",       {internalBattery(1049, 10000)},                                   Battery{true, 10}},
        {"NegativeHalfRoundsAwayFromZero",   {internalBattery(-1, 8)},                                         Battery{true, -13}},
        {"AboveMaximumNotClamped",           {internalBattery(150, 100)},                                      Battery{true, 150}},
        {"ExternalPower",                    {internalBattery(3, 100, {{"Power Source State", "AC Power"}})},  Battery{false, 3}},
        {"StateMissing",                     {{{"Type", "InternalBattery"}, {"Current Capacity", 3}, {"Max Capacity", 100}}}, Battery{false, 3}},
        {"HugePercentSkipped",               {internalBattery(PropertyListValue(9000000000000000000LL), 1)},   std::nullopt},
        // 2^63 - 1 rounds to 2^63 as a double, one past the largest percent.
        {"PercentJustPastTheLargestSkipped", {internalBattery(PropertyListValue(INT64_MAX), 100)},             std::nullopt},
        {"SmallestPercentRead",              {internalBattery(PropertyListValue(INT64_MIN), 100)},             Battery{true, INT64_MIN}},
    };
    // clang-format on
    forEachRow(rows,
               [](const auto& r) { EXPECT_EQ(SafetyCutoff::battery(r.descriptions), r.expected); });
}

const std::string tooHot = "Vell turned off: Mac is too hot";

using CurrentReason = FakeTest;

TEST_F(CurrentReason, AppliesTheRuleInOrderToTheBatteryThermalStateAndSettingItReads) {
    // clang-format off
    const struct { const char* name; std::optional<Battery> battery; ThermalState thermal; bool lowBatteryEnabled; std::optional<std::string> expected; } rows[] = {
        {"DesktopNominal",             std::nullopt,       ThermalState::nominal,  true,  std::nullopt},
        {"DesktopCritical",            std::nullopt,       ThermalState::critical, true,  tooHot},
        {"AtThreshold",                Battery{true, 10},  ThermalState::nominal,  true,  "Vell turned off: battery at 10%"},
        {"AboveThreshold",             Battery{true, 11},  ThermalState::nominal,  true,  std::nullopt},
        {"NegativePercent",            Battery{true, -3},  ThermalState::fair,     true,  "Vell turned off: battery at -3%"},
        {"ExternalPowerLow",           Battery{false, 3},  ThermalState::nominal,  true,  std::nullopt},
        {"SeriousIsNotCritical",       Battery{false, 100},ThermalState::serious,  true,  std::nullopt},
        {"CriticalWithCutoffDisabled", Battery{false, 100},ThermalState::critical, false, tooHot},
        {"HeatBeatsBattery",           Battery{true, 5},   ThermalState::critical, true,  tooHot},
        {"CutoffDisabled",             Battery{true, 2},   ThermalState::nominal,  false, std::nullopt},
    };
    // clang-format on
    forEachRow(rows, [](const auto& r) {
        if (const auto& b = r.battery) {
            const PropertyListDictionary plugged = {{"Power Source State", "AC Power"}};
            fake().powerSources = {{internalBattery(
                b->percent, 100, b->onBattery ? PropertyListDictionary{} : plugged)}};
        }
        fake().thermalState = r.thermal;
        fake().shared()["lowBatteryCutoff"] = r.lowBatteryEnabled;
        EXPECT_EQ(SafetyCutoff::currentReason(), r.expected);
        // The battery is read even when the heat alone decides.
        EXPECT_EQ(fake().calls,
                  (std::vector<std::string>{"powerSources", "thermalState", "get lowBatteryCutoff",
                                            "get lowBatteryThreshold"}));
    });
}

TEST_F(CurrentReason, TheFloorIsTheUsersWholeNumberFrom1To99Else10) {
    // clang-format off
    const struct { const char* name; std::optional<PropertyListValue> threshold; std::int64_t percent; bool cutsOff; } rows[] = {
        {"20, at 20",                 20,                 20, true},
        {"20, at 21",                 20,                 21, false},
        {"99, at 99",                 99,                 99, true},
        {"a whole real",              20.0,               20, true},
        {"never set, at 10",          std::nullopt,       10, true},
        {"never set, at 11",          std::nullopt,       11, false},
        {"0 reads as 10",             0,                  11, false},
        {"100 reads as 10",           100,                50, false},
        {"a fraction reads as 10",    20.5,               15, false},
        {"a string reads as 10",      "30",               25, false},
        {"a Boolean reads as 10",     true,               10, true},
    };
    // clang-format on
    forEachRow(rows, [](const auto& r) {
        fake().powerSources = {{internalBattery(r.percent, 100)}};
        if (r.threshold) {
            fake().shared()["lowBatteryThreshold"] = *r.threshold;
        }
        const std::string message =
            "Vell turned off: battery at " + std::to_string(r.percent) + "%";
        EXPECT_EQ(SafetyCutoff::currentReason(), r.cutsOff ? std::optional(message) : std::nullopt);
    });
}

TEST_F(CurrentReason, NoSnapshotMeansNoBattery) {
    fake().powerSources = std::nullopt;
    EXPECT_EQ(SafetyCutoff::battery(), std::nullopt);
}

}  // namespace
