#include "platform/linux/property_list_cache.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/linux/file_io.hpp"
#include "platform/linux/property_list_file.hpp"
#include "platform/posix/scoped_fd.hpp"

namespace platform::linux_host {
namespace {

struct FileIdentity {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
    timespec changed;

    explicit FileIdentity(const struct stat& status)
        : device(status.st_dev),
          inode(status.st_ino),
          size(status.st_size),
          modified(status.st_mtim),
          changed(status.st_ctim) {}

    bool operator==(const FileIdentity& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

// A path never parsed has no identity, and matches no file.
struct CachedFile {
    std::optional<FileIdentity> identity;
    std::shared_ptr<const PropertyListDictionary> dictionary;
};

struct LoadedFile {
    CachedFile parse;
    bool keep;
};

// File times advance in ticks of up to two seconds (FAT's; ext3 and HFS+
// stamp whole seconds), and a rewrite in place to the same size within the
// tick of the last change leaves the identity as it was. So a parse is kept
// only of a file whose second of modification is more than one such tick
// before the second it was read in; a younger one is read afresh each time.
constexpr time_t coarsestTimestampTickSeconds = 2;

bool settled(const struct stat& status) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return parseMayBeKept(status, now);
}

// Never destroyed, like the other readings the stand-in keeps.
std::mutex& cacheMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}
// Hashed: the paths share long prefixes, which an ordered lookup compares
// again at every step. Unbounded: the stand-in reads a handful of fixed
// paths (the suites, the registry, the app's Info.plist).
std::unordered_map<std::string, CachedFile>& cache() {
    static auto* files = new std::unordered_map<std::string, CachedFile>;
    return *files;
}

std::shared_ptr<const PropertyListDictionary> parseDictionary(const std::string& bytes) {
    const auto root = parsePropertyList(bytes);
    if (!root) {
        return nullptr;
    }
    // Checked before converting: an array may hold a million values.
    if (plist_get_node_type(root->get()) != PLIST_DICT) {
        return nullptr;
    }
    PropertyListValue value = valueFromNode(root->get());
    return std::make_shared<const PropertyListDictionary>(
        std::move(std::get<PropertyListDictionary>(value.storage())));
}

// Reads the file and the identity of exactly what was read.
std::optional<LoadedFile> load(const std::string& path) {
    posix::ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    // Too large, or unreadable after all: it reads as nothing.
    const std::optional<std::string> bytes = readToEnd(fd.get(), maximumPropertyListBytes);
    return LoadedFile{{FileIdentity(status), bytes ? parseDictionary(*bytes) : nullptr},
                      settled(status)};
}

}  // namespace

bool parseMayBeKept(const struct stat& status, const timespec& now) {
    return now.tv_sec - status.st_mtim.tv_sec > coarsestTimestampTickSeconds;
}

std::shared_ptr<const PropertyListDictionary> currentDictionary(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(cacheMutex());
        const CachedFile& cached = cache()[path];
        if (cached.identity == FileIdentity(status)) {
            return cached.dictionary;
        }
    }
    const std::optional<LoadedFile> loaded = load(path);
    if (!loaded) {
        return nullptr;
    }
    // An older entry left in place is never served: its identity is no longer the file's.
    if (loaded->keep) {
        std::lock_guard<std::mutex> lock(cacheMutex());
        cache()[path] = loaded->parse;
    }
    return loaded->parse.dictionary;
}

}  // namespace platform::linux_host
