// Whether anything under a folder may have changed since the last look, so
// that a reading taken from it can be kept until then. In a simulated Mac
// every change to those files is an inotify event, queued before the write
// returns, so asking costs one non-blocking read. Real sysfs attributes
// change without any event: under the real root it always answers yes.
#pragma once

#include <string>

#include "platform/posix/scoped_fd.hpp"

namespace platform::linux_host {

class FolderChanges {
  public:
    // Watches `folder` and the folders directly inside it.
    explicit FolderChanges(std::string folder);

    const std::string& folder() const { return folder_; }

    // True when something there changed since the last call, on the first
    // call, and whenever changes can't be watched.
    bool changedSinceLastAsked();

  private:
    bool startWatching();

    std::string folder_;
    posix::ScopedFd inotify_;
    bool watching_ = false;
};

}  // namespace platform::linux_host
