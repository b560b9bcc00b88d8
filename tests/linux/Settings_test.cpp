// Settings suites as files under a temp HOME.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "VellShared/Preferences.hpp"
#include "platform/linux/property_list_cache.hpp"
#include "platform/linux/property_list_file.hpp"
#include "platform/posix/scoped_fd.hpp"
#include "tests/support/SimulatedMac.hpp"

namespace fs = std::filesystem;
using platform::linux_host::parsePropertyList;
using platform::linux_host::toBinary;
using platform::posix::ScopedFd;
namespace P = VellPreferences;

namespace {

std::string xmlPlist(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body +
           "\n</plist>\n";
}

class Settings : public ::testing::Test {
  protected:
    TempDir home;
    ScopedEnvironment homeVariable{"HOME", home.path()};
    std::string folder() const { return home.path() + "/Library/Preferences"; }
    std::string suite(const std::string& name = P::domain) const {
        return folder() + "/" + name + ".plist";
    }
    void store(const std::string& body, const std::string& name = P::domain) {
        writeFile(suite(name), xmlPlist("<dict>" + body + "</dict>"));
    }
    std::vector<std::string> keptAside() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder())) {
            if (entry.path().filename().string().find(".corrupt-") != std::string::npos) {
                names.push_back(entry.path().string());
            }
        }
        return names;
    }
};

TEST_F(Settings, TheMacsCoercionsForBooleansAndStrings) {
    const std::vector<std::pair<std::string, bool>> booleans = {
        {"<string>  yes</string>", true},  // leading white space is skipped
        {"<string>True</string>", true},
        {"<string>7up</string>", true},
        {"<string>+1</string>", true},
        {"<string> 01</string>", true},
        {"<string>007</string>", true},
        {"<string>0</string>", false},
        {"<string>+00</string>", false},
        {"<string>no</string>", false},
        {"<string></string>", false},
        {"<string>   </string>", false},
        {"<integer>-2</integer>", true},
        {"<real>0.0</real>", false},
        {"<date>2020-01-01T00:00:00Z</date>", false},
    };
    for (const auto& [stored, expected] : booleans) {
        store("<key>vellWanted</key>" + stored);
        EXPECT_EQ(P::wanted(), expected) << stored;
    }
    const std::vector<std::pair<std::string, std::optional<std::string>>> strings = {
        {"<string>hot</string>", "hot"},     {"<integer>42</integer>", "42"},
        {"<real>2.5</real>", "2.5"},         {"<true/>", "1"},
        {"<data>AAE=</data>", std::nullopt}, {"<array/>", std::nullopt},
    };
    for (const auto& [stored, expected] : strings) {
        store("<key>cutoffReason</key>" + stored);
        EXPECT_EQ(P::cutoffReason(), expected) << stored;
    }
}

TEST_F(Settings, TheFolderIsPrivateAndTheFileTooAndWritesAreXml) {
    P::setWanted(true);
    struct stat status {};
    ASSERT_EQ(::stat(folder().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(suite().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(readFile(suite())->rfind("<?xml", 0), 0u);
}

struct BadFile {
    const char* name;
    std::string contents;
};

void PrintTo(const BadFile& value, std::ostream* out) {
    *out << value.name;
}

std::string nestedXml(int depth) {
    std::string text = "<plist><dict><key>vellWanted</key><true/><key>deep</key>";
    for (int i = 0; i < depth; ++i) {
        text += "<array>";
    }
    for (int i = 0; i < depth; ++i) {
        text += "</array>";
    }
    return text + "</dict></plist>";
}

// A binary property list whose objects each hold the next one `width`
// times, `depth` deep: small on disk, huge or deep once parsed.
std::string nestedBinary(int depth, int width, bool cycle = false) {
    std::string objects;
    std::vector<uint64_t> offsets;
    for (int i = 0; i < depth; ++i) {
        offsets.push_back(8 + objects.size());
        objects += static_cast<char>(0xA0 | width);
        for (int j = 0; j < width; ++j) {
            const int next = i + 1 < depth ? i + 1 : (cycle ? 0 : depth);
            objects += static_cast<char>(next >> 16);
            objects += static_cast<char>(next >> 8);
            objects += static_cast<char>(next);
        }
    }
    offsets.push_back(8 + objects.size());
    objects += '\x09';  // true
    std::string file = "bplist00" + objects;
    const uint64_t table = file.size();
    for (uint64_t offset : offsets) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            file += static_cast<char>(offset >> shift);
        }
    }
    std::string trailer(32, '\0');
    trailer[6] = 4;
    trailer[7] = 3;
    auto put = [&](int at, uint64_t value) {
        for (int i = 0; i < 8; ++i) {
            trailer[at + i] = static_cast<char>(value >> (56 - 8 * i));
        }
    };
    put(8, offsets.size());
    put(16, 0);
    put(24, table);
    return file + trailer;
}

// A binary property list of the given objects, the first at the top, with
// one-byte offsets and references.
std::string binaryPlist(const std::vector<std::string>& objects) {
    std::string file = "bplist00";
    std::string offsets;
    for (const auto& object : objects) {
        offsets += static_cast<char>(file.size());
        file += object;
    }
    const std::size_t table = file.size();
    file += offsets;
    std::string trailer(32, '\0');
    trailer[6] = 1;
    trailer[7] = 1;
    trailer[15] = static_cast<char>(objects.size());
    trailer[31] = static_cast<char>(table);
    return file + trailer;
}

class BadSuiteFile : public Settings, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadSuiteFile, ReadsAsEmptyAndIsKeptAsideOnTheNextWrite) {
    writeFile(suite(), GetParam().contents);
    EXPECT_FALSE(P::wanted());
    EXPECT_TRUE(P::lowBatteryCutoff());

