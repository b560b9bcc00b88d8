// Every unit test starts from a fresh fake platform; table rows print as their names.
#pragma once

#include <gtest/gtest.h>

#include "tests/fake/FakePlatform.hpp"

namespace {
template <typename Row>
requires(sizeof(Row::name) != 0) void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}
}  // namespace

class FakeTest : public ::testing::Test {
  protected:
    void SetUp() override { resetFake(); }
    void TearDown() override {
        EXPECT_FALSE(fake().endedAWait) << "a wait read the override 10000 times, never ending";
    }
};
