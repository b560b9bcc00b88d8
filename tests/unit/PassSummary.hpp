// The calls of a pass in the words of the agent's decision tables: the
// platform calls behind `currentReason()` and `setSleepDisabled(_)` folded
// into one entry each, the installation watch's reads left out.
#pragma once

#include <string>
#include <vector>

inline std::vector<std::string> summarizePass(const std::vector<std::string>& calls) {
    std::vector<std::string> summary;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const std::string& call = calls[i];
        if (call == "powerSources") {
            summary.push_back("currentReason");
            i += 2;  // the thermal state and the low-battery setting
        } else if (call.rfind("run /usr/bin/sudo", 0) == 0) {
            const bool on = call.back() == '1';
            summary.push_back(on ? "setSleepDisabled(true)" : "setSleepDisabled(false)");
            while (i + 1 < calls.size() && calls[i + 1] == "registry") {
                ++i;  // confirmation reads
            }
        } else if (call == "registry") {
            summary.push_back("sleepDisabled");
        } else if (call.rfind("read ", 0) == 0 || call == "ownPath" ||
                   call.rfind("exists ", 0) == 0) {
            continue;
        } else {
            summary.push_back(call);
        }
    }
    return summary;
}
