// Every unit test starts from a fresh fake platform.
#pragma once

#include <gtest/gtest.h>

#include "tests/fake/FakePlatform.hpp"

class FakeTest : public ::testing::Test {
  protected:
    void SetUp() override { resetFake(); }
    void TearDown() override {
        EXPECT_FALSE(fake().endedAWait) << "a wait read the override 10000 times without "
                                           "confirming it or reaching its deadline";
    }
};
