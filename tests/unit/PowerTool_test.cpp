#include "VellShared/PowerTool.hpp"

#include <cmath>

#include "tests/unit/FakeTest.hpp"

namespace {

using PowerToolTest = FakeTest;

const std::string unconfirmed = "macOS did not confirm the power setting.";
const std::string password = "sudo: a password is required\n";

TEST_F(PowerToolTest, SettingTheOverrideGivesThePowerErrorOfEachOutcome) {
    // clang-format off
    const struct { const char* name; bool request; std::optional<bool> before; FakePmsetOutcome outcome; std::optional<std::string> error; int reads; } rows[] = {
        {"TurnOnConfirmed",                  true,  false,        {0, "", true},                          std::nullopt, 1},
        {"TurnOffConfirmed",                 false, true,         {0, "", true},                          std::nullopt, 1},
        {"TurnOnNeverConfirmed",             true,  false,        {0, "", false},                         unconfirmed, 21},
        {"TurnOnNeverReadable",              true,  std::nullopt, {0, "", false},                         unconfirmed, 21},
        {"FailedTurnOffWhileAlreadyOff",     false, false,        {1, password, false},                   std::nullopt, 1},
        {"FailedTurnOffWhileUnreadable",     false, std::nullopt, {1, password, false},                   "sudo: a password is required", 1},
        {"FailedTurnOnWhileAlreadyOn",       true,  true,         {1, "denied", false},                   "denied", 0},
        {"OutputTrimmedAndNothingAdded",     true,  false,        {1, "  pmset: bad argument\n", false},  "pmset: bad argument", 0},
        {"BlankOutputGivesTheExitMessage",   true,  false,        {4, " \n\t\r\n", false},                "Power setting failed (exit 4).", 0},
        {"InvalidUtf8OutputIsDroppedWhole",  true,  false,        {5, "ok \xC3( invalid", false},        "Power setting failed (exit 5).", 0},
        {"NegativeStatusKeepsItsSign",       true,  false,        {-6, "", false},                        "Power setting failed (exit -6).", 0},
        {"BlankStartErrorGivesExitMinusOne", true,  false,        {-1, "  ", false},                      "Power setting failed (exit -1).", 0},
        {"StartErrorIsTheMessage",           true,  false,        {-1, "No such file or directory", false}, "No such file or directory", 0},
    };
    // clang-format on
    forEachRow(rows, [](const auto& r) {
        fake().sleepDisabled = r.before;
        fake().pmsetOutcomes = {r.outcome};
        EXPECT_EQ(PowerTool::setSleepDisabled(r.request), r.error);
        EXPECT_EQ(fake().registryReads, r.reads);
        EXPECT_EQ(fake().calls.front(),
                  std::string("run /usr/bin/sudo -n /usr/bin/pmset -a disablesleep ") +
                      (r.request ? "1" : "0"));
    });
}

constexpr double never = INFINITY;

// A read every 0.1 s on the fake clock until the override reads `expected` or the time is up.
TEST_F(PowerToolTest, WaitingReadsUntilConfirmedOrTheTimeIsUp) {
    // clang-format off
    // changesAfter: seconds until the reading becomes `expected`.
    const struct { const char* name; std::optional<bool> reading; double changesAfter; bool expected; double timeout; bool confirmed; int reads; } rows[] = {
        {"NoTimeReadsOnce",                  false,        never, true,  0.0,          false, 1},
        {"NegativeTimeReadsOnce",            false,        never, true,  -5.0,         false, 1},
        {"NaNTimeReadsOnce",                 false,        never, true,  std::nan(""), false, 1},
        {"AFirstMatchEndsAtOnce",            false,        never, false, 2.0,          true,  1},
        {"AnAbsentReadingNeverMatches",      std::nullopt, never, false, 0.5,          false, 6},
        {"NeverConfirmedGivesUpAfterTwoSeconds", false,    never, true,  2.0,          false, 21},
        {"AChangeDuringTheLastPauseIsSeen",  false,        2.0,   true,  2.0,          true,  21},
    };
    // clang-format on
    forEachRow(rows, [](const auto& r) {
        fake().registryReading = [&r, start = fake().now] {
            return fake().now - start >= r.changesAfter ? r.expected : r.reading;
        };
        EXPECT_EQ(PowerTool::waitForSleepDisabled(r.expected, r.timeout), r.confirmed);
        EXPECT_EQ(fake().registryReads, r.reads);
    });
}

}  // namespace
