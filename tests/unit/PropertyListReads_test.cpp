#include "VellShared/PropertyListReads.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(PropertyListReads, IntegersOnlyFromExactWholeNumbersThatFit) {
    constexpr auto smallest = std::numeric_limits<std::int64_t>::min();
    // clang-format off
    const std::vector<std::pair<PropertyListValue, std::optional<std::int64_t>>> cases = {
        {50, 50}, {50.0, 50}, {-3.0, -3}, {-9223372036854775808.0, smallest},
        {50.5, std::nullopt}, {std::nan(""), std::nullopt}, {INFINITY, std::nullopt},
        {9223372036854775808.0, std::nullopt}, {"50", std::nullopt}, {true, std::nullopt}};
    // clang-format on
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(readInteger(cases[i].first), cases[i].second) << "case " << i;
    }
}

TEST(PropertyListReads, BooleansOnlyFromBooleansAndExactZeroOrOne) {
    const std::vector<std::pair<PropertyListValue, std::optional<bool>>> cases = {
        {true, true},      {false, false},      {0, false},
        {1, true},         {0.0, false},        {1.0, true},
        {2, std::nullopt}, {0.5, std::nullopt}, {"true", std::nullopt}};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(readBoolean(cases[i].first), cases[i].second) << "case " << i;
    }
}

TEST(PropertyListReads, StringsOnlyFromStringsAndMissingKeysReadAsMissing) {
    const PropertyListDictionary dictionary{{"name", "Vell"}, {"number", 7}};
    EXPECT_EQ(readString(dictionary, "name"), "Vell");
    EXPECT_EQ(readString(dictionary, "number"), std::nullopt);
    EXPECT_EQ(readString(dictionary, "absent"), std::nullopt);
    EXPECT_EQ(readInteger(dictionary, "absent"), std::nullopt);
    EXPECT_EQ(readBoolean(dictionary, "absent"), std::nullopt);
}
