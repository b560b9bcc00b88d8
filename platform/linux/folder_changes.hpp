// Whether anything under a folder may have changed since the last look, so
// that a reading taken from it can be kept until then. In a simulated Mac
// every change to those files is an inotify event, queued before the write
// returns, so asking costs one non-blocking read. Real sysfs attributes
// change without any event: under the real root it always answers yes.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/posix/scoped_fd.hpp"

namespace platform::linux_host {

class FolderChanges {
  public:
    // Watches `folder` and the folders directly inside it, or what the
    // symbolic links directly inside it point to, as sysfs lists devices.
    explicit FolderChanges(std::string folder);

    const std::string& folder() const { return folder_; }

    enum class Extent {
        nothing,
        // Only files inside the folders within: changedFiles() names them.
        someFiles,
        // The folder's own entries, or events lost; also the first time and
        // whenever changes can't be watched: read everything afresh.
        anything,
    };

    // What changed since the last call.
    Extent changesSinceLastAsked();

    // After someFiles: each change as (folder within, file name), the file
    // name empty when the folder itself changed. Valid until the next call.
    const std::vector<std::pair<const std::string*, std::string>>& changedFiles() const {
        return changedFiles_;
    }

    // True when something there changed since the last call, on the first
    // call, and whenever changes can't be watched.
    bool changedSinceLastAsked() { return changesSinceLastAsked() != Extent::nothing; }

  private:
    void startWatching();
    void takeEvents(const char* buffer, long length);

    std::string folder_;
    posix::ScopedFd inotify_;
    bool watching_ = false;
    // The watch of each folder within, and its name.
    std::vector<std::pair<int, std::string>> inside_;
    std::vector<std::pair<const std::string*, std::string>> changedFiles_;
};

}  // namespace platform::linux_host
