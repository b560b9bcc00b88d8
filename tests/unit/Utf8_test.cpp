#include "VellShared/Utf8.hpp"

#include "tests/unit/FakeTest.hpp"

namespace {

#define R "\xEF\xBF\xBD"

TEST(Utf8, ValidatesStrictlyAndReplacesEachMaximalInvalidSubpartOnce) {
    // Valid exactly when nothing is replaced.
    // clang-format off
    const std::pair<std::string, std::string> rows[] = {
        {"", ""}, {"\x7F", "\x7F"}, {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
        // Stray continuations, leads never in UTF-8, overlong forms, a surrogate, above U+10FFFF.
        {"\x80\x80", R R}, {"\xC1\xBF", R R}, {"\xF5\x80\x80\x80", R R R R}, {"\xFF", R},
        {"\xE0\x9F\xBF", R R R}, {"\xF0\x8F\xBF\xBF", R R R R}, {"\xED\xA0\x80", R R R}, {"\xF4\x90\x80\x80", R R R R},
        // A continuation byte out of range ends the subpart before it.
        {"\xC2\x7F", R "\x7F"}, {"\xC2\xC0", R R}, {"\xE1\x80\x7F", R "\x7F"}, {"\xE1\x80\xC0", R R}, {"\xF1\x80\x80\x7F", R "\x7F"},
        // Cut short.
        {"ok\xE2\x82", "ok" R}, {"\xE2\x82x", R "x"}, {"\xF0\x9F\x98", R},
    };
    // clang-format on
    ASSERT_TRUE(endsInAChild([&] {
        for (const auto& [bytes, replaced] : rows) {
            isValidUtf8(bytes), decodeUtf8ReplacingInvalid(bytes), trimWhitespaceAndNewlines(bytes);
        }
    })) << "decoding never ended";
    for (const auto& [bytes, replaced] : rows) {
        EXPECT_EQ(decodeUtf8ReplacingInvalid(bytes), replaced) << bytes;
        EXPECT_EQ(isValidUtf8(bytes), replaced == bytes) << bytes;
    }
    const std::string_view cut("a\xC3\xA9", 2);  // ends inside a sequence the bytes go on with
    EXPECT_TRUE(!isValidUtf8(cut) && decodeUtf8ReplacingInvalid(cut) == "a" R);
}

TEST(Utf8, TrimsUnicodeWhitespaceAndLineBreaksAtBothEnds) {
    const std::string spaces =
        "\t\n\v\f\r \xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9"
        "\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80";
    EXPECT_EQ(trimWhitespaceAndNewlines(spaces), "");
    // Each beside a whitespace character, and something above U+FFFF, and an invalid byte.
    // clang-format off
    const std::string kept[] = {"in  side", "\x08", "\x0E", "\x1F", "!", "\xC2\x84", "\xC2\x86", "\xC2\x9F", "\xC2\xA1",
        "\xE1\x99\xBF", "\xE1\x9A\x81", "\xE1\xBF\xBF", "\xE2\x80\x8B", "\xE2\x80\xA7", "\xE2\x80\xAA", "\xE2\x80\xAE",
        "\xE2\x80\xB0", "\xE2\x81\x9E", "\xE2\x81\xA0", "\xE2\xBF\xBF", "\xE3\x80\x81", "\xF4\x80\x82\x85", "\x80"};
    // clang-format on
    for (const std::string& text : kept) {
        EXPECT_EQ(trimWhitespaceAndNewlines(spaces + text + spaces), text) << text;
    }
}

}  // namespace
