// Every unit test starts from a fresh fake platform, and so does every table row.
#pragma once

#include <gtest/gtest.h>

#include "tests/fake/FakePlatform.hpp"

inline void expectNoEndlessWait() {
    EXPECT_FALSE(fake().endedAWait) << "a wait read the override 10000 times, never ending";
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
