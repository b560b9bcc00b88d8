// What the menu-bar app tells the user unasked: only what the agent did on
// its own, seen as the difference between two readings. The user's own
// changes, from the menu or from vell in a terminal, leave no mark in a
// reading that tells them apart from one another, so neither is announced;
// what the agent alone writes is: a cutoff's reason, a timed wish withdrawn
// once its end has come, and an override that stopped being readable.
#pragma once

#include <optional>
#include <string>

#include "VellCompanion/Companion.hpp"

namespace VellCompanion {

struct Notice {
    std::string title;
    std::string text;
};

// What changed from `before` to `after`, read one after the other, is worth
// a word; `now` is when `after` was read, in seconds since 2001-01-01 UTC.
std::optional<Notice> noticeFor(const State& before, const State& after, double now);

}  // namespace VellCompanion
