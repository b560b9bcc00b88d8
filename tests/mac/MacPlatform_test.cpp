// The Mac layer against the real CoreFoundation and defaults system: only on
// a Mac, where the macOS workflow runs it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/files.hpp"
#include "platform/macos/cf_property_list.hpp"
#include "platform/settings.hpp"

using platform::mac::ScopedCFTypeRef;

namespace {

using namespace std::string_literals;

const std::string identifierWithNul = "org.vell.app\0x"s;

ScopedCFTypeRef<CFMutableDictionaryRef> emptyDictionary() {
    return ScopedCFTypeRef<CFMutableDictionaryRef>(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}

void set(CFMutableDictionaryRef dictionary, CFTypeRef key, CFTypeRef value) {
    CFDictionarySetValue(dictionary, key, value);
}

}  // namespace

TEST(MacStrings, KeepEveryCharacterThroughCoreFoundation) {
    for (const std::string& text : {""s, "plain"s, identifierWithNul, "\0"s, "caf\u00e9 \u2615"s}) {
        ScopedCFTypeRef<CFStringRef> string = platform::mac::cfString(text);
        ASSERT_TRUE(string);
        EXPECT_EQ(platform::mac::stringFromCF(string.get()), text);
    }
}

TEST(MacFiles, NulsInNamesAreKept) {
    const char* folder = std::getenv("TMPDIR");
    const std::string path = std::string(folder ? folder : "/tmp/") + "/vell-info-" +
                             std::to_string(getpid()) + ".plist";
    ScopedCFTypeRef<CFPropertyListRef> info = platform::mac::cfFromValue(
        PropertyListDictionary{{"CFBundleIdentifier", identifierWithNul}});
    ASSERT_TRUE(info);
    ScopedCFTypeRef<CFDataRef> bytes(CFPropertyListCreateData(
        kCFAllocatorDefault, info.get(), kCFPropertyListBinaryFormat_v1_0, 0, nullptr));
    ASSERT_TRUE(bytes);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(CFDataGetBytePtr(bytes.get()), 1,
                static_cast<std::size_t>(CFDataGetLength(bytes.get())), file);
    std::fclose(file);

    const auto read = platform::readDictionaryFile(path);
    const bool cutPathExists = platform::fileExists(path + "\0tail"s);
    std::remove(path.c_str());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->at("CFBundleIdentifier"), PropertyListValue(identifierWithNul));
    EXPECT_FALSE(cutPathExists) << "a path with a NUL names no file, not its first part";
}

TEST(MacPowerSources, ADescriptionKeepsWhatReadsAndLosesWhatDoesNot) {
    ScopedCFTypeRef<CFStringRef> type = platform::mac::cfString("Type");
    ScopedCFTypeRef<CFStringRef> battery = platform::mac::cfString("InternalBattery");
    ScopedCFTypeRef<CFStringRef> odd = platform::mac::cfString("Odd");
    const int one = 1;
    ScopedCFTypeRef<CFNumberRef> number(
        CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &one));

    auto nested = emptyDictionary();
    set(nested.get(), odd.get(), kCFNull);
    auto readable = emptyDictionary();
    set(readable.get(), type.get(), battery.get());
    set(readable.get(), odd.get(), nested.get());
    const auto entries = platform::mac::readableEntriesFromCF(readable.get());
    ASSERT_TRUE(entries);
    EXPECT_EQ(*entries, (PropertyListDictionary{{"Type", "InternalBattery"}}));

    auto numberKeyInside = emptyDictionary();
    set(numberKeyInside.get(), number.get(), battery.get());
    auto unreadable = emptyDictionary();
    set(unreadable.get(), type.get(), battery.get());
    set(unreadable.get(), odd.get(), numberKeyInside.get());
    EXPECT_FALSE(platform::mac::readableEntriesFromCF(unreadable.get()));
}

class MacSettings : public testing::Test {
  protected:
    void SetUp() override {
        suite = platform::openSettingsSuite("org.vell.tests." + std::to_string(getpid()));
        ASSERT_TRUE(suite);
    }
    void TearDown() override {
        suite->setObjectForKey(std::nullopt, "kept");
        suite->setObjectForKey(std::nullopt, "text");
        suite->synchronize();
    }
    std::unique_ptr<platform::SettingsSuite> suite;
};

TEST_F(MacSettings, AValueThatIsNotUtf8IsNotWrittenAndTheKeyKeepsItsValue) {
    // clang-format off
    const struct { const char* situation; PropertyListValue value; } rows[] = {
        {"a string",                   "\xff"},
        {"a string inside an array",   PropertyListArray{"ok", "\xc3"}},
        {"a key inside a dictionary",  PropertyListDictionary{{"\xfe", 1}}},
    };
    // clang-format on
    for (const auto& row : rows) {
        suite->setObjectForKey(PropertyListValue("before"), "kept");
        suite->setObjectForKey(row.value, "kept");
        EXPECT_EQ(suite->objectForKey("kept"), PropertyListValue("before")) << row.situation;
    }
}

TEST_F(MacSettings, StringsWithANulAreStoredAndReadWhole) {
    suite->setObjectForKey(PropertyListValue(identifierWithNul), "text");
    EXPECT_EQ(suite->objectForKey("text"), PropertyListValue(identifierWithNul));
    EXPECT_EQ(suite->stringForKey("text"), identifierWithNul);
}
