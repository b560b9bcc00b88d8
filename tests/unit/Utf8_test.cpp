#include "VellShared/Utf8.hpp"

#include <gtest/gtest.h>

TEST(Utf8, ValidatesStrictly) {
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("plain ascii"));
    EXPECT_TRUE(isValidUtf8("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"));
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));          // overlong "/"
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // a surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(isValidUtf8("ok\xE2\x82"));        // cut short
    EXPECT_FALSE(isValidUtf8("\xFF"));
}

TEST(Utf8, ReplacesEachMaximalInvalidSubpartOnce) {
    EXPECT_EQ(decodeUtf8ReplacingInvalid("a\xFF"
                                         "b"),
              "a\xEF\xBF\xBD"
              "b");
    // A truncated three-byte sequence is one subpart, so one replacement.
    EXPECT_EQ(decodeUtf8ReplacingInvalid("\xE2\x82x"), "\xEF\xBF\xBDx");
    // Two stray continuation bytes are two.
    EXPECT_EQ(decodeUtf8ReplacingInvalid("\x80\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(decodeUtf8ReplacingInvalid("/Apps/caf\xC3\xA9"), "/Apps/caf\xC3\xA9");
}

TEST(Utf8, TrimsUnicodeWhitespaceAndLineBreaksAtBothEnds) {
    EXPECT_EQ(trimWhitespaceAndNewlines("  sudo: a password is required\n"),
              "sudo: a password is required");
    EXPECT_EQ(trimWhitespaceAndNewlines("\t\r\n \xC2\xA0"), "");
    EXPECT_EQ(trimWhitespaceAndNewlines("\xE2\x80\xA8 in  side \xE3\x80\x80"), "in  side");
    EXPECT_EQ(trimWhitespaceAndNewlines("x"), "x");
}
