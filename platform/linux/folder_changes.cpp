#include "platform/linux/folder_changes.hpp"

#include <limits.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <string_view>

#include "platform/linux/sysfs.hpp"
#include "platform/linux/system_root.hpp"

namespace platform::linux_host {
namespace {

constexpr std::uint32_t anyChange = IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
                                    IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF |
                                    IN_MOVE_SELF | IN_ONLYDIR;

constexpr std::size_t largestEvent = sizeof(inotify_event) + NAME_MAX + 1;

}  // namespace

FolderChanges::FolderChanges(std::string folder) : folder_(std::move(folder)) {
    if (!systemRoot().empty()) {
        inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    }
}

// Unless the folder can be watched, the next call tries again.
void FolderChanges::startWatching() {
    inside_.clear();
    folderWatch_ = ::inotify_add_watch(inotify_.get(), folder_.c_str(), anyChange);
    if (folderWatch_ < 0) {
        return;
    }
    // A watch follows a symbolic link to the folder it names.
    for (std::string& name : sortedEntries(folder_)) {
        const int watch =
            ::inotify_add_watch(inotify_.get(), (folder_ + "/" + name).c_str(), anyChange);
        if (watch >= 0) {
            inside_.emplace_back(watch, std::move(name));
        }
    }
    watching_ = true;
}

// Notes each event; false when one means the folder must be read afresh.
bool FolderChanges::takeEvents(const char* buffer, long length) {
    bool itemized = true;
    for (long at = 0; at < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<long>(sizeof(inotify_event) + event->len);
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
            itemized = false;
            continue;
        }
        const std::string_view file = event->len > 0 ? event->name : "";
        // A write is several events (truncated, written, closed): one read.
        if (changedFiles_.empty() || changedFiles_.back().first != within ||
            changedFiles_.back().second != file) {
            changedFiles_.emplace_back(within, file);
        }
    }
    return itemized;
}

FolderChanges::Extent FolderChanges::changesSinceLastAsked() {
    changedFiles_.clear();
    if (!inotify_.valid()) {
        return Extent::anything;
    }
    if (!watching_) {
        startWatching();
        return Extent::anything;
    }
    bool any = false;
    bool itemized = true;
    alignas(inotify_event) char buffer[8192];
    for (;;) {
        // Non-blocking, so never interrupted: -1 once the queue is empty.
        const ssize_t length = ::read(inotify_.get(), buffer, sizeof buffer);
        if (length <= 0) {
            break;
        }
        any = true;
        itemized = takeEvents(buffer, length) && itemized;
        // Room left for another event: the queue was empty. What comes after
        // this read is read afresh by the caller all the same.
        if (static_cast<std::size_t>(length) + largestEvent <= sizeof buffer) {
            break;
        }
    }
    if (!any) {
        return Extent::nothing;
    }
    return itemized ? Extent::someFiles : Extent::anything;
}

}  // namespace platform::linux_host
