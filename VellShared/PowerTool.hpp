// Running programs, and reading, setting and confirming the machine's sleep
// override (what "pmset -a disablesleep" sets).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct CommandResult {
    // The child's termination status; -1 when it could not be started.
    std::int32_t code = 0;
    // Standard output and standard error together as UTF-8 text; empty when
    // the bytes were not valid UTF-8; the start error when it did not start.
    std::string output;
};

namespace PowerTool {

using Environment = std::map<std::string, std::string>;

// Runs the program at `path` directly with `arguments` and waits for it. A
// given environment replaces the child's; an absent one leaves it ours.
CommandResult run(const std::string& path,
                  const std::vector<std::string>& arguments,
                  const std::optional<Environment>& environment = std::nullopt);

// The override as the registry shows it now: true while sleep is disabled,
// absent when it can't be read.
std::optional<bool> sleepDisabled();

// Turns the override on (true) or off (false) through sudo and pmset and
// waits for the registry to confirm it. Absent on success; otherwise a
// message for the user.
std::optional<std::string> setSleepDisabled(bool disabled);

// Reads the override until it shows `expected` or `timeout` seconds have
// passed; the first read comes before any pause.
bool waitForSleepDisabled(bool expected, double timeout);

}  // namespace PowerTool
