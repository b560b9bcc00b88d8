#include "VellShared/PowerTool.hpp"

#include <cmath>

#include "tests/unit/FakeTest.hpp"

namespace {

using PowerToolTest = FakeTest;

const std::string turnOn = "run /usr/bin/sudo -n /usr/bin/pmset -a disablesleep 1";
const std::string turnOff = "run /usr/bin/sudo -n /usr/bin/pmset -a disablesleep 0";

TEST_F(PowerToolTest, RunReturnsStatusAndOutputOrTheStartError) {
    fake().programs["/bin/echo"] = {true, "", "hello\n", 3};
    fake().programs["/bin/garbled"] = {true, "", "ok \xC3(", 0};
    fake().programs["/missing"] = {false, "No such file or directory", "", 0};

    const CommandResult echo = PowerTool::run("/bin/echo", {"hello"});
    EXPECT_EQ(echo.code, 3);
    EXPECT_EQ(echo.output, "hello\n");
    // Invalid UTF-8 anywhere empties the whole output.
    EXPECT_EQ(PowerTool::run("/bin/garbled", {}).output, "");
    const CommandResult missing = PowerTool::run("/missing", {});
    EXPECT_EQ(missing.code, -1);
    EXPECT_EQ(missing.output, "No such file or directory");
}

struct SetCase {
    const char* name;
    bool request;
    std::optional<bool> before;
    FakePmsetOutcome outcome;
    std::optional<std::string> error;
};

void PrintTo(const SetCase& value, std::ostream* out) {
    *out << value.name;
}

class SetSleepDisabled : public PowerToolTest, public ::testing::WithParamInterface<SetCase> {};

TEST_P(SetSleepDisabled, GivesThePowerErrorOfEachOutcome) {
    const SetCase& c = GetParam();
    fake().sleepDisabled = c.before;
    fake().pmsetOutcomes = {c.outcome};
    EXPECT_EQ(PowerTool::setSleepDisabled(c.request), c.error);
    EXPECT_EQ(fake().calls.front(), c.request ? turnOn : turnOff);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes,
    SetSleepDisabled,
    ::testing::Values(
        SetCase{"TurnOnConfirmed", true, false, {0, "", true}, std::nullopt},
        SetCase{"TurnOffConfirmed", false, true, {0, "", true}, std::nullopt},
        SetCase{"TurnOnNeverConfirmed",
                true,
                false,
                {0, "", false},
                "macOS did not confirm the power setting."},
        SetCase{"TurnOnNeverReadable",
                true,
                std::nullopt,
                {0, "", false},
                "macOS did not confirm the power setting."},
        SetCase{"FailedTurnOffWhileAlreadyOff",
                false,
                false,
                {1, "sudo: a password is required\n", false},
                std::nullopt},
        SetCase{"FailedTurnOffWhileUnreadable",
                false,
                std::nullopt,
                {1, "sudo: a password is required\n", false},
                "sudo: a password is required"},
        SetCase{"FailedTurnOnWhileAlreadyOn", true, true, {1, "denied", false}, "denied"},
        SetCase{"OutputTrimmedAndNothingAdded",
                true,
                false,
                {1, "  pmset: bad argument\n", false},
                "pmset: bad argument"},
        SetCase{"BlankOutputGivesTheExitMessage",
                true,
                false,
                {4, " \n\t\r\n", false},
                "Power setting failed (exit 4)."},
        SetCase{"NegativeStatusKeepsItsSign",
                true,
                false,
                {-6, "", false},
                "Power setting failed (exit -6)."},
        SetCase{"BlankStartErrorGivesExitMinusOne",
                true,
                false,
                {-1, "  ", false},
                "Power setting failed (exit -1)."},
        SetCase{"StartErrorIsTheMessage",
                true,
                false,
                {-1, "No such file or directory", false},
                "No such file or directory"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PowerToolTest, AnUnconfirmedChangeGivesUpAfterTwoSecondsOfReads) {
    fake().pmsetOutcomes = {{0, "", false}};
    const double start = fake().now;
    EXPECT_EQ(PowerTool::setSleepDisabled(true), "macOS did not confirm the power setting.");
    const auto reads = callsStartingWith({"registry"}).size();
    EXPECT_GE(reads, 21u);
    EXPECT_LE(reads, 22u);
    EXPECT_GE(fake().now - start, 2.0);
    EXPECT_LE(fake().now - start, 2.1 + 1e-9);
}

TEST_F(PowerToolTest, AChangeThatLandsDuringTheLastPauseIsStillSeen) {
    const double start = fake().now;
    // The registry shows the change only once the deadline has been reached.
    fake().registryReading = [start] { return std::optional<bool>(fake().now - start >= 2.0); };
    EXPECT_TRUE(PowerTool::waitForSleepDisabled(true, 2.0));
}

TEST_F(PowerToolTest, WaitReadsOnceWithNoTimeAndNeverPausesOnAFirstMatch) {
    fake().sleepDisabled = false;
    EXPECT_FALSE(PowerTool::waitForSleepDisabled(true, 0.0));
    EXPECT_EQ(callsStartingWith({"registry"}).size(), 1u);
    EXPECT_FALSE(PowerTool::waitForSleepDisabled(true, -5.0));
    EXPECT_FALSE(PowerTool::waitForSleepDisabled(true, std::nan("")));
    EXPECT_EQ(callsStartingWith({"registry"}).size(), 3u);
    EXPECT_TRUE(PowerTool::waitForSleepDisabled(false, 2.0));
    EXPECT_EQ(fake().pauses, 0);
}

TEST_F(PowerToolTest, AnAbsentReadingNeverMatches) {
    fake().sleepDisabled = std::nullopt;
    EXPECT_FALSE(PowerTool::waitForSleepDisabled(false, 0.5));
    EXPECT_EQ(fake().pauses, 5);
}

}  // namespace
