// Every unit test starts from a fresh fake platform, and so does every table row.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/fake/FakePlatform.hpp"

inline void expectNoEndlessWait() {
    EXPECT_FALSE(fake().endedAWait) << "a wait read the override 10000 times, never ending";
}

// A loop in pure logic that stops advancing would hang the tests: `work` runs
// first in a child, which an alarm ends after 2 s.
template <typename Work>
bool endsInAChild(Work work) {
    const pid_t child = fork();
    if (child == 0) {
        alarm(2);
        work();
        _exit(0);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

template <typename Rows, typename Check>
void forEachRow(const Rows& rows, Check check) {
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        resetFake();
        check(row);
        expectNoEndlessWait();
    }
}

class FakeTest : public ::testing::Test {
  protected:
    void SetUp() override { resetFake(); }
    void TearDown() override { expectNoEndlessWait(); }
};