    P::setOwnsOverride(true);
    EXPECT_TRUE(P::ownsOverride());
    const auto aside = keptAside();
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(readFile(aside[0]), GetParam().contents);
}

INSTANTIATE_TEST_SUITE_P(
    Files,
    BadSuiteFile,
    ::testing::Values(
        BadFile{"NotAPropertyList", "vellWanted = YES;\n\x01\x02"},
        BadFile{"ArrayAtTheRoot", xmlPlist("<array><true/></array>")},
        BadFile{"Truncated", xmlPlist("<dict><key>vellWanted</key><true/>")},
        BadFile{"MismatchedTags", xmlPlist("<dict><array></dict></array>")},
        BadFile{"NestedDeepXml", nestedXml(100000)},
        BadFile{"NestedDeepBinary", nestedBinary(100000, 1)},
        BadFile{"BinaryCycle", nestedBinary(3, 1, true)},
        BadFile{"BinaryExponential", nestedBinary(40, 2)},
        BadFile{"BinaryGarbageTrailer", "bplist00" + std::string(40, '\xff')},
        // libplist aborts on a key with a NUL in it.
        BadFile{"KeyWithNulReference", xmlPlist("<dict><key>vell&#x00;Wanted</key><true/></dict>")},
        BadFile{"KeyWithNulByte", xmlPlist(std::string("<dict><key>a\0b</key><true/></dict>", 34))},
        BadFile{"KeyWithNulBinary", binaryPlist({"\xD1\x01\x02",
                                                 std::string("\x53"
                                                             "a\0b",
                                                             4),
                                                 "\x09"})}),
    [](const auto& info) { return std::string(info.param.name); });

// Every type a property list holds, at its extremes, as the companion app
// may have stored them.
const std::string extremeValues =
    "<key>farFuture</key><date>2100-01-01T00:00:00Z</date>"
    "<key>farPast</key><date>1800-01-01T00:00:00Z</date>"
    "<key>largestUnsigned</key><integer>18446744073709551615</integer>"
    "<key>smallestSigned</key><integer>-9223372036854775808</integer>"
    "<key>largestReal</key><real>1.7976931348623157e+308</real>"
    "<key>smallestReal</key><real>4.9406564584124654e-324</real>"
    "<key>data</key><data>AAEC/w==</data>"
    "<key>emptyData</key><data></data>"
    "<key>text</key><string>caf\xC3\xA9 &lt;&amp;&gt;</string>"
    "<key>emptyText</key><string></string>"
    "<key>emptyArray</key><array/>"
    "<key>emptyDictionary</key><dict/>"
    "<key>nested</key><array><dict><key>deep</key><array><false/><integer>-1</integer></array>"
    "</dict></array>"
    "<key>vellWanted</key><true/>"
    "<key>cutoffReason</key><string>old</string>";

