// The guard in front of libplist, and the conversion to the logic's values.
#include "platform/linux/property_list_file.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

using namespace platform::linux_host;

namespace {

std::string arrays(int depth, const std::string& between = "") {
    std::string text = "<plist>";
    for (int i = 0; i < depth; ++i) {
        text += "<array>" + between;
    }
    for (int i = 0; i < depth; ++i) {
        text += "</array>";
    }
    return text + "</plist>";
}

TEST(PropertyListGuard, AllowsRealNestingAndRefusesAbsurdNesting) {
    EXPECT_TRUE(propertyListWithinLimits(arrays(60)));
    EXPECT_TRUE(parsePropertyList(arrays(60)));
    EXPECT_FALSE(propertyListWithinLimits(arrays(200)));
    EXPECT_FALSE(parsePropertyList(arrays(200)));
}

TEST(PropertyListGuard, NestingCannotHideInCommentsOrBehindStrayClosingTags) {
    // A comment holding a closing tag must not count as one.
    EXPECT_FALSE(propertyListWithinLimits(arrays(200, "<!--</array>-->")));
    EXPECT_FALSE(propertyListWithinLimits("<plist><array></dict></array></plist>"));
    EXPECT_FALSE(propertyListWithinLimits("<plist><array><!-- never closed"));
    EXPECT_TRUE(propertyListWithinLimits("<plist><array/><dict/></plist>"));
}

// libplist truncates a string at a NUL and aborts on a key with one; a
// comment is no business of its.
TEST(PropertyListGuard, RefusesNulOnlyInKeysAndStrings) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"<plist><dict><!-- &#0; --><key>a</key><true/></dict></plist>", true},
        {"<!-- &#x0; --><plist><dict/></plist>", true},
        {"<plist><dict><key>a&#x0;</key><true/></dict></plist>", false},
        {"<plist><dict><key>a</key><string>&#00;</string></dict></plist>", false},
        {std::string("<plist><dict><!-- \0 --></dict></plist>", 38), false},
    };
    for (const auto& [text, parsed] : cases) {
        EXPECT_EQ(parsePropertyList(text).has_value(), parsed) << text;
    }
}

TEST(PropertyListGuard, NothingUsableIsNotAPropertyList) {
    EXPECT_FALSE(parsePropertyList(""));
    EXPECT_FALSE(parsePropertyList("hello"));
    EXPECT_FALSE(parsePropertyList("bplist00"));
    EXPECT_FALSE(parsePropertyList(std::string("bplist00\0\0\0", 11) + std::string(32, '\0')));
}

TEST(PropertyListValues, SurviveTheTripThroughLibplist) {
    const PropertyListDictionary original{
        {"flag", true},
        {"negative", -5},
        {"big", PropertyListValue(9000000000LL)},
        {"real", 0.25},
        {"text", "caf\xC3\xA9"},
        {"data", PropertyListData{0, 1, 255}},
        // XML keeps dates to the second, as on the Mac.
        {"date", PropertyListDate{599529600}},
        {"list", PropertyListArray{1, "two", PropertyListDictionary{{"three", 3}}}},
    };
    const ScopedPlist node = nodeFromValue(original);
    const auto reparsed = parsePropertyList(toXml(node.get()));
    ASSERT_TRUE(reparsed);
    EXPECT_EQ(valueFromNode(reparsed->get()), PropertyListValue(original));
}

}  // namespace
