#include "VellShared/Utf8.hpp"

#include <gtest/gtest.h>

TEST(Utf8, ValidatesStrictly) {
    for (const char* valid : {"", "plain ascii", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"}) {
        EXPECT_TRUE(isValidUtf8(valid)) << valid;
    }
    // An overlong "/", a surrogate, above U+10FFFF, cut short, never in UTF-8.
    for (const char* invalid :
         {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "ok\xE2\x82", "\xFF"}) {
        EXPECT_FALSE(isValidUtf8(invalid)) << invalid;
    }
}

TEST(Utf8, ReplacesEachMaximalInvalidSubpartOnce) {
    // A truncated three-byte sequence is one subpart, so one replacement.
    EXPECT_EQ(decodeUtf8ReplacingInvalid("\xE2\x82x"), "\xEF\xBF\xBDx");
    // Two stray continuation bytes are two.
    EXPECT_EQ(decodeUtf8ReplacingInvalid("\x80\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(decodeUtf8ReplacingInvalid("/Apps/caf\xC3\xA9"), "/Apps/caf\xC3\xA9");
}

TEST(Utf8, TrimsUnicodeWhitespaceAndLineBreaksAtBothEnds) {
    EXPECT_EQ(trimWhitespaceAndNewlines("\t\r\n \xC2\xA0"), "");
    EXPECT_EQ(trimWhitespaceAndNewlines("\xE2\x80\xA8 in  side \xE3\x80\x80"), "in  side");
}
