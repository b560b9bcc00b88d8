#include "VellShared/PropertyListReads.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

TEST(PropertyListReads, IntegersFromExactWholeNumbersThatFitBooleansFromBooleansOrExactZeroOrOne) {
    // clang-format off
    const std::vector<std::pair<PropertyListValue, std::optional<std::int64_t>>> integers = {
        {50, 50}, {50.0, 50}, {-3.0, -3}, {-9223372036854775808.0, INT64_MIN},
        {50.5, std::nullopt}, {std::nan(""), std::nullopt}, {INFINITY, std::nullopt},
        {9223372036854775808.0, std::nullopt}, {"50", std::nullopt}, {true, std::nullopt}};
    const std::vector<std::pair<PropertyListValue, std::optional<bool>>> booleans = {
        {true, true}, {false, false}, {0, false}, {1, true}, {0.0, false}, {1.0, true},
        {2, std::nullopt}, {0.5, std::nullopt}, {"true", std::nullopt}};
    // clang-format on
    for (std::size_t i = 0; i < integers.size(); ++i) {
        EXPECT_EQ(readInteger(integers[i].first), integers[i].second) << "integer case " << i;
    }
    for (std::size_t i = 0; i < booleans.size(); ++i) {
        EXPECT_EQ(readBoolean(booleans[i].first), booleans[i].second) << "boolean case " << i;
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