// The suite as XML, and as binary with the UIDs that only binary can hold.
std::vector<std::pair<std::string, std::string>> extremeSuites() {
    const std::string xml = xmlPlist("<dict>" + extremeValues + "</dict>");
    const auto root = parsePropertyList(xml);
    plist_dict_set_item(root->get(), "uid", plist_new_uid(4294967295u));
    plist_t uids = plist_new_array();
    plist_array_append_item(uids, plist_new_uid(0));
    plist_dict_set_item(root->get(), "uids", uids);
    return {{"xml", xml}, {"binary", toBinary(root->get())}};
}

TEST_F(Settings, AWriteChangesOnlyTheKeyItWrites) {
    struct Write {
        const char* name;
        const char* key;
        std::optional<PropertyListValue> value;
    };
    const std::vector<Write> writes = {
        {"setBool", P::wantedKey, false},
        {"setObject", P::cutoffReasonKey, "new"},
        {"setAbsentObject", P::cutoffReasonKey, std::nullopt},
    };
    for (const auto& [format, bytes] : extremeSuites()) {
        for (const Write& write : writes) {
            SCOPED_TRACE(format + " " + write.name);
            writeFile(suite(), bytes);
            const auto settings = platform::openSettingsSuite(P::domain);
            if (const auto* boolean = write.value ? write.value->as<bool>() : nullptr) {
                settings->setBoolForKey(*boolean, write.key);
            } else {
                settings->setObjectForKey(write.value, write.key);
            }
            EXPECT_TRUE(settings->synchronize());
            EXPECT_EQ(settings->objectForKey(write.key), write.value);
            const auto before = parsePropertyList(bytes);
            const auto after = parsePropertyList(*readFile(suite()));
            ASSERT_TRUE(after);
            // Binary keeps every value exactly: equal trees, equal bytes.
            plist_dict_remove_item(before->get(), write.key);
            plist_dict_remove_item(after->get(), write.key);
            EXPECT_EQ(toBinary(before->get()), toBinary(after->get()));
        }
    }
}

// A hostile file can name a key twice: the first counts, and a write leaves
// the key once, so what is written is what reads back.
TEST_F(Settings, ARepeatedKeyReadsAsItsFirstAndIsWrittenOnce) {
    writeFile(suite(), binaryPlist({"\xD2\x01\x01\x02\x03", "\x5AvellWanted", "\x09", "\x08"}));
    EXPECT_TRUE(P::wanted());
    P::setWanted(false);
    EXPECT_FALSE(P::wanted());
    const std::string written = *readFile(suite());
    EXPECT_EQ(written.find("vellWanted"), written.rfind("vellWanted"));
}

TEST_F(Settings, AnEmptyFileIsAnEmptySuiteWithNothingToKeep) {
    writeFile(suite(), "");
    EXPECT_FALSE(P::wanted());
    P::setWanted(true);
    EXPECT_TRUE(P::wanted());
    EXPECT_TRUE(keptAside().empty());
}

// A file that can't be read now is not corrupt: it reads as the defaults,
// and a write fails without touching it.
TEST_F(Settings, AFileThatCannotBeReadNowIsLeftAloneAndTheWriteFails) {
    const std::string stored = xmlPlist("<dict><key>vellWanted</key><true/></dict>");
    struct Cause {
        const char* name;
        std::function<std::vector<ScopedFd>()> make;
    };
    const std::vector<Cause> causes = {
        {"OverTheSizeLimit",
         [&] {
             writeFile(suite(), stored + std::string(9 * 1024 * 1024, ' '));
             return std::vector<ScopedFd>();
         }},
        {"ADirectory",
         [&] {
             fs::create_directories(suite());
             return std::vector<ScopedFd>();
         }},
        {"AFifo",
         [&] {
             ::mkfifo(suite().c_str(), 0600);
             return std::vector<ScopedFd>();
         }},
        // One descriptor left: enough for the write's lock, not for the read.
        {"TooManyOpenFiles",
         [&] {
             writeFile(suite(), stored);
             std::vector<ScopedFd> taken;
             for (ScopedFd fd(::open("/dev/null", O_RDONLY)); fd.valid();
                  fd = ScopedFd(::open("/dev/null", O_RDONLY))) {
                 taken.push_back(std::move(fd));
             }
             taken.pop_back();
             return taken;
         }},
    };
    for (const Cause& cause : causes) {
        SCOPED_TRACE(cause.name);
        fs::remove_all(folder());
        fs::create_directories(folder());
        const auto settings = platform::openSettingsSuite(P::domain);
        std::vector<ScopedFd> held = cause.make();
        const fs::file_type type = fs::symlink_status(suite()).type();
        const bool regular = type == fs::file_type::regular;
        const std::optional<std::string> bytes = regular ? readFile(suite()) : std::nullopt;
        settings->setBoolForKey(true, P::ownsOverrideKey);
        // Any handle of the suite reports it, as the setters open their own.
        const bool synchronized = platform::openSettingsSuite(P::domain)->synchronize();
        held.clear();
        EXPECT_FALSE(synchronized);
        EXPECT_FALSE(P::ownsOverride());
        EXPECT_EQ(fs::symlink_status(suite()).type(), type);
        if (regular) {
            EXPECT_EQ(readFile(suite()), bytes);
        }
        EXPECT_TRUE(keptAside().empty());
    }
}

