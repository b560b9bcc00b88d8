#include "platform/linux/folder_changes.hpp"

#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "platform/linux/sysfs.hpp"
#include "platform/linux/system_root.hpp"

namespace platform::linux_host {
namespace {

constexpr std::uint32_t anyChange = IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
                                    IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF |
                                    IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

FolderChanges::FolderChanges(std::string folder) : folder_(std::move(folder)) {
    if (!systemRoot().empty()) {
        inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    }
}

// Unless the folder can be watched, the next call tries again.
void FolderChanges::startWatching() {
    if (::inotify_add_watch(inotify_.get(), folder_.c_str(), anyChange) == -1) {
        return;
    }
    // A watch follows a symbolic link to the folder it names. A file there
    // can't be watched (-1), and only the lost-events event has that number.
    std::vector<std::pair<int, std::string>> inside;
    for (std::string& name : sortedEntries(folder_)) {
        inside.emplace_back(
            ::inotify_add_watch(inotify_.get(), (folder_ + "/" + name).c_str(), anyChange),
            std::move(name));
    }
    inside_ = std::move(inside);
    watching_ = true;
}

// Notes each event of one read; one that isn't a file's change inside a
// folder within stops the watching.
void FolderChanges::takeEvents(const char* buffer, long length) {
    const auto eventAt = [buffer](long at) {
        return reinterpret_cast<const inotify_event*>(buffer + at);
    };
    for (long at = 0; at < length; at += sizeof(inotify_event) + eventAt(at)->len) {
        const inotify_event* event = eventAt(at);
        const std::string* within = nullptr;
        for (const auto& [watch, name] : inside_) {
            if (watch == event->wd) {
                within = &name;
            }
        }
        // The folder's own entries, a folder within gone or moved, or events
        // lost: watch afresh.
        if (within == nullptr ||
            (event->mask & (IN_IGNORED | IN_Q_OVERFLOW | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
            watching_ = false;
            continue;
        }
        const std::string_view file(event->name, ::strnlen(event->name, event->len));
        // A write is several events (truncated, written, closed): one read.
        if (changedFiles_.empty() || changedFiles_.back().first != within ||
            changedFiles_.back().second != file) {
            changedFiles_.emplace_back(within, file);
        }
    }
}

// Also whenever changes can't be watched: without inotify, as under the
// real root, watching always fails.
FolderChanges::Extent FolderChanges::changesSinceLastAsked() {
    changedFiles_.clear();
    if (!watching_) {
        startWatching();
        return Extent::anything;
    }
    // What is queued now, read at once; what comes after, the next call reads.
    int queued = 0;
    ::ioctl(inotify_.get(), FIONREAD, &queued);
    std::vector<char> events(queued);
    takeEvents(events.data(), ::read(inotify_.get(), events.data(), events.size()));
    if (!watching_) {
        return Extent::anything;
    }
    return changedFiles_.empty() ? Extent::nothing : Extent::someFiles;
}

}  // namespace platform::linux_host
