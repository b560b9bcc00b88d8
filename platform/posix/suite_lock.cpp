// The lock is an flock on ~/Library/Caches/NAME.lock. The file holds
// nothing: losing it loses nothing, and no defaults suite has a file of its
// own to lock on a Mac, where cfprefsd owns the preferences. The kernel
// drops the lock with the process, so a process killed while it holds it
// blocks nobody.
#include "platform/suite_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "platform/clock.hpp"
#include "platform/posix/scoped_fd.hpp"

namespace platform {
namespace {

class FileLock : public SuiteLock {
  public:
    explicit FileLock(posix::ScopedFd file) : file_(std::move(file)) {}

  private:
    posix::ScopedFd file_;
};

// Every holder lets go within moments; one stopped or hung while it holds
// the lock must not hold the agent's passes up with it, so past this wait
// the caller goes on without the lock.
constexpr double longestWait = 2.0;
constexpr double pauseBetweenTries = 0.01;

bool makeFolder(const std::string& path) {
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

std::unique_ptr<SuiteLock> lockSettingsSuite(const std::string& name) {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0' || name.empty() || name.find('/') != std::string::npos) {
        return nullptr;
    }
    const std::string library = std::string(home) + "/Library";
    if (!makeFolder(library) || !makeFolder(library + "/Caches")) {
        return nullptr;
    }
    const std::string path = library + "/Caches/" + name + ".lock";
    posix::ScopedFd file(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!file.valid()) {
        return nullptr;
    }
    const double deadline = monotonicSeconds() + longestWait;
    // Never blocking, flock is never interrupted.
    while (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK || monotonicSeconds() >= deadline) {
            return nullptr;
        }
        pauseFor(pauseBetweenTries);
    }
    return std::make_unique<FileLock>(std::move(file));
}

}  // namespace platform
