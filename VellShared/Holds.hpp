// Runs that keep the Mac awake while they last (`vell run`). Each is a hold
// recorded beside the wish: the process's id and start time, so that a
// later process given the same id is not taken for it. The first hold
// raises a wish that was not there; the last one to end withdraws it. A
// process that ended without releasing its hold, killed outright, say, is
// found gone and its hold dropped by the next process that looks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/suite_lock.hpp"

namespace Holds {

struct Hold {
    std::int64_t pid = 0;
    std::int64_t started = 0;
    bool operator==(const Hold&) const = default;
};

// The shared suite's lock, around every change below and every change of
// the wish, so that no two processes decide from the same old reading.
std::unique_ptr<platform::SuiteLock> lock();

// Any hold is recorded, live or not; cheap enough for every pass.
bool recorded();

// Under the lock: records a hold for this process, dropping those of
// processes that are gone, and raises the wish and the agent's ownership;
// absent when this process can't be identified.
std::optional<Hold> take();

// Under the lock: removes `hold` and those of processes that are gone. A
// wish that stood only for holds is withdrawn when none is left. Returns how
// many holds are left.
std::size_t release(const std::optional<Hold>& hold);

}  // namespace Holds
