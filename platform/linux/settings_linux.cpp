// A suite named S is the property-list file $HOME/Library/Preferences/S.plist.
// Reads take the file as it is now. A write changes its one key in the tree
// read under an exclusive lock and renames a complete new file, in the old
// one's format, over it, so that concurrent writers of different keys keep
// each other's changes, the keys the companion app keeps stay exactly as
// they were, and a crash mid-write leaves the old file whole.
#include "platform/settings.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/property_list_cache.hpp"
#include "platform/linux/property_list_file.hpp"
#include "platform/linux/system_root.hpp"
#include "platform/posix/scoped_fd.hpp"

namespace platform {
namespace {

using linux_host::ScopedPlist;
using posix::ScopedFd;

// The suite and its lock are the user's alone.
constexpr mode_t privateFile = 0600;

std::string preferencesFolder() {
    return linux_host::homeDirectory() + "/Library/Preferences";
}

bool makeFolder(const std::string& path) {
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

bool makePreferencesFolder() {
    const std::string library = linux_host::homeDirectory() + "/Library";
    return makeFolder(library) && makeFolder(preferencesFolder());
}

std::string decimalText(double value) {
    char buffer[sizeof "-2.2250738585072014e-308"];  // as long as the shortest form gets
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

// A hostile file may repeat a key. Reads see the first; libplist would
// change one copy and write both, so the dictionary is rebuilt with the
// first of each.
ScopedPlist withoutRepeatedKeys(plist_t root) {
    std::set<std::string> keys;
    ScopedPlist rebuilt(plist_new_dict());
    linux_host::forEachEntry(root, [&](const char* key, plist_t item) {
        if (keys.insert(key).second) {
            plist_dict_set_item(rebuilt.get(), key, plist_copy(item));
        }
    });
    return rebuilt;
}

// The Mac's reading of a string as a Boolean: after leading white space, an
// optional sign and leading zeros, "Y", "y", "T", "t" or a digit 1-9 is true.
bool stringReadsTrue(std::string_view text) {
    const auto skip = [&](std::string_view characters) {
        text.remove_prefix(std::min(text.find_first_not_of(characters), text.size()));
    };
    skip(" \t\n\v\f\r");
    if (text.starts_with('+') || text.starts_with('-')) {
        text.remove_prefix(1);
    }
    skip("0");
    return !text.empty() && std::string_view("YyTt123456789").find(text.front()) != text.npos;
}

// The suites whose writes failed since they were last synchronized. Like the
// Mac's preferences, it belongs to the process, not to one handle: every
// setter opens a handle of its own, and the caller synchronizes another.
class FailedWrites {
  public:
    void add(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex_);
        paths_.insert(path);
    }

    bool take(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex_);
        return paths_.erase(path) > 0;
    }

  private:
    std::mutex mutex_;
    std::set<std::string> paths_;
};

FailedWrites& failedWrites() {
    static auto* writes = new FailedWrites;
    return *writes;
}

bool readsAsDictionary(const std::string& contents) {
    const std::optional<ScopedPlist> root = linux_host::parsePropertyList(contents);
    return plist_get_node_type(root ? root->get() : nullptr) == PLIST_DICT;
}

// The tree in the file's own format. A hostile file may hold strings that
// its format can't carry back (bytes that are no text in a binary file's
// "ASCII" string); then the tree is rebuilt from what reads, as XML, so that
// a write never leaves a file that doesn't read. Empty when even that fails.
std::string serialize(plist_t root, bool binary) {
    const std::string contents = binary ? linux_host::toBinary(root) : linux_host::toXml(root);
    if (readsAsDictionary(contents)) {
        return contents;
    }
    const ScopedPlist rebuilt = linux_host::nodeFromValue(linux_host::valueFromNode(root));
    const std::string fallback = linux_host::toXml(rebuilt.get());
    return readsAsDictionary(fallback) ? fallback : std::string();
}

// What a configuration profile forces, as on the Mac: the user's level, then
// the computer's, under "/Library/Managed Preferences" of the simulated Mac.
std::vector<std::string> managedPaths(const std::string& name) {
    // Every settings access opens a suite: the password database is asked once.
    static const std::string userName = [] {
        const passwd* user = ::getpwuid(::getuid());
        return user ? std::string(user->pw_name) : std::string();
    }();
    const std::string folder = linux_host::rootedPath("/Library/Managed Preferences/");
    std::vector<std::string> paths;
    if (!userName.empty()) {
        paths.push_back(folder + userName + "/" + name + ".plist");
    }
    paths.push_back(folder + name + ".plist");
    return paths;
}

// The value of `key` in the first of the files at `paths` that holds it.
std::optional<PropertyListValue> firstValue(const std::vector<std::string>& paths,
                                            const std::string& key) {
    for (const std::string& path : paths) {
        const auto suite = linux_host::currentDictionary(path);
        if (suite && suite->contains(key)) {
            return suite->at(key);
        }
    }
    return std::nullopt;
}

class FileSettingsSuite : public SettingsSuite {
  public:
    explicit FileSettingsSuite(const std::string& name)
        : path_(preferencesFolder() + "/" + name + ".plist"), managedPaths_(managedPaths(name)) {}

    std::optional<PropertyListValue> objectForKey(const std::string& key) override {
        if (auto forced = firstValue(managedPaths_, key)) {
            return forced;
        }
        return firstValue({path_}, key);
    }

    bool boolForKey(const std::string& key) override {
        const std::optional<PropertyListValue> value = objectForKey(key);
        if (!value) {
            return false;
        }
        if (const auto* boolean = value->as<bool>()) {
            return *boolean;
        }
        if (const auto* integer = value->as<std::int64_t>()) {
            return *integer != 0;
        }
        if (const auto* real = value->as<double>()) {
            return *real != 0;
        }
        if (const auto* text = value->as<std::string>()) {
            return stringReadsTrue(*text);
        }
        return false;
    }

