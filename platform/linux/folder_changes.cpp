#include "platform/linux/folder_changes.hpp"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

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

bool FolderChanges::startWatching() {
    if (::inotify_add_watch(inotify_.get(), folder_.c_str(), anyChange) < 0) {
        return false;
    }
    for (const std::string& name : sortedEntries(folder_)) {
        ::inotify_add_watch(inotify_.get(), (folder_ + "/" + name).c_str(), anyChange);
    }
    watching_ = true;
    return true;
}

bool FolderChanges::changedSinceLastAsked() {
    if (!inotify_.valid()) {
        return true;
    }
    if (!watching_) {
        startWatching();
        return true;
    }
    bool changed = false;
    alignas(inotify_event) char buffer[8192];
    for (;;) {
        const ssize_t length = ::read(inotify_.get(), buffer, sizeof buffer);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length <= 0) {
            break;
        }
        changed = true;
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            // A new folder inside, or the folder itself gone: watch afresh.
            if ((event->mask & (IN_ISDIR | IN_IGNORED | IN_Q_OVERFLOW | IN_MOVE_SELF)) != 0) {
                watching_ = false;
            }
        }
    }
    return changed;
}

}  // namespace platform::linux_host