TEST_F(Settings, NamesThatAreNotSuitesDoNotOpen) {
    EXPECT_EQ(platform::openSettingsSuite(""), nullptr);
    EXPECT_EQ(platform::openSettingsSuite("../escape"), nullptr);
    EXPECT_NE(platform::openSettingsSuite("org.example"), nullptr);
}

TEST_F(Settings, TwoProcessesWritingDifferentKeysLoseNothing) {
    constexpr int writes = 1000;
    auto writer = [](const char* key) {
        for (int i = 1; i <= writes; ++i) {
            P::store()->setObjectForKey(PropertyListValue(i), key);
        }
    };
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        writer("fromChild");
        ::_exit(0);
    }
    writer("fromParent");
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(P::store()->objectForKey("fromChild"), PropertyListValue(writes));
    EXPECT_EQ(P::store()->objectForKey("fromParent"), PropertyListValue(writes));
}

}  // namespace

namespace {

// Reads come from a cache checked against the file on every access: what is
// stored now is what is read, even after an edit in place to the same size.
TEST_F(Settings, ReadsSeeEveryChangeOfTheFileEvenInPlaceAndSameSized) {
    const std::string path = suite();
    const auto rewriteInPlace = [&](const char* value) {
        std::ofstream inPlace(path, std::ios::binary | std::ios::in | std::ios::out);
        inPlace << xmlPlist("<dict><key>lowBatteryCutoff</key><integer>" + std::string(value) +
                            "</integer></dict>");
    };
    store("<key>lowBatteryCutoff</key><integer>0</integer>");
    EXPECT_FALSE(P::lowBatteryCutoff());
    rewriteInPlace("2");
    EXPECT_TRUE(P::lowBatteryCutoff());

    // Last modified long ago: served from the cache until the file changes.
    const timespec longAgo[2] = {{0, UTIME_OMIT}, {1'000'000'000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), longAgo, 0), 0);
    EXPECT_TRUE(P::lowBatteryCutoff());
    EXPECT_TRUE(P::lowBatteryCutoff());
    rewriteInPlace("0");
    EXPECT_FALSE(P::lowBatteryCutoff());
    fs::remove(path);
    EXPECT_TRUE(P::lowBatteryCutoff());
}

// File systems stamp times in ticks of up to two seconds, and a rewrite in
// place within the tick of the last change can leave the file's identity
// as it was: a parse is kept only once the file is older than that.
TEST_F(Settings, AParseIsKeptOnlyOfAFileUnchangedForATwoSecondTick) {
    store("");
    const timespec now[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    ASSERT_EQ(::utimensat(AT_FDCWD, suite().c_str(), now, 0), 0);
    struct stat status {};
    ASSERT_EQ(::stat(suite().c_str(), &status), 0);
    const auto after = [&](double seconds) {
        const auto nanoseconds = status.st_mtim.tv_nsec + static_cast<long>(seconds * 1e9);
        return timespec{status.st_mtim.tv_sec + nanoseconds / 1'000'000'000,
                        nanoseconds % 1'000'000'000};
    };
    const std::vector<std::pair<double, bool>> cases = {
        {-1, false}, {0.5, false}, {1.9, false}, {2.5, true}, {3600, true},
    };
    for (const auto& [seconds, kept] : cases) {
        EXPECT_EQ(platform::linux_host::parseMayBeKept(status, after(seconds)), kept) << seconds;
    }
}

}  // namespace
