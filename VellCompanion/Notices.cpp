#include "VellCompanion/Notices.hpp"

#include "VellShared/SafetyCutoff.hpp"

namespace VellCompanion {
namespace {

// Only the agent writes a reason. It stays in the suite after the cutoff,
// so a new text is a new cutoff; the same text again counts when the wish
// went away while its cause still holds.
bool cutOffBetween(const State& before, const State& after) {
    if (!after.cutoffReason) {
        return false;
    }
    if (after.cutoffReason != before.cutoffReason) {
        return true;
    }
    const bool withdrawn = before.wanted && !after.wanted;
    return withdrawn && SafetyCutoff::reason(after.battery, after.thermalState,
                                             after.lowBatteryCutoff, after.lowBatteryThreshold);
}

// The agent withdraws a timed wish once its end has come; a wish withdrawn
// before then was withdrawn by the user.
bool sessionEndedBetween(const State& before, const State& after, double now) {
    return before.wanted && before.wantedUntil && !after.wanted && *before.wantedUntil <= now;
}

}  // namespace

std::optional<Notice> noticeFor(const State& before, const State& after, double now) {
    if (cutOffBetween(before, after)) {
        return Notice{"Vell stopped keeping the Mac awake", *after.cutoffReason};
    }
    // Nobody can tell any more whether the Mac sleeps.
    if (before.sleepDisabled && !after.sleepDisabled) {
        return Notice{"Vell can't read the sleep override",
                      "macOS no longer reports whether sleep is disabled. If this lasts, "
                      "restart the Mac."};
    }
    if (sessionEndedBetween(before, after, now)) {
        return Notice{"Keep-awake ended", "The time you set is up: the Mac sleeps normally again."};
    }
    return std::nullopt;
}

}  // namespace VellCompanion
