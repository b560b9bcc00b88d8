#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "VellShared/PowerTool.hpp"
#include "tests/support/SimulatedMac.hpp"

namespace {

CommandResult shell(const std::string& script) {
    return PowerTool::run("/bin/sh", {"-c", script});
}

TEST(Process, CollectsStandardErrorAlone) {
    const CommandResult result = shell("echo oops >&2; exit 3");
    EXPECT_EQ(result.code, 3);
    EXPECT_EQ(result.output, "oops\n");
}

TEST(Process, InterleavesBothStreamsInTheOrderTheyWereWritten) {
    EXPECT_EQ(shell("printf a; printf b >&2; printf c; printf d >&2").output, "abcd");
}

TEST(Process, ReadsMoreThanAPipeHoldsBeforeWaiting) {
    const CommandResult result = shell("head -c 5000000 /dev/zero | tr '\\0' x");
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.output.size(), 5000000u);
}

TEST(Process, InvalidUtf8EmptiesTheOutput) {
    const CommandResult result = shell("printf 'fine \\377 text'; exit 1");
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.output, "");
}

TEST(Process, AMissingProgramFailsAtOnceWithTheStartError) {
    const CommandResult result = PowerTool::run("/nonexistent/program", {});
    EXPECT_EQ(result.code, -1);
    EXPECT_EQ(result.output, "No such file or directory");
}

TEST(Process, AKilledChildReportsItsSignal) {
    EXPECT_EQ(shell("kill -9 $$").code, 9);
}

TEST(Process, AGivenEnvironmentReplacesOursAndAnAbsentOneKeepsIt) {
    ScopedEnvironment marker("VELL_TEST_MARK", "inherited");
    EXPECT_EQ(PowerTool::run("/usr/bin/env", {}, PowerTool::Environment{{"ONLY", "this"}}).output,
              "ONLY=this\n");
    EXPECT_NE(PowerTool::run("/usr/bin/env", {}).output.find("VELL_TEST_MARK=inherited"),
              std::string::npos);
}

TEST(Process, NoDescriptorOfOursReachesTheChild) {
    // Opened without close-on-exec on purpose.
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    const CommandResult result = shell("ls /proc/$$/fd");
    ::close(leaked);
    EXPECT_EQ(result.output, "0\n1\n2\n");
}

TEST(Process, ProgramsRunInsideTheSimulatedRoot) {
    SimulatedMac mac;
    ScopedEnvironment root("VELL_SYSTEM_ROOT", mac.root());
    writeFile(mac.at("/usr/local/bin/hello"), "#!/bin/sh\necho \"hello $1\"\n");
    ::chmod(mac.at("/usr/local/bin/hello").c_str(), 0755);
    EXPECT_EQ(PowerTool::run("/usr/local/bin/hello", {"mac"}).output, "hello mac\n");
    // Outside the root there is nothing at that path.
    EXPECT_EQ(PowerTool::run("/bin/sh", {"-c", "true"}).code, -1);
}

}  // namespace
