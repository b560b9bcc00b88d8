#include "VellShared/PropertyListReads.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(PropertyListReads, IntegersOnlyFromExactWholeNumbersThatFit) {
    EXPECT_EQ(readInteger(PropertyListValue(50)), 50);
    EXPECT_EQ(readInteger(PropertyListValue(50.0)), 50);
    EXPECT_EQ(readInteger(PropertyListValue(-3.0)), -3);
    EXPECT_EQ(readInteger(PropertyListValue(-9223372036854775808.0)),
              std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(readInteger(PropertyListValue(50.5)), std::nullopt);
    EXPECT_EQ(readInteger(PropertyListValue(std::nan(""))), std::nullopt);
    EXPECT_EQ(readInteger(PropertyListValue(INFINITY)), std::nullopt);
    EXPECT_EQ(readInteger(PropertyListValue(9223372036854775808.0)), std::nullopt);
    EXPECT_EQ(readInteger(PropertyListValue("50")), std::nullopt);
    EXPECT_EQ(readInteger(PropertyListValue(true)), std::nullopt);
}

TEST(PropertyListReads, BooleansOnlyFromBooleansAndExactZeroOrOne) {
    EXPECT_EQ(readBoolean(PropertyListValue(true)), true);
    EXPECT_EQ(readBoolean(PropertyListValue(0)), false);
    EXPECT_EQ(readBoolean(PropertyListValue(1)), true);
    EXPECT_EQ(readBoolean(PropertyListValue(1.0)), true);
    EXPECT_EQ(readBoolean(PropertyListValue(2)), std::nullopt);
    EXPECT_EQ(readBoolean(PropertyListValue(0.5)), std::nullopt);
    EXPECT_EQ(readBoolean(PropertyListValue("true")), std::nullopt);
}

TEST(PropertyListReads, StringsOnlyFromStringsAndMissingKeysReadAsMissing) {
    const PropertyListDictionary dictionary{{"name", "Vell"}, {"number", 7}};
    EXPECT_EQ(readString(dictionary, "name"), "Vell");
    EXPECT_EQ(readString(dictionary, "number"), std::nullopt);
    EXPECT_EQ(readString(dictionary, "absent"), std::nullopt);
    EXPECT_EQ(readInteger(dictionary, "absent"), std::nullopt);
    EXPECT_EQ(readBoolean(dictionary, "absent"), std::nullopt);
}
