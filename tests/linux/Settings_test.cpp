// Settings suites as files under a temp HOME, and the guard in front of libplist.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <tuple>

#include "VellShared/Preferences.hpp"
#include "platform/linux/property_list_cache.hpp"
#include "platform/linux/property_list_file.hpp"
#include "tests/support/SimulatedMac.hpp"

namespace fs = std::filesystem;
using namespace platform::linux_host;
namespace P = VellPreferences;

namespace {

std::string xmlPlist(const std::string& body) {
    return "<plist version=\"1.0\">" + body + "</plist>";
}

std::string bigEndian(std::uint64_t value, int width) {
    std::string bytes(width, '\0');
    for (int at = width - 1; at >= 0 && value != 0; --at, value >>= 8) {
        bytes[at] = static_cast<char>(value & 0xFF);
    }
    return bytes;
}

// Binary, the first object at the top unless told; the trailer's counts and offset
// table shifted by as much as told from the true ones.
struct Layout {
    int offsetSize = 1, referenceSize = 1, top = 0, extraObjects = 0, tableShift = 0;
};
std::string binaryPlist(const std::vector<std::string>& objects, Layout layout = {}) {
    std::string file = "bplist00", offsets;
    for (const auto& object : objects) {
        offsets += bigEndian(file.size(), layout.offsetSize);
        file += object;
    }
    return file + offsets + std::string(6, '\0') + static_cast<char>(layout.offsetSize) +
           static_cast<char>(layout.referenceSize) +
           bigEndian(objects.size() + layout.extraObjects, 8) + bigEndian(layout.top, 8) +
           bigEndian(file.size() + layout.tableShift, 8);
}

// `depth` arrays, each holding the next one `width` times, then a true.
std::string nestedBinary(int depth, int width) {
    std::vector<std::string> objects;
    for (int i = 1; i <= depth; ++i) {
        objects.push_back(static_cast<char>(0xA0 | width) +
                          std::string(width, static_cast<char>(i)));
    }
    objects.push_back("\x09");
    return binaryPlist(objects);
}

std::string arrays(int depth, const std::string& between = "") {
    std::string text;
    for (int i = 0; i < depth; ++i) {
        text = "<array>" + between + text + "</array>";
    }
    return xmlPlist(text);
}

// Until the returned handle goes, the process may write no byte to any file.
std::shared_ptr<void> noRoomToWrite() {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    ::getrlimit(RLIMIT_FSIZE, &before);
    const rlimit none{0, before.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &none);
    return {nullptr, [before](void*) { ::setrlimit(RLIMIT_FSIZE, &before); }};
}

class Settings : public ::testing::Test {
  protected:
    TempDir home;
    ScopedEnvironment homeVariable{"HOME", home.path()};
    std::string folder() const { return home.path() + "/Library/Preferences"; }
    std::string suite(const std::string& name = P::domain) const {
        return folder() + "/" + name + ".plist";
    }
    std::set<std::string> names(const std::string& containing) const {
        std::set<std::string> found;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder(), error)) {
            if (entry.path().filename().string().find(containing) != std::string::npos) {
                found.insert(entry.path().string());
            }
        }
        return found;
    }
};

// A write ends, failed, on a disk that takes no byte, and reads (binary, then XML) find what is
// there; first, so that a child stuck or crashed in either fails an assertion.
TEST_F(Settings, AWriteEndsEvenOnADiskThatTakesNoByte) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(5);
        writeFile(suite(), binaryPlist({"\xA0"}));
        const bool before = P::wanted();
        P::setWanted(true);
        const auto held = noRoomToWrite();
        P::setWanted(false);
        ::_exit(!before && P::wanted() && !P::store()->synchronize() ? 0 : 1);
    }
    int status = -1;
    ASSERT_TRUE(child > 0 && ::waitpid(child, &status, 0) == child);
    EXPECT_EQ(status, 0) << "a write never ended, or claimed to be done";
}