    std::optional<std::string> stringForKey(const std::string& key) override {
        const std::optional<PropertyListValue> value = objectForKey(key);
        if (!value) {
            return std::nullopt;
        }
        if (const auto* text = value->as<std::string>()) {
            return *text;
        }
        if (const auto* integer = value->as<std::int64_t>()) {
            return std::to_string(*integer);
        }
        if (const auto* real = value->as<double>()) {
            return decimalText(*real);
        }
        // On the Mac a Boolean is a number too, and reads as "1" or "0".
        if (const auto* boolean = value->as<bool>()) {
            return std::string(*boolean ? "1" : "0");
        }
        return std::nullopt;
    }

    void setBoolForKey(bool value, const std::string& key) override {
        record(modify(key, linux_host::nodeFromValue(PropertyListValue(value))));
    }

    void setObjectForKey(const std::optional<PropertyListValue>& value,
                         const std::string& key) override {
        record(modify(key, value ? linux_host::nodeFromValue(*value) : ScopedPlist()));
    }

    // Every write has already reached the file, or failed: false when one
    // has failed since the suite was last synchronized, through any handle.
    bool synchronize() override { return !failedWrites().take(path_); }

    bool isForced(const std::string& key) override {
        return firstValue(managedPaths_, key).has_value();
    }

  private:
    // The tree to change: the stored dictionary, or an empty one for a
    // missing or empty file. Contents that are no property-list dictionary
    // are kept aside first, so that nothing the user had is destroyed by the
    // rewrite; a file that can't be read now is no reason to replace it, and
    // gives nothing.
    std::optional<linux_host::PropertyListFile> fileForWriting() const {
        linux_host::PropertyListFile file = linux_host::loadPropertyListFile(path_);
        switch (file.state) {
            case linux_host::FileState::unreadable:
                return std::nullopt;
            case linux_host::FileState::parsed:
                if (plist_get_node_type(file.root.get()) == PLIST_DICT) {
                    file.root = withoutRepeatedKeys(file.root.get());
                    return file;
                }
                [[fallthrough]];
            case linux_host::FileState::notAPropertyList:
                if (!keepAside()) {
                    return std::nullopt;
                }
                [[fallthrough]];
            case linux_host::FileState::missing:
            case linux_host::FileState::empty:
                break;
        }
        // A new file: an empty dictionary, as XML.
        return linux_host::PropertyListFile{.root = ScopedPlist(plist_new_dict())};
    }

    // Moves the file over a placeholder of a name of its own, so never over
    // an earlier one. The rename of a file in the folder that holds the
    // placeholder can't fail once the placeholder is made.
    bool keepAside() const {
        std::string aside = path_ + ".corrupt-" + std::to_string(std::time(nullptr)) + "-XXXXXX";
        const ScopedFd placeholder(::mkostemp(aside.data(), O_CLOEXEC));
        return placeholder.valid() && ::rename(path_.c_str(), aside.c_str()) == 0;
    }

    // Sets or removes the one key in the stored tree, so that every other
    // key is written back exactly as it was read, in the file's own format.
    bool modify(const std::string& key, ScopedPlist item) {
        if (!makePreferencesFolder()) {
            return false;
        }
        // No program that writes settings handles a signal without SA_RESTART,
        // so the wait for the lock is never interrupted.
        ScopedFd lock(::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, privateFile));
        if (!lock.valid()) {
            return false;
        }
        if (::flock(lock.get(), LOCK_EX) != 0) {
            return false;
        }
        std::optional<linux_host::PropertyListFile> file = fileForWriting();
        if (!file) {
            return false;
        }
        plist_t root = file->root.get();
        if (item) {
            plist_dict_set_item(root, key.c_str(), item.release());
        } else {
            plist_dict_remove_item(root, key.c_str());  // a key the file lacks is left lacking
        }
        const std::string contents = serialize(root, file->binary);
        return !contents.empty() && replaceFile(contents);
    }

    bool replaceFile(const std::string& contents) const {
        std::string temporary = path_ + ".XXXXXX";
        ScopedFd file(::mkostemp(temporary.data(), O_CLOEXEC));
        if (!file.valid()) {
            return false;
        }
        // A write to a regular file is whole unless it fails (no room, a size limit).
        const bool written = ::fchmod(file.get(), privateFile) == 0 &&
                             ::write(file.get(), contents.data(), contents.size()) ==
                                 static_cast<ssize_t>(contents.size()) &&
                             ::fsync(file.get()) == 0;
        if (!written || ::rename(temporary.c_str(), path_.c_str()) != 0) {
            ::unlink(temporary.c_str());
            return false;
        }
        // The rename is durable only once the folder that names it is.
        ScopedFd folder(::open(preferencesFolder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        return ::fsync(folder.get()) == 0;
    }

    void record(bool written) {
        if (!written) {
            failedWrites().add(path_);
        }
    }

    std::string path_;
    std::vector<std::string> managedPaths_;
};

// The running program's name, as the Mac names a program's own defaults for
// it; /proc/self/exe always names it.
std::string executableName() {
    std::error_code unreadable;
    return std::filesystem::read_symlink("/proc/self/exe", unreadable).filename().string();
}

}  // namespace

std::unique_ptr<SettingsSuite> openSettingsSuite(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) {
        return nullptr;
    }
    return std::make_unique<FileSettingsSuite>(name);
}

std::unique_ptr<SettingsSuite> standardSettings() {
    return std::make_unique<FileSettingsSuite>(executableName());
}

}  // namespace platform
