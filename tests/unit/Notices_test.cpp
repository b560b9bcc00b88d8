// What the menu announces unasked: what the agent did on its own, never the
// user's own changes.
#include "VellCompanion/Notices.hpp"

#include <gtest/gtest.h>

using namespace VellCompanion;

namespace {

constexpr double end = 818343000;  // 2026-12-07 13:30 UTC
const std::string hot = "Vell turned off: Mac is too hot";

State reading(bool wanted,
              std::optional<double> until,
              std::optional<std::string> reason,
              std::optional<bool> sleepDisabled = false,
              platform::ThermalState thermal = platform::ThermalState::nominal) {
    State state;
    state.wanted = wanted;
    state.wantedUntil = until;
    state.cutoffReason = std::move(reason);
    state.sleepDisabled = sleepDisabled;
    state.thermalState = thermal;
    return state;
}

}  // namespace

TEST(NoticeFor, OnlyWhatTheAgentDidOnItsOwn) {
    const std::string cutOff = "Vell stopped keeping the Mac awake", ended = "Keep-awake ended",
                      unreadable = "Vell can't read the sleep override";
    const State off = reading(false, {}, {}), on = reading(true, {}, {}, true),
                timed = reading(true, end, {}, true), lost = reading(true, {}, {}, std::nullopt);
    const auto critical = platform::ThermalState::critical;
    // clang-format off
    const struct { const char* situation; State before, after; double now; std::string title; } rows[] = {
        {"nothing changed", on, on, end, ""},
        {"the agent cut off", on, reading(false, {}, "Vell turned off: battery at 20%"), 0, cutOff},
        {"a cutoff no reading saw the wish of", off, reading(false, {}, hot), 0, cutOff},
        {"the same cutoff again, its cause holding", reading(true, {}, hot, true), reading(false, {}, hot, false, critical), 0, cutOff},
        {"nothing wanted, an old cutoff's cause still holding", reading(false, {}, hot, false, critical), reading(false, {}, hot, false, critical), 0, ""},
        {"the user's off, an old reason standing", reading(true, {}, hot, true), reading(false, {}, hot), 0, ""},
        {"a cutoff and the override lost at once", on, reading(false, {}, hot, std::nullopt), 0, cutOff},
        {"a timed wish withdrawn at its end", timed, off, end, ended},
        {"a timed wish withdrawn at the agent's start, long after", timed, off, end + 3600, ended},
        {"a timed wish withdrawn before its end: the user's off", timed, off, end - 1, ""},
        {"a wish without an end withdrawn", on, off, end, ""},
        {"a timed wish made endless", timed, on, end, ""},
        {"the override became unreadable", on, lost, 0, unreadable},
        {"the override stays unreadable", lost, lost, 0, ""},
        {"the override readable again", lost, on, 0, ""},
    };
    // clang-format on
    for (const auto& row : rows) {
        const std::optional<Notice> notice = noticeFor(row.before, row.after, row.now);
        EXPECT_EQ(notice ? notice->title : "", row.title) << row.situation;
    }
    EXPECT_EQ(noticeFor(on, reading(false, {}, hot), 0).value_or(Notice{}).text, hot);
    EXPECT_EQ(noticeFor(on, lost, 0).value_or(Notice{}).text,
              "macOS no longer reports whether sleep is disabled. If this lasts, restart the Mac.");
    EXPECT_EQ(noticeFor(timed, off, end).value_or(Notice{}).text,
              "The time you set is up: the Mac sleeps normally again.");
}
