// A lock that every process of the user takes around changes that read a
// settings suite and write it back in several steps.
#pragma once

#include <memory>
#include <string>

namespace platform {

// Held while it lives; destroying it lets the next process in.
class SuiteLock {
  public:
    virtual ~SuiteLock() = default;
};

// Waits for the lock of the suite `name`, a few seconds at most, and holds
// it; nothing when the lock can't be had, and the caller goes on without it.
std::unique_ptr<SuiteLock> lockSettingsSuite(const std::string& name);

}  // namespace platform
