// Every unit test starts from a fresh fake platform.
#pragma once

#include <gtest/gtest.h>

#include "tests/fake/FakePlatform.hpp"

class FakeTest : public ::testing::Test {
  protected:
    void SetUp() override { resetFake(); }
    void TearDown() override {
        EXPECT_EQ(fake().spins, 0) << "a wait read the override 1000 times without pausing, "
                                      "so it would never have reached its deadline";
    }
};