TEST_F(Settings, ReadsFollowTheMacsCoercionsAndSeeEveryChangeOfTheFile) {
    // True: after white space, a sign and zeros, Y, y, T, t or 1-9. Text: digits, "1" or "0".
    // clang-format off
    const std::vector<std::tuple<std::string, bool, std::optional<std::string>>> reads = {
        {"<string>  yes</string>", true, "  yes"}, {"<string>True</string>", true, "True"},
        {"<string>YES</string>", true, "YES"}, {"<string>t</string>", true, "t"},
        {"<string>-9up</string>", true, "-9up"}, {"<string>+1</string>", true, "+1"},
        {"<string>\t+007</string>", true, "\t+007"}, {"<integer>42</integer>", true, "42"},
        {"<real>2.5</real>", true, "2.5"}, {"<true/>", true, "1"},
        {"<string>0</string>", false, "0"}, {"<string>+00</string>", false, "+00"},
        {"<string>no</string>", false, "no"}, {"<string></string>", false, ""},
        {"<string>   </string>", false, "   "}, {"<integer>0</integer>", false, "0"},
        {"<real>0.0</real>", false, "0"}, {"<data>AAE=</data>", false, std::nullopt},
        {"<false/>", false, "0"}};
    // clang-format on
    for (const auto& [stored, asBoolean, asText] : reads) {
        writeFile(suite(), xmlPlist("<dict><key>vellWanted</key>" + stored +
                                    "<key>cutoffReason</key>" + stored + "</dict>"));
        EXPECT_EQ(P::wanted(), asBoolean) << stored;
        EXPECT_EQ(P::cutoffReason(), asText) << stored;
    }
    EXPECT_TRUE(!platform::openSettingsSuite("") && !platform::openSettingsSuite("../escape"));
    platform::standardSettings()->setBoolForKey(true, P::wantedKey);  // named for the program
    EXPECT_TRUE(fs::exists(folder() + "/linux_tests.plist"));
    // Same-sized rewrites in place are seen, of a new file or an old one whose parse is kept.
    const timespec longAgo[2] = {{0, UTIME_OMIT}, {1'000'000'000, 0}};
    for (const auto& [value, aged] :
         {std::pair("0", false), {"2", false}, {"2", true}, {"0", true}}) {
        writeFile(suite(), xmlPlist(std::string("<dict><key>lowBatteryCutoff</key><integer>") +
                                    value + "</integer></dict>"));
        ASSERT_TRUE(!aged || ::utimensat(AT_FDCWD, suite().c_str(), longAgo, 0) == 0);
        EXPECT_EQ(P::lowBatteryCutoff(), *value != '0') << value << (aged ? " aged" : "");
        // Only a parse of a file changed more than a clock tick before it was read is shared.
        EXPECT_EQ(currentDictionary(suite()) == currentDictionary(suite()), aged) << value;
    }
    struct stat status {};
    EXPECT_TRUE(!parseMayBeKept(status, {2, 999'999'999}) && parseMayBeKept(status, {3, 0}));
    fs::remove(suite());
    EXPECT_TRUE(P::lowBatteryCutoff());
}

// Bad contents read as the defaults and are moved aside by the next write; a write that can't be
// done fails, through any handle, and leaves what was there, as does one the guard can't judge.
TEST_F(Settings, AWriteKeepsBadContentsAsideAndFailsWithoutLosingAnything) {
    const auto put = [&](const std::string& contents) {
        return [&, contents] { return writeFile(suite(), contents), std::shared_ptr<void>(); };
    };
    std::string suiteName;
    // clang-format off
    // Situation, its making, write done, kept aside.
    const std::vector<std::tuple<const char*, std::function<std::shared_ptr<void>()>, bool, bool>> rows = {
        {"not a property list", put("vellWanted = YES;\n\x01\x02"), true, true},
        {"an array at the root", put(xmlPlist("<array><true/></array>")), true, true},
        {"truncated", put("<plist><dict><key>vellWanted</key><true/>"), true, true},
        {"refused by the guard", put(xmlPlist("<dict><key>a&#0;</key><true/></dict>")), true, true},
        {"binary holding a string binary can't carry back", put(binaryPlist({"\xD1\x01\x02", "\x51" "a", "\x51\xff"})), true, false},
        {"empty, with nothing to keep", put(""), true, false},
        {"bad, on a disk that takes no byte", [&] { return put("junk")(), noRoomToWrite(); }, false, true},
        {"over the size limit", put(std::string(9 << 20, ' ')), false, false},
        {"nested deeper than the guard allows", put(arrays(64)), false, false},
        {"more values than the guard allows", put(nestedBinary(19, 2)), false, false},
        {"a FIFO", [&] { return ::mkfifo(suite().c_str(), 0600), nullptr; }, false, false},
        {"a link to itself", [&] { return fs::create_symlink(suite(), suite()), nullptr; }, false, false},
        {"a file whose read fails", [&] { return fs::create_symlink("/proc/self/mem", suite()), nullptr; }, false, false},
        {"a file where a folder goes", [&] { return fs::remove_all(home.path() + "/Library"), writeFile(home.path() + "/Library", ""), nullptr; }, false, false},
        {"a name whose lock fits but not its temporary", [&] { return suiteName = std::string(243, 'n'), nullptr; }, false, false},
        {"a name too long for its lock", [&] { return suiteName = std::string(245, 'n'), nullptr; }, false, false},
    };
    // clang-format on
    for (const auto& [name, make, written, kept] : rows) {
        SCOPED_TRACE(name);
        suiteName = P::domain;
        fs::remove_all(home.path() + "/Library");
        fs::create_directories(folder());
        std::shared_ptr<void> held = make();
        const std::string path = suite(suiteName);
        const fs::file_type type = fs::symlink_status(path).type();
        const auto bytes = type == fs::file_type::regular ? readFile(path) : std::nullopt;
        const auto settings = platform::openSettingsSuite(suiteName);
        EXPECT_FALSE(settings->boolForKey(P::wantedKey));
        settings->setBoolForKey(true, P::ownsOverrideKey);
        held.reset();
        EXPECT_EQ(platform::openSettingsSuite(suiteName)->synchronize(), written);
        EXPECT_EQ(settings->boolForKey(P::ownsOverrideKey), written);
        for (const std::string& file : names(".corrupt-")) {
            EXPECT_TRUE(std::regex_match(file, std::regex(".*\\.corrupt-[0-9]+-\\w{6}"))) << file;
            EXPECT_EQ(readFile(file), bytes);
        }
        EXPECT_EQ(names(".corrupt-").size(), kept ? 1u : 0u);
        if (kept || !written) {  // moved, never copied; or left as it was
            const bool same =
                fs::symlink_status(path).type() == type && (!bytes || readFile(path) == bytes);
            EXPECT_EQ(same, !kept);
        }
        EXPECT_EQ(names(".plist.").size(), names(".corrupt-").size() + names(".plist.lock").size());
    }
}

// Every type at its extremes, as XML (also after a byte-order mark) and as binary, with UIDs.
TEST_F(Settings, AWriteChangesOnlyTheKeyItWrites) {
    const std::string xml = xmlPlist(
        "<dict><key>farFuture</key><date>2100-01-01T00:00:00Z</date>"
        "<key>farPast</key><date>1800-01-01T00:00:00Z</date>"
        "<key>largestUnsigned</key><integer>18446744073709551615</integer>"
        "<key>smallestSigned</key><integer>-9223372036854775808</integer>"
        "<key>largestReal</key><real>1.7976931348623157e+308</real>"
        "<key>smallestReal</key><real>4.9406564584124654e-324</real>"
        "<key>data</key><data>AAEC/w==</data><key>emptyData</key><data></data>"
        "<key>text</key><string>caf\xC3\xA9 &lt;&amp;&gt;</string><key>emptyText</key><string/>"
        "<key>emptyArray</key><array/><key>emptyDictionary</key><dict/>"
        "<key>nested</key><array><dict><key>deep</key><array><false/><integer>-1</integer>"
        "</array></dict></array><key>vellWanted</key><true/>"
        "<key>cutoffReason</key><string>old</string></dict>");
    const auto binary = parsePropertyList(xml);
    plist_dict_set_item(binary->get(), "uid", plist_new_uid(4294967295u));
    const std::vector<std::pair<const char*, std::optional<PropertyListValue>>> writes = {
        {P::wantedKey, false}, {P::cutoffReasonKey, "new"}, {P::cutoffReasonKey, std::nullopt}};
    for (const std::string& bytes : {xml, "\xEF\xBB\xBF" + xml, toBinary(binary->get())}) {
        for (const auto& [key, value] : writes) {
            SCOPED_TRACE(bytes.substr(0, 6) + " " + key);
            writeFile(suite(), bytes);
            P::store()->setObjectForKey(value, key);
            EXPECT_TRUE(P::store()->synchronize());
            EXPECT_EQ(P::store()->objectForKey(key), value);
            const auto before = parsePropertyList(bytes);
            const auto after = parsePropertyList(*readFile(suite()));
            ASSERT_TRUE(before && after);
            // Binary keeps every value exactly: equal trees, equal bytes.
            plist_dict_remove_item(before->get(), key);
            plist_dict_remove_item(after->get(), key);
            EXPECT_EQ(toBinary(before->get()), toBinary(after->get()));
        }
    }
    EXPECT_EQ(P::store()->objectForKey("uid"), PropertyListValue(4294967295LL));
    // Every kind of value, a date to the microsecond, through the binary file.
    const PropertyListValue all =
        PropertyListArray{PropertyListDate{599529600.5},       true, -5,
                          PropertyListValue(9000000000LL),     0.25, PropertyListData{0, 1, 255},
                          PropertyListDictionary{{"three", 3}}};
    P::store()->setObjectForKey(all, "all");
    EXPECT_EQ(P::store()->objectForKey("all"), all);
    // A key a hostile file names twice reads as its first, and a write keeps only that.
    writeFile(suite(), binaryPlist({"\xD2\x01\x01\x02\x03", "\x5AvellWanted", "\x09", "\x08"}));
    EXPECT_TRUE(P::wanted());
    P::setLowBatteryCutoff(false);
    EXPECT_TRUE(P::wanted());
    EXPECT_EQ(plist_dict_get_size(parsePropertyList(*readFile(suite()))->get()), 2u);
}

TEST_F(Settings, TwoProcessesWritingDifferentKeysLoseNothingAndLeaveAPrivateFile) {
    const pid_t child = ::fork();
    for (int i = 1; i <= 500; ++i) {
        P::store()->setObjectForKey(PropertyListValue(i), child == 0 ? "fromChild" : "fromParent");
    }
    if (child == 0) {
        ::_exit(P::store()->synchronize() ? 0 : 1);
    }
    int exit = -1;
    ASSERT_TRUE(child > 0 && ::waitpid(child, &exit, 0) == child && exit == 0);
    EXPECT_TRUE(P::store()->synchronize());
    EXPECT_EQ(P::store()->objectForKey("fromChild"), PropertyListValue(500));
    EXPECT_EQ(P::store()->objectForKey("fromParent"), PropertyListValue(500));
    EXPECT_EQ(fs::status(folder()).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(suite()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(readFile(suite())->rfind("<?xml", 0), 0u);
}

// Real files reach libplist; nothing that makes it abort, cut a string, or grow without
// end, each limit taken at the limit and one past it (here or in the write table). Outcome:
// 0 refused by the guard, 1 read, 2 passed by the guard and refused by libplist.
TEST(PropertyListGuard, PassesRealFilesAndRefusesWhatLibplistCannotTake) {
    const auto sized = [](std::string text, std::size_t n) { return text.resize(n, ' '), text; };
    const auto hidingClosers = [](const char* unit) {
        return xmlPlist(std::regex_replace(std::string(65, '.'), std::regex("."), unit));
    };
    // clang-format off
    const std::vector<std::tuple<const char*, std::string, int>> rows = {
        {"sixty-four containers deep, the plist's included", arrays(63), 1},
        {"as large as the guard takes", sized(xmlPlist("<dict/>"), maximumPropertyListBytes), 1},
        {"a byte larger", sized(xmlPlist("<dict/>"), maximumPropertyListBytes + 1), 0},
        {"closing tags hidden in comments opened by \"<!-->\"", hidingClosers("<array><!--></array>-->"), 0},
        {"closing tags hidden in processing instructions", hidingClosers("<array><?x ></array>?>"), 0},
        {"closing tags hidden in a quoted \"?>\"", hidingClosers("<array><?x \"?></array>\" ?>"), 0},
        {"closing tags hidden in internal subsets", hidingClosers("<array><!DOCTYPE x [ ></array> ]>"), 0},
        {"closing tags hidden in a declaration's quotes", hidingClosers("<array><!DOCTYPE x \"></array>\">"), 0},
        {"closing tags hidden in an attribute", hidingClosers("<array a=\"></array>\">"), 0},
        {"closing tags whose names run on", xmlPlist("<array></arrayz></arrayA></arrayZ></array0></array9></array_></array-></array:></array.></array>"), 2},
        {"a stray closing tag", xmlPlist("<array></dict></array>"), 0},
        {"a comment never closed", "<plist><array><!-- never closed", 0},
        {"an unknown declaration", "<!ELEMENT x>" + xmlPlist("<true/>"), 0},
        {"a processing instruction never closed", "<?x", 0},
        {"a quote never closed", "<?x \"?>", 0},
        {"a NUL reference in an attribute", xmlPlist("<dict a=\"&#0;\"/>"), 0},
        {"a NUL reference in a key", xmlPlist("<dict><key>a&#x00;</key><true/></dict>"), 0},
        {"a NUL byte in a comment", std::string("<plist><dict><!-- \0 --></dict></plist>", 38), 0},
        {"containers that close themselves, an empty comment, NUL references where nothing decodes them, references to letters and a newline",
         "<?x > &#0; ?><!DOCTYPE x [ > &#0; ]>" + xmlPlist("<!----><array><array/><dict><!-- &#0; --></dict><string>&#x41;&#X42;&#10;<![CDATA[>&#0;]]></string></array>"), 1},
        {"a NUL reference between empty CDATA", xmlPlist("<string><![CDATA[]]>&#0;<![CDATA[]]></string>"), 0},
        {"the binary magic alone", "bplist00", 0},
        {"binary after a byte-order mark", "\xEF\xBB\xBF" "bplist00\x09\x08" + std::string(32, '\x01'), 0},
        {"nine-byte offsets", binaryPlist({"\x09"}, {.offsetSize = 9}), 0},
        {"offsets of no bytes", binaryPlist({"\x09"}, {.offsetSize = 0}), 0},
        {"nine-byte references", binaryPlist({"\xA1" + bigEndian(1, 9), "\x09"}, {.referenceSize = 9}), 0},
        {"references of no bytes", binaryPlist({"\x09"}, {.referenceSize = 0}), 0},
        {"the top object last, its references ending the object area", binaryPlist({"\x09", "\x51" "a", std::string("\xD1\x01\x00", 3)}, {.top = 2}), 1},
        {"the top object one past the last", binaryPlist({"\x09"}, {.top = 1}), 0},
        {"an offset table right after the magic, pointing into it", binaryPlist({std::string(1, '\0')}, {.tableShift = -1}), 1},
        {"an offset table inside the magic", binaryPlist({"\x09"}, {.tableShift = -2}), 0},
        {"an offset table past the trailer", binaryPlist({"\x09"}, {.tableShift = 2}), 0},
        {"an offset table running into the trailer", binaryPlist({"\x09"}, {.extraObjects = 1}), 0},
        {"an object at the offset table", binaryPlist({"\xA1\x01", ""}), 0},
        {"an array whose references run past its end", binaryPlist({"\xA5\x01", "\x09"}), 0},
        {"a count in a following int, one ending the object area", binaryPlist({"\xAF\x10\x01\x01", std::string("\xAF\x10\x00", 3)}), 1},
        {"a following count cut off by the offset table", binaryPlist({"\xAF\x10"}), 0},
        {"a following count of sixteen bytes", binaryPlist({"\xAF\x14" + bigEndian(1, 16) + "\x01", "\x09"}), 0},
        {"a reference one past the last object", binaryPlist({"\xA1\x01"}), 0},
        {"an array holding itself", binaryPlist({std::string("\xA1\x00", 2)}), 0},
        {"sets holding themselves", binaryPlist({"\xB1\x01", "\xC1\x01"}), 0},
        {"sixty-four binary objects deep", nestedBinary(63, 1), 1},
        {"sixty-five binary objects deep", nestedBinary(64, 1), 0},
        {"a million values", binaryPlist({"\xAF\x13" + bigEndian(999'999, 8) + std::string(999'999, 1), "\x09"}, {.offsetSize = 4}), 1},
        {"a million values, the last an array", binaryPlist({"\xA1\x01", "\xAF\x13" + bigEndian(999'998, 8) + std::string(999'998, 2), "\x09"}, {.offsetSize = 4}), 1},
        {"a million and one values, the last an array", binaryPlist({"\xA1\x01", "\xAF\x13" + bigEndian(999'999, 8) + std::string(999'999, 2), "\x09"}, {.offsetSize = 4}), 0},
        {"a key holding a NUL", binaryPlist({"\xD1\x01\x02", std::string("\x53\0ab", 4), "\x09"}), 0},
        {"a key whose length is no integer", binaryPlist({"\xD1\x01\x02", "\x5F\x20", "\x09"}), 0},
        {"a key running past the object area", binaryPlist({"\xD1\x01\x02", "\x5F\x10\x40", "\x09"}), 0},
        {"a UTF-16 key holding a NUL", binaryPlist({"\xD1\x02\x01", "\x09", std::string("\x62\0a\0\0", 5)}), 0},
        {"a UTF-8 key holding a NUL", binaryPlist({"\xD1\x02\x01", "\x09", std::string("\x72" "a\0", 3)}), 0},
        {"a key that is no string", binaryPlist({"\xD1\x01\x01", "\x09"}), 2},
        {"a key at the offset table", binaryPlist({"\xD1\x02\x01", "\x09", ""}), 0},
        {"eight-byte offsets and references; a key followed by a zero byte, a UTF-16 key ending the object area, a value holding a NUL",
         binaryPlist({"\xD2" + bigEndian(1, 8) + bigEndian(4, 8) + bigEndian(3, 8) + bigEndian(3, 8), "\x51" "a", std::string(1, '\0'), std::string("\x51\0", 2), std::string("\x61\0b", 3)}, {.offsetSize = 8, .referenceSize = 8}), 1},
    };
    // clang-format on
    TempDir folder;
    const std::string path = folder.path() + "/row.plist";
    for (const auto& [name, bytes, outcome] : rows) {
        // Past a guard that fails, libplist may hang or abort.
        ASSERT_EQ(propertyListWithinLimits(bytes), outcome != 0) << name;
        const auto root = parsePropertyList(bytes);
        EXPECT_EQ(root.has_value(), outcome == 1) << name;
        writeFile(path, bytes);
        const bool dictionary = root && plist_get_node_type(root->get()) == PLIST_DICT;
        EXPECT_EQ(currentDictionary(path) != nullptr, dictionary) << name;
        EXPECT_EQ(loadPropertyListFile(path).state == FileState::parsed, outcome == 1) << name;
    }
}

}  // namespace
