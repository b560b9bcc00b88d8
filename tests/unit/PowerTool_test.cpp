#include "VellShared/PowerTool.hpp"

#include <cmath>

#include "tests/unit/FakeTest.hpp"

namespace {

using PowerToolTest = FakeTest;

TEST_F(PowerToolTest, RunReturnsStatusAndOutputOrTheStartError) {
    fake().programs["/bin/echo"] = {true, "", "hello\n", 3};
    fake().programs["/bin/garbled"] = {true, "", "ok \xC3(", 5};
    fake().programs["/missing"] = {false, "No such file or directory", "", 0};
    EXPECT_EQ(PowerTool::run("/bin/echo", {"hello"}).code, 3);
    EXPECT_EQ(PowerTool::run("/bin/echo", {"hello"}).output, "hello\n");
    // Invalid UTF-8 anywhere empties the whole output.
    EXPECT_EQ(PowerTool::run("/bin/garbled", {}).output, "");
    EXPECT_EQ(PowerTool::run("/bin/garbled", {}).code, 5);
    EXPECT_EQ(PowerTool::run("/missing", {}).code, -1);
    EXPECT_EQ(PowerTool::run("/missing", {}).output, "No such file or directory");
}

struct SetRow {
    const char* name;
    bool request;
    std::optional<bool> before;
    FakePmsetOutcome outcome;
    std::optional<std::string> error;
    std::size_t reads;
};

class SetSleepDisabled : public FakeTest, public ::testing::WithParamInterface<SetRow> {};

TEST_P(SetSleepDisabled, GivesThePowerErrorOfEachOutcome) {
    const SetRow& r = GetParam();
    fake().sleepDisabled = r.before;
    fake().pmsetOutcomes = {r.outcome};
    EXPECT_EQ(PowerTool::setSleepDisabled(r.request), r.error);
    EXPECT_EQ(callsStartingWith({"registry"}).size(), r.reads);
    EXPECT_EQ(fake().calls.front(),
              std::string("run /usr/bin/sudo -n /usr/bin/pmset -a disablesleep ") +
                  (r.request ? "1" : "0"));
}

const std::string unconfirmed = "macOS did not confirm the power setting.";
const std::string password = "sudo: a password is required\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Outcomes, SetSleepDisabled, ::testing::Values(
    SetRow{"TurnOnConfirmed",                  true,  false,        {0, "", true},                          std::nullopt, 1},
    SetRow{"TurnOffConfirmed",                 false, true,         {0, "", true},                          std::nullopt, 1},
    SetRow{"TurnOnNeverConfirmed",             true,  false,        {0, "", false},                         unconfirmed, 21},
    SetRow{"TurnOnNeverReadable",              true,  std::nullopt, {0, "", false},                         unconfirmed, 21},
    SetRow{"FailedTurnOffWhileAlreadyOff",     false, false,        {1, password, false},                   std::nullopt, 1},
    SetRow{"FailedTurnOffWhileUnreadable",     false, std::nullopt, {1, password, false},                   "sudo: a password is required", 1},
    SetRow{"FailedTurnOnWhileAlreadyOn",       true,  true,         {1, "denied", false},                   "denied", 0},
    SetRow{"OutputTrimmedAndNothingAdded",     true,  false,        {1, "  pmset: bad argument\n", false},  "pmset: bad argument", 0},
    SetRow{"BlankOutputGivesTheExitMessage",   true,  false,        {4, " \n\t\r\n", false},                "Power setting failed (exit 4).", 0},
    SetRow{"NegativeStatusKeepsItsSign",       true,  false,        {-6, "", false},                        "Power setting failed (exit -6).", 0},
    SetRow{"BlankStartErrorGivesExitMinusOne", true,  false,        {-1, "  ", false},                      "Power setting failed (exit -1).", 0},
    SetRow{"StartErrorIsTheMessage",           true,  false,        {-1, "No such file or directory", false}, "No such file or directory", 0}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// Waiting for the override: a read every 0.1 s on the fake clock until it
// reads `expected` or the time is up.
struct WaitRow {
    const char* name;
    std::optional<bool> reading;
    double changesAfter;  // seconds until the reading becomes `expected`
    bool expected;
    double timeout;
    bool confirmed;
    std::size_t reads;
};

class Wait : public FakeTest, public ::testing::WithParamInterface<WaitRow> {};

TEST_P(Wait, ReadsUntilConfirmedOrTheTimeIsUp) {
    const WaitRow& r = GetParam();
    const double start = fake().now;
    fake().registryReading = [&r, start] {
        return fake().now - start >= r.changesAfter ? r.expected : r.reading;
    };
    EXPECT_EQ(PowerTool::waitForSleepDisabled(r.expected, r.timeout), r.confirmed);
    EXPECT_EQ(callsStartingWith({"registry"}).size(), r.reads);
}

constexpr double never = INFINITY;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Situations, Wait, ::testing::Values(
    WaitRow{"NoTimeReadsOnce",                  false,        never, true,  0.0,          false, 1},
    WaitRow{"NegativeTimeReadsOnce",            false,        never, true,  -5.0,         false, 1},
    WaitRow{"NaNTimeReadsOnce",                 false,        never, true,  std::nan(""), false, 1},
    WaitRow{"AFirstMatchEndsAtOnce",            false,        never, false, 2.0,          true,  1},
    WaitRow{"AnAbsentReadingNeverMatches",      std::nullopt, never, false, 0.5,          false, 6},
    WaitRow{"NeverConfirmedGivesUpAfterTwoSeconds", false,    never, true,  2.0,          false, 21},
    WaitRow{"AChangeDuringTheLastPauseIsSeen",  false,        2.0,   true,  2.0,          true,  21}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
